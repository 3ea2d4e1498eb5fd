// Four kinds of program, each run twice in the client namespace: directly,
// where the destination sees the client's own address and the DNS servers
// see its look-ups (the test can see a leak), and under `velmora run`, where
// the destination may see only the chain's last hop and no DNS query, UDP
// datagram, ping or direct IPv6 connection may leave. The table of what was seen
// is printed for the record.
#include "tests/launch/LaunchFixture.h"

#include <cstdio>
#include <iostream>
#include <set>

namespace {

using namespace VelmoraTest;

struct TProbe {
    std::string Client;
    std::vector<std::string> Command;
    // A second command for the direct IPv6 attempt; empty when Command
    // makes it itself (--v6).
    std::vector<std::string> V6Command;
    // What the chain is asked for: the name when the program looks it up
    // through the system, the address when it connects to a literal.
    std::string Target;
    bool TriesUdp = false;
    // The client prints "dns ADDRESS" for the answer it got.
    bool PrintsAnswer = false;
    bool TriesIcmp = false;
};

struct TSeen {
    int FromClient = 0;
    int FromLastHop = 0;
    int FromClient6 = 0;
    int FromOthers = 0;
    int Sink = 0;
    int Stub = 0;
    int Echoed = 0;
    int Pinged = 0;
    int Exit = -1;
    std::string Output;
    std::string Errors;             // standard error of the program (and of velmora run)
    std::set<std::string> Requests; // "Request connect to X" of the chain
};

class LaunchLeaks : public LaunchTest {
protected:
    std::vector<TProbe> Probes() const {
        const std::string world = World();
        const std::string port = std::to_string(TDestination::Port);
        const std::string echo = std::to_string(EchoPort);
        const std::vector<std::string> common{
            "--udp", world, echo, "--v6", TTopology::WorldAddress6, port};
        std::vector<std::string> literal{"--dns", world, Name, "--connect", world, port};
        literal.insert(literal.end(), common.begin(), common.end());
        std::vector<std::string> byName{"--name", Name, port, "--icmp", world};
        byName.insert(byName.end(), common.begin(), common.end());
        return {
            {"curl",
             {"curl", "-sS", "--max-time", "10", Url()},
             {"curl", "-sS", "-g", "--max-time", "10",
              "http://[" + std::string(TTopology::WorldAddress6) + "]/"},
             std::string(Name) + ":" + port,
             false,
             false},
            {"static", StaticClient(literal), {}, world + ":" + port, true, true},
            {"io_uring", UringClient(literal), {}, world + ":" + port, true, true},
            {"python", PythonClient(byName), {}, std::string(Name) + ":" + port, true, true, true},
        };
    }

    std::vector<std::string> Launched(const std::vector<std::string> &command) const {
        std::vector<std::string> line{Client().Bin("velmora"), "run", "--chain", "World"};
        line.insert(line.end(), command.begin(), command.end());
        return line;
    }

    TSeen Observe(const TProbe &probe, bool launched) {
        ResetCounters();
        const qsizetype from = Headless()->Lines().size();
        TSeen seen;
        const TRunResult r = RunInClient(launched ? Launched(probe.Command) : probe.Command);
        seen.Exit = r.ExitCode;
        seen.Output = r.Out;
        seen.Errors = r.Err;
        if (probe.Client == "curl")
            seen.Output = std::string("tcp ") + (r.ExitCode == 0 ? "1/1" : "0/1") + "\n";
        if (!probe.V6Command.empty()) {
            const TRunResult v6 =
                RunInClient(launched ? Launched(probe.V6Command) : probe.V6Command);
            seen.Output += v6.ExitCode == 0 ? "v6 ok\n" : "v6 fail " + v6.Err;
        }
        if (launched && r.ExitCode == 0) // the chain reports a request before it connects on
            Headless()->WaitForLine(QString::fromStdString("Request connect to " + probe.Target),
                                    5000);
        for (const auto &[peer, count] : Destination().Peers()) {
            if (peer == ClientAddress())
                seen.FromClient += count;
            else if (peer == LastHop())
                seen.FromLastHop += count;
            else if (peer == TTopology::ClientAddress6)
                seen.FromClient6 += count;
            else
                seen.FromOthers += count;
        }
        seen.Sink = Sink().Count();
        seen.Stub = Stub().Count();
        seen.Echoed = UdpEcho().Count();
        seen.Pinged = Pings().Count();
        const QString request = QStringLiteral("] Request connect to ");
        for (const QString &line : HeadlessLinesFrom(from))
            if (line.contains(request))
                seen.Requests.insert(
                    line.mid(line.indexOf(request) + request.size()).toStdString());
        return seen;
    }
};

std::string Row(const std::string &client, const char *launcher, const TSeen &s, bool udp,
                bool icmp) {
    std::string requests;
    for (const std::string &r : s.Requests)
        requests += (requests.empty() ? "" : ",") + r;
    char line[512];
    std::snprintf(
        line, sizeof line, "[leak table] %-9s %-12s %12d %13d %14d %11d %8d %8d %10s %10s  %s\n",
        client.c_str(), launcher, s.FromClient, s.FromClient6, s.FromLastHop, s.FromOthers, s.Sink,
        s.Stub, udp ? std::to_string(s.Echoed).c_str() : "-",
        icmp ? std::to_string(s.Pinged).c_str() : "-", requests.empty() ? "-" : requests.c_str());
    return line;
}

// What the client itself reported, step by step.
std::string Outcome(const std::string &client, const char *launcher, const std::string &output) {
    std::string line = "[leak outcome] " + client + " " + launcher + ":";
    for (const char *step : {"dns", "tcp", "udp", "icmp", "v6"}) {
        const std::string said = ClientLine(output, step);
        if (!said.empty())
            line += std::string(" ") + step + "=" + said + ";";
    }
    return line + "\n";
}

// The probe's datagram steps (UDP to the echo server, ICMP echo): with
// `answered` each got its reply and the world saw it, else neither.
void ExpectDatagrams(const TProbe &probe, const TSeen &seen, bool answered) {
    const struct {
        bool Tries;
        const char *Step;
        int Count;
    } steps[] = {{probe.TriesUdp, "udp", seen.Echoed}, {probe.TriesIcmp, "icmp", seen.Pinged}};
    for (const auto &step : steps) {
        if (!step.Tries)
            continue;
        if (answered) {
            EXPECT_EQ(ClientLine(seen.Output, step.Step), "reply") << seen.Output;
            EXPECT_GT(step.Count, 0) << step.Step;
        } else {
            EXPECT_NE(ClientLine(seen.Output, step.Step), "reply") << seen.Output;
            EXPECT_EQ(step.Count, 0) << step.Step;
        }
    }
}

TEST_F(LaunchLeaks, EveryClientLeaksDirectlyAndNothingLeavesUnderVelmoraRun) {
    StartHeadless();
    ASSERT_FALSE(HasFailure());
    std::string table =
        "[leak table] client    launcher     dest<-client dest<-client6 dest<-last-hop "
        "dest<-other dns-sink dns-stub udp-echoed pings-seen  chain-asked-for\n";
    std::string outcomes;
    for (const TProbe &probe : Probes()) {
        SCOPED_TRACE(probe.Client);
        const TSeen direct = Observe(probe, false);
        if (probe.Client == "io_uring" && direct.Exit == 3) {
            table += "[leak table] io_uring  (io_uring is switched off on this machine)\n";
            continue;
        }
        // The negative control: run directly, the program's own address, its
        // look-ups and its datagrams reach the world, so the test sees them.
        EXPECT_EQ(direct.Exit, 0) << direct.Output << direct.Errors;
        EXPECT_GE(direct.FromClient, 1) << direct.Output;
        EXPECT_GE(direct.FromClient6, 1) << direct.Output;
        EXPECT_GT(direct.Sink + direct.Stub, 0);
        ExpectDatagrams(probe, direct, true);

        const TSeen launched = Observe(probe, true);
        EXPECT_EQ(launched.Exit, 0) << launched.Output << launched.Errors;
        EXPECT_EQ(ClientLine(launched.Output, "tcp"), "1/1") << launched.Output;
        EXPECT_GE(launched.FromLastHop, 1) << launched.Output;
        EXPECT_EQ(launched.FromClient, 0);
        EXPECT_EQ(launched.FromClient6, 0);
        EXPECT_EQ(launched.FromOthers, 0);
        EXPECT_EQ(launched.Sink, 0);
        EXPECT_EQ(launched.Stub, 0);
        EXPECT_TRUE(launched.Requests.count(probe.Target))
            << "the chain was not asked for " << probe.Target;
        if (probe.PrintsAnswer) {
            const std::string answer = ClientLine(launched.Output, "dns");
            EXPECT_TRUE(InFakeRange(answer)) << "answered " << answer;
        }
        ExpectDatagrams(probe, launched, false);
        table += Row(probe.Client, "none", direct, probe.TriesUdp, probe.TriesIcmp);
        table += Row(probe.Client, "velmora-run", launched, probe.TriesUdp, probe.TriesIcmp);
        outcomes += Outcome(probe.Client, "none", direct.Output);
        outcomes += Outcome(probe.Client, "velmora-run", launched.Output);
    }
    std::cout << table << outcomes << std::flush;
}

TEST_F(LaunchLeaks, EveryDnsQueryIsAnsweredByTheLauncherWhateverItsServer) {
    // The statically linked client asks the world's sink over UDP and TCP,
    // the client's own stub on loopback, and an address where no server is.
    const std::string client = Client().Bin("static-client");
    std::string script;
    for (const std::string &ask :
         {"--dns " + World(), "--dns-tcp " + World(), std::string("--dns 127.0.0.53"),
          std::string("--dns 192.0.2.53")})
        script += client + " " + ask + " " + Name + "; ";

    // Control: directly, the sink and the stub answer with the real address.
    const TRunResult direct = RunInClient({"sh", "-c", script});
    const std::vector<std::string> real = ClientLines(direct.Out, "dns");
    ASSERT_EQ(real.size(), 4u) << direct.Out << direct.Err;
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(real[i], World()) << "query " << i;
    EXPECT_GE(Sink().Count(), 2);
    EXPECT_GE(Stub().Count(), 1);

    ResetCounters();
    const TRunResult launched = VelmoraRun({"--chain", "World", "sh", "-c", script});
    const std::vector<std::string> answers = ClientLines(launched.Out, "dns");
    ASSERT_EQ(answers.size(), 4u) << launched.Out << launched.Err;
    for (size_t i = 0; i < answers.size(); ++i)
        EXPECT_TRUE(InFakeRange(answers[i])) << "query " << i << " answered " << answers[i];
    EXPECT_EQ(Sink().Count(), 0);
    EXPECT_EQ(Stub().Count(), 0);

    // A connection to the answer makes the chain ask for the name.
    ResetCounters();
    const TRunResult byAnswer = VelmoraRun({"--chain", "World", "--verbose", client, "--dns",
                                            World(), Name, "--answer", "--connect", World(), "80"});
    EXPECT_EQ(ClientLine(byAnswer.Out, "tcp"), "1/1") << byAnswer.Out << byAnswer.Err;
    EXPECT_NE(byAnswer.Err.find("Request connect to " + std::string(Name) + ":80"),
              std::string::npos)
        << byAnswer.Err;
    EXPECT_EQ(Destination().CountFrom(LastHop()), 1);
    EXPECT_EQ(Destination().Count(), 1);
    EXPECT_EQ(DnsQueries(), 0);
}

TEST_F(LaunchLeaks, NamesGetOneFakeIPv4AddressAndNoIPv6Address) {
    const std::vector<std::string> python = PythonClient({"--name", Name6, "80"});
    // Control: directly, the stub gives the name both of its addresses.
    const TRunResult direct = RunInClient(python);
    EXPECT_EQ(ClientLine(direct.Out, "dns"), World()) << direct.Out << direct.Err;
    EXPECT_EQ(ClientLine(direct.Out, "dns6"), TTopology::WorldAddress6) << direct.Out;

    ResetCounters();
    std::vector<std::string> args{"--chain", "World", "--verbose"};
    args.insert(args.end(), python.begin(), python.end());
    const TRunResult launched = VelmoraRun(args);
    EXPECT_TRUE(InFakeRange(ClientLine(launched.Out, "dns"))) << launched.Out << launched.Err;
    EXPECT_EQ(ClientLine(launched.Out, "dns6"), "none") << launched.Out;
    EXPECT_EQ(ClientLine(launched.Out, "tcp"), "1/1") << launched.Out;
    EXPECT_NE(launched.Err.find("Request connect to " + std::string(Name6) + ":80"),
              std::string::npos)
        << launched.Err;
    EXPECT_EQ(Destination().CountFrom(LastHop()), 1);
    EXPECT_EQ(Destination().Count(), 1);
    EXPECT_EQ(DnsQueries(), 0);
}

} // namespace
