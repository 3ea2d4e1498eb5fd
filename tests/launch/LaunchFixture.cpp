#include "tests/launch/LaunchFixture.h"

#include "store/dmProxyData.h"
#include "tests/support/Peers.h"
#include "tests/support/StoreSeed.h"

#include <sstream>

namespace VelmoraTest {

void LaunchTest::SetUp() {
    std::string why;
    if (!TTopology::Possible(why))
        GTEST_SKIP() << "the launcher tests build network namespaces: " << why;
    for (const char *program : {"microsocks", "danted", "curl", "python3", "chown"})
        if (!ProgramAvailable(program))
            GTEST_SKIP() << program << " is missing (see scripts/deps.sh)";

    FTopology = std::make_unique<TTopology>();
    const std::string world = FTopology->World();
    FDestination = std::make_unique<TDestination>(world, World(), TTopology::WorldAddress6);
    // The name has an IPv4 address only, so that the programs run directly
    // connect from the client's IPv4 address; Name6 has both.
    const std::vector<TDnsResponder::TRecord> records{{Name, World(), ""},
                                                      {Name6, World(), TTopology::WorldAddress6}};
    FSink = std::make_unique<TDnsResponder>(world, World(), records);
    FStub = std::make_unique<TDnsResponder>(FTopology->Client(), "127.0.0.53", records);
    FUdpEcho = std::make_unique<TDatagramServer>(
        world, std::vector<std::string>{World(), TTopology::WorldAddress6}, EchoPort,
        [](const std::string &datagram) { return std::optional<std::string>(datagram); });
    const std::string hosts = World() + " " + Name + "\n" + World() + " " + Name6 + "\n";
    FPings = std::make_unique<TIcmpCounter>(world);
    FMicrosocks = TWorldPeer::Microsocks(world, World(), MicrosocksPort, hosts);
    FDante = TWorldPeer::Dante(world, LastHop(), DantePort, hosts);
    FClient = std::make_unique<TClientSide>(FTopology->Client());
    SeedStore();
}

void LaunchTest::TearDown() {
    FHeadless.reset();
    FClient.reset();
    FDante.reset();
    FMicrosocks.reset();
    FPings.reset();
    FUdpEcho.reset();
    FStub.reset();
    FSink.reset();
    FDestination.reset();
    FTopology.reset();
}

void LaunchTest::SeedStore() {
    TdmProxyData::ProvisionDataFolder(QString::fromStdString(Client().StoreFolder()));
    TdmProxyData store(QString::fromStdString(Client().StoreFolder()));
    store.LoadData();
    const QString world = QString::fromStdString(World());
    const int32_t first =
        SeedProxy(store, MicrosocksPort, TProxyType::ptSOCKS5, TProxyStatus::psAvailable, world);
    const int32_t last = SeedProxy(store, DantePort, TProxyType::ptSOCKS5,
                                   TProxyStatus::psAvailable, QString::fromStdString(LastHop()));
    const int32_t dead =
        SeedProxy(store, ClosedPort, TProxyType::ptSOCKS5, TProxyStatus::psUnavailable, world);
    SeedChain(store, "World", WorldChainPort, {first, last});
    const int32_t spare = SeedChain(store, "Spare", SpareChainPort, {first});
    SeedChain(store, "Broken", BrokenChainPort, {first, dead});

    TDataTable &programs = store.cdsAnonymizedList();
    programs.Append();
    programs.FieldByName("Filename").SetAsString("CURL");
    programs.FieldByName("ChainUID").SetAsInteger(spare);
    programs.FieldByName("ChainPort").SetAsInteger(SpareChainPort);
    programs.FieldByName("NoOfProxy").SetAsInteger(1);
    programs.Post();
    store.AnonymSaveData();
    Client().HandOverHome();
}

void LaunchTest::ResetCounters() {
    Destination().Reset();
    Sink().Reset();
    Stub().Reset();
    UdpEcho().Reset();
    Pings().Reset();
}

TVelmoraProcess &LaunchTest::StartHeadless() {
    FHeadless = std::make_unique<TVelmoraProcess>(
        TVelmoraProcess::TCommandLine{Client().Command({Client().Bin("velmora"), "--headless"})});
    const bool up =
        FHeadless->WaitForLine("Services started", 30000) &&
        FHeadless->Lines().contains(QString("Listening on port %1").arg(WorldChainPort));
    if (!up)
        ADD_FAILURE() << "velmora --headless did not start its chains:\n"
                      << FHeadless->Lines().join("\n").toStdString();
    return *FHeadless;
}

QStringList LaunchTest::HeadlessLinesFrom(qsizetype from) {
    return FHeadless ? FHeadless->Lines().mid(from) : QStringList();
}

TRunResult LaunchTest::RunInClient(const std::vector<std::string> &command, bool asRoot,
                                   int timeoutMs, const std::string &prepare) {
    return RunProgram(Client().Command(command, asRoot, prepare), timeoutMs);
}

TRunResult LaunchTest::VelmoraRun(const std::vector<std::string> &args, bool asRoot,
                                  int timeoutMs) {
    std::vector<std::string> command{Client().Bin("velmora"), "run"};
    command.insert(command.end(), args.begin(), args.end());
    return RunInClient(command, asRoot, timeoutMs);
}

std::vector<std::string> LaunchTest::StaticClient(const std::vector<std::string> &args) const {
    std::vector<std::string> command{FClient->Bin("static-client")};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::vector<std::string> LaunchTest::UringClient(const std::vector<std::string> &args) const {
    std::vector<std::string> command{FClient->Bin("uring-client")};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::vector<std::string> LaunchTest::PythonClient(const std::vector<std::string> &args) const {
    std::vector<std::string> command{"python3", FClient->Bin("name_client.py")};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::vector<std::string> ClientLines(const std::string &output, const std::string &key) {
    std::vector<std::string> found;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(key + " ", 0) == 0)
            found.push_back(line.substr(key.size() + 1));
    return found;
}

std::string ClientLine(const std::string &output, const std::string &key) {
    const std::vector<std::string> found = ClientLines(output, key);
    return found.empty() ? std::string() : found.front();
}

bool InFakeRange(const std::string &address) {
    return address.rfind("198.18.", 0) == 0 || address.rfind("198.19.", 0) == 0;
}

} // namespace VelmoraTest
