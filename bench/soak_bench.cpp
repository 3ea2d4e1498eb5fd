// Mixed traffic for the soak run (bench/soak): client threads doing one
// exchange after another through the program's ports, against sinks of this
// process, checking every byte that comes back.
//
//   soak_bench --chain PORT [--chain PORT ...] --plain PORT --seconds S
//              [--workers N] [--report S]
//
// Each exchange picks a port (a chain port, or the plain port 9999 as one
// hop) and a request kind (SOCKS 4, 4a, 5 with an address, 5 with a name),
// then one of: a download (the sink sends N bytes and closes at once), an
// upload (the client sends N bytes; the sink answers their count and
// checksum), an echo of a few messages, a tunnel held silent for
// seconds and then used, a request for a closed destination port (a failure
// reply is the right answer), a client that goes away in the middle of its
// request, and bytes that are no request at all (followed by a half-close).
//
// Chain restarts cut the exchanges under way; those count as "cut". A byte
// that differs from what was sent counts as "corrupt", an exchange with no
// byte for 60 s as "stalled"; either makes the exit status 1. One line of
// counts is printed every --report seconds and at the end.
#include "BenchNet.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <sys/time.h>
#include <thread>
#include <vector>

namespace {

using namespace benchnet;

constexpr int StallSeconds = 60;

// The byte at `offset` of a stream made with `seed`.
inline unsigned char PatternByte(uint64_t offset, uint32_t seed) {
    return static_cast<unsigned char>((offset * 131u) ^ (offset >> 9) ^ (seed * 7u));
}

void FillPattern(unsigned char *buffer, size_t n, uint64_t offset, uint32_t seed) {
    for (size_t i = 0; i < n; ++i)
        buffer[i] = PatternByte(offset + i, seed);
}

uint64_t Fnv(uint64_t hash, const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        hash = (hash ^ p[i]) * 1099511628211ull;
    return hash;
}
constexpr uint64_t FnvStart = 1469598103934665603ull;

void PutU64(unsigned char *p, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8)
        p[i] = static_cast<unsigned char>(v & 0xff);
}

uint64_t GetU64(const unsigned char *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

void SetTimeouts(int fd) {
    timeval tv{StallSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// ---- the sink: 'S' n: sends n pattern bytes and closes; 'R' n: reads n
// bytes, answers their count and checksum; 'E': echoes to the end. ----

void SinkServe(int fd) {
    SetTimeouts(fd);
    unsigned char header[9];
    if (!ReadExact(fd, header, sizeof header)) {
        ::close(fd);
        return;
    }
    const uint64_t n = GetU64(header + 1);
    std::vector<unsigned char> buffer(64 * 1024);
    if (header[0] == 'S') {
        for (uint64_t sent = 0; sent < n;) {
            const size_t chunk = static_cast<size_t>(std::min<uint64_t>(buffer.size(), n - sent));
            FillPattern(buffer.data(), chunk, sent, static_cast<uint32_t>(n));
            if (!WriteAll(fd, buffer.data(), chunk))
                break;
            sent += chunk;
        }
    } else if (header[0] == 'R') {
        // Reads the n bytes announced (not to the end of stream: tinyproxy
        // passes no half-close on), then answers.
        uint64_t count = 0, hash = FnvStart;
        while (count < n) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), n - count));
            const ssize_t got = ::recv(fd, buffer.data(), want, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) { // cut: no answer
                ::close(fd);
                return;
            }
            hash = Fnv(hash, buffer.data(), static_cast<size_t>(got));
            count += static_cast<uint64_t>(got);
        }
        unsigned char answer[16];
        PutU64(answer, count);
        PutU64(answer + 8, hash);
        WriteAll(fd, answer, sizeof answer);
    } else if (header[0] == 'E') {
        for (;;) {
            const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 || !WriteAll(fd, buffer.data(), static_cast<size_t>(got)))
                break;
        }
    }
    ::close(fd); // the sender closes at once after its last byte
}

void SinkLoop(int listener) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
                continue;
            return;
        }
        std::thread(SinkServe, fd).detach();
    }
}

// ---- the client side ----

enum class TOutcome { Ok, Cut, Corrupt, Stalled };

enum class TKind { Socks4, Socks4a, Socks5Address, Socks5Name };

// Opens a tunnel to 127.0.0.1:port through the SOCKS server at socksPort.
// Returns the socket, or -1 with `outcome` set (Cut for a refused or failed
// request, Stalled for no answer). `refused` is set when the server answered
// with a failure reply.
int OpenTunnel(uint16_t socksPort, TKind kind, uint16_t port, TOutcome &outcome, bool &refused) {
    refused = false;
    const int fd = ConnectLoopback(socksPort);
    if (fd < 0) {
        outcome = TOutcome::Cut;
        return -1;
    }
    SetTimeouts(fd);
    const auto hi = static_cast<unsigned char>(port >> 8);
    const auto lo = static_cast<unsigned char>(port & 0xff);
    const std::string name = "127.0.0.1";
    std::string request;
    if (kind == TKind::Socks4 || kind == TKind::Socks4a) {
        request = {4, 1, static_cast<char>(hi), static_cast<char>(lo)};
        if (kind == TKind::Socks4)
            request += std::string("\x7f\x00\x00\x01", 4);
        else
            request += std::string("\x00\x00\x00\x01", 4);
        request += std::string("soak", 4) + '\0';
        if (kind == TKind::Socks4a)
            request += name + '\0';
    } else {
        request = std::string("\x05\x01\x00", 3);
    }
    unsigned char reply[300];
    bool ok = WriteAll(fd, request.data(), request.size());
    auto failed = [&](bool answered) {
        outcome = !answered && (errno == EAGAIN || errno == EWOULDBLOCK) ? TOutcome::Stalled
                                                                         : TOutcome::Cut;
        ::close(fd);
        return -1;
    };
    errno = 0;
    if (kind == TKind::Socks4 || kind == TKind::Socks4a) {
        if (!ok || !ReadExact(fd, reply, 8))
            return failed(false);
        if (reply[1] != 0x5a) {
            refused = true;
            return failed(true);
        }
        return fd;
    }
    unsigned char method[2];
    if (!ok || !ReadExact(fd, method, 2) || method[0] != 5 || method[1] != 0)
        return failed(false);
    std::string connect = std::string("\x05\x01\x00", 3);
    if (kind == TKind::Socks5Address)
        connect += std::string("\x01\x7f\x00\x00\x01", 5);
    else
        connect += std::string("\x03", 1) + static_cast<char>(name.size()) + name;
    connect += static_cast<char>(hi);
    connect += static_cast<char>(lo);
    if (!WriteAll(fd, connect.data(), connect.size()))
        return failed(false);
    const int code = VelmoraTest::Socks5ReadReply(fd);
    if (code > 0) {
        refused = true;
        return failed(true);
    }
    if (code < 0)
        return failed(false);
    return fd;
}

TOutcome ReadFailure() {
    return errno == EAGAIN || errno == EWOULDBLOCK ? TOutcome::Stalled : TOutcome::Cut;
}

bool SendHeader(int fd, char op, uint64_t n) {
    unsigned char header[9];
    header[0] = static_cast<unsigned char>(op);
    PutU64(header + 1, n);
    return WriteAll(fd, header, sizeof header);
}

// Reads everything up to the end of stream and compares it with the pattern.
TOutcome Download(int fd, uint64_t n, uint64_t &moved) {
    if (!SendHeader(fd, 'S', n))
        return TOutcome::Cut;
    std::vector<unsigned char> buffer(64 * 1024), expected(64 * 1024);
    uint64_t got = 0;
    for (;;) {
        errno = 0;
        const ssize_t r = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return ReadFailure();
        if (r == 0)
            break;
        if (got + static_cast<uint64_t>(r) > n)
            return TOutcome::Corrupt; // more than was sent
        FillPattern(expected.data(), static_cast<size_t>(r), got, static_cast<uint32_t>(n));
        if (std::memcmp(buffer.data(), expected.data(), static_cast<size_t>(r)) != 0)
            return TOutcome::Corrupt;
        got += static_cast<uint64_t>(r);
        moved += static_cast<uint64_t>(r);
    }
    return got == n ? TOutcome::Ok : TOutcome::Cut;
}

TOutcome Upload(int fd, uint64_t n, uint32_t seed, uint64_t &moved) {
    if (!SendHeader(fd, 'R', n))
        return TOutcome::Cut;
    std::vector<unsigned char> buffer(64 * 1024);
    uint64_t hash = FnvStart;
    for (uint64_t sent = 0; sent < n;) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(buffer.size(), n - sent));
        FillPattern(buffer.data(), chunk, sent, seed);
        hash = Fnv(hash, buffer.data(), chunk);
        errno = 0;
        if (!WriteAll(fd, buffer.data(), chunk))
            return ReadFailure();
        sent += chunk;
        moved += chunk;
    }
    unsigned char answer[17];
    errno = 0;
    if (!ReadExact(fd, answer, 16))
        return ReadFailure();
    if (GetU64(answer) != n || GetU64(answer + 8) != hash)
        return TOutcome::Corrupt;
    // Nothing after the answer, then the end of stream.
    const ssize_t extra = ::recv(fd, answer, 1, 0);
    return extra == 0 ? TOutcome::Ok : extra > 0 ? TOutcome::Corrupt : TOutcome::Cut;
}

TOutcome Echo(int fd, int messages, size_t size, int holdMs, std::mt19937 &rng) {
    if (!SendHeader(fd, 'E', 0))
        return TOutcome::Cut;
    if (holdMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    std::vector<unsigned char> out(size), in(size);
    for (int m = 0; m < messages; ++m) {
        for (auto &b : out)
            b = static_cast<unsigned char>(rng());
        errno = 0;
        if (!WriteAll(fd, out.data(), out.size()) || !ReadExact(fd, in.data(), in.size()))
            return ReadFailure();
        if (in != out)
            return TOutcome::Corrupt;
    }
    ::shutdown(fd, SHUT_WR);
    unsigned char extra;
    const ssize_t r = ::recv(fd, &extra, 1, 0);
    return r == 0 ? TOutcome::Ok : r > 0 ? TOutcome::Corrupt : TOutcome::Cut;
}

enum TScenario { ScDownload, ScUpload, ScEcho, ScHold, ScRefused, ScVanish, ScGarbage, ScCount };
const char *const ScenarioNames[ScCount] = {"download", "upload", "echo",   "hold",
                                            "refused",  "vanish", "garbage"};

struct TCounts {
    std::atomic<uint64_t> Ok[ScCount] = {};
    std::atomic<uint64_t> Cut[ScCount] = {};
    std::atomic<uint64_t> Corrupt{0};
    std::atomic<uint64_t> Stalled{0};
    std::atomic<uint64_t> Bytes{0};
};

struct TConfig {
    std::vector<uint16_t> Chains;
    uint16_t Plain = 0;
    uint16_t Sink = 0;
    uint16_t Closed = 0; // a loopback port nobody listens on
    double Seconds = 60;
};

void Worker(const TConfig &config, TCounts &counts, unsigned seed, Clock::time_point end) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    while (Clock::now() < end) {
        // Two exchanges in three go through a chain, the rest through port 9999.
        const uint16_t port =
            pick(3) < 2 ? config.Chains[pick(int(config.Chains.size()))] : config.Plain;
        const auto kind = static_cast<TKind>(pick(4));
        const int roll = pick(100);
        const TScenario sc = roll < 35   ? ScDownload
                             : roll < 50 ? ScUpload
                             : roll < 65 ? ScEcho
                             : roll < 75 ? ScHold
                             : roll < 82 ? ScRefused
                             : roll < 92 ? ScVanish
                                         : ScGarbage;
        TOutcome outcome = TOutcome::Ok;
        bool refused = false;
        uint64_t moved = 0;
        if (sc == ScVanish || sc == ScGarbage) {
            const int fd = ConnectLoopback(port);
            if (fd < 0) {
                outcome = TOutcome::Cut;
            } else {
                std::string bytes;
                if (sc == ScVanish) { // a valid request cut short, or whole and never read
                    bytes = std::string("\x05\x01\x00\x05\x01\x00\x03\x09", 8) + "127.0.0.1" +
                            static_cast<char>(config.Sink >> 8) +
                            static_cast<char>(config.Sink & 0xff);
                    bytes.resize(static_cast<size_t>(pick(int(bytes.size()) + 1)));
                } else {
                    bytes.resize(static_cast<size_t>(1 + pick(600)));
                    for (auto &c : bytes)
                        c = static_cast<char>(rng());
                }
                WriteAll(fd, bytes.data(), bytes.size());
                if (sc == ScGarbage) {
                    ::shutdown(fd, SHUT_WR); // nothing more comes // the server closes; it may
                                             // answer a failure first
                    SetTimeouts(fd);
                    char sink[512];
                    ssize_t r;
                    while ((r = ::recv(fd, sink, sizeof sink, 0)) > 0) {
                    }
                    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                        outcome = TOutcome::Stalled;
                }
                ::close(fd);
            }
        } else {
            const uint16_t dest = sc == ScRefused ? config.Closed : config.Sink;
            const int fd = OpenTunnel(port, kind, dest, outcome, refused);
            if (sc == ScRefused) {
                if (fd >= 0) {
                    outcome = TOutcome::Corrupt; // a tunnel to a port nobody listens on
                    ::close(fd);
                } else if (refused) {
                    outcome = TOutcome::Ok;
                }
            } else if (fd >= 0) {
                switch (sc) {
                case ScDownload:
                    outcome =
                        Download(fd, 1 + rng() % (pick(10) == 0 ? 8u << 20 : 256u << 10), moved);
                    break;
                case ScUpload:
                    outcome = Upload(fd, 1 + rng() % (pick(10) == 0 ? 16u << 20 : 256u << 10),
                                     rng(), moved);
                    break;
                case ScEcho:
                    outcome = Echo(fd, 1 + pick(20), 1 + static_cast<size_t>(pick(8192)), 0, rng);
                    break;
                default:
                    outcome = Echo(fd, 1, 100, 1000 + pick(14000), rng);
                    break;
                }
                ::close(fd);
            }
        }
        counts.Bytes += moved;
        switch (outcome) {
        case TOutcome::Ok:
            ++counts.Ok[sc];
            break;
        case TOutcome::Cut:
            ++counts.Cut[sc];
            break;
        case TOutcome::Corrupt:
            ++counts.Corrupt;
            std::fprintf(stderr, "soak_bench: corrupt %s through port %u\n", ScenarioNames[sc],
                         port);
            break;
        case TOutcome::Stalled:
            ++counts.Stalled;
            std::fprintf(stderr, "soak_bench: stalled %s through port %u\n", ScenarioNames[sc],
                         port);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(30)));
    }
}

void Report(const TCounts &counts, double elapsed) {
    std::string line = "t=" + std::to_string(static_cast<long>(elapsed));
    uint64_t ok = 0, cut = 0;
    for (int i = 0; i < ScCount; ++i) {
        line += std::string(" ") + ScenarioNames[i] + "=" + std::to_string(counts.Ok[i].load()) +
                "/" + std::to_string(counts.Cut[i].load());
        ok += counts.Ok[i];
        cut += counts.Cut[i];
    }
    line += " ok=" + std::to_string(ok) + " cut=" + std::to_string(cut) +
            " corrupt=" + std::to_string(counts.Corrupt.load()) +
            " stalled=" + std::to_string(counts.Stalled.load()) +
            " MB=" + std::to_string(counts.Bytes.load() / 1000000);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    TConfig config;
    int workers = 12;
    double reportEvery = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char *v = argv[i + 1];
        if (a == "--chain")
            config.Chains.push_back(static_cast<uint16_t>(std::atoi(v)));
        else if (a == "--plain")
            config.Plain = static_cast<uint16_t>(std::atoi(v));
        else if (a == "--seconds")
            config.Seconds = std::atof(v);
        else if (a == "--workers")
            workers = std::max(1, std::atoi(v));
        else if (a == "--report")
            reportEvery = std::max(1.0, std::atof(v));
        else
            Fail("unknown option " + a);
    }
    if (config.Chains.empty() || config.Plain == 0)
        Fail("usage: soak_bench --chain PORT [--chain PORT ...] --plain PORT --seconds S "
             "[--workers N] [--report S]");

    const int sink = ListenLoopback(512, config.Sink);
    std::thread(SinkLoop, sink).detach();
    const int closed = ListenLoopback(1, config.Closed); // a port that is free: bound, then let go
    ::close(closed);

    TCounts counts;
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<long>(config.Seconds * 1000));
    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i)
        threads.emplace_back(Worker, std::cref(config), std::ref(counts), 1000u + unsigned(i), end);
    auto nextReport = start + std::chrono::milliseconds(static_cast<long>(reportEvery * 1000));
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (Clock::now() >= nextReport) {
            Report(counts, Since(start, Clock::now()));
            nextReport += std::chrono::milliseconds(static_cast<long>(reportEvery * 1000));
        }
    }
    for (auto &t : threads)
        t.join();
    Report(counts, Since(start, Clock::now()));
    return counts.Corrupt == 0 && counts.Stalled == 0 ? 0 : 1;
}
