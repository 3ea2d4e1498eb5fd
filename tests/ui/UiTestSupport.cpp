#include "tests/ui/UiTestSupport.h"

#include "tests/common/Peers.h"
#include "ui/frmeActivityPanel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace VelmoraTest {

bool Pump(const std::function<bool()> &done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ::usleep(1000);
    }
    return true;
}

void PumpFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ::usleep(1000);
    }
}

void Idle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

TMainFixture::TMainFixture(TData data) {
    const QString folder = Folder();
    if (data != TData::Missing)
        QDir().mkpath(folder);
    if (data == TData::Sample) {
        const QDir sample(QStringLiteral(VELMORA_TEST_DATA "/store"));
        for (const QString &name : sample.entryList({QStringLiteral("*.cds")}, QDir::Files)) {
            QFile::copy(sample.filePath(name), folder + name);
            QFile(folder + name).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        }
    }
    FServices = std::make_unique<TdmSocksMgr>(FreeLoopbackPort());
    FStore = std::make_unique<TdmProxyData>(folder);
    FServices->ChainMgr().SetStore(FStore.get());
}

TMainFixture::~TMainFixture() {
    FWindow.reset();
    FServices.reset();
    FStore.reset();
}

void TMainFixture::Seed(const std::function<void(TdmProxyData &)> &fill) {
    TdmProxyData seed(Folder());
    seed.LoadData();
    fill(seed);
    seed.SaveData();
}

TfrmMain &TMainFixture::Open() {
    FWindow = std::make_unique<TfrmMain>(*FServices, *FStore, FPrompts);
    return *FWindow;
}

QStringList TMainFixture::ActivityLines() {
    FWindow->frmeActivityPanel()->Flush();
    return FWindow->frmeActivityPanel()->Lines();
}

int32_t AddProxy(TdmProxyData &store, uint16_t port, TProxyType type, TProxyStatus status,
                 const QString &address) {
    store.AddProxy(address, port, type);
    TDataTable &t = store.cdsProxies();
    t.Last();
    TProxData rec;
    rec.FUID = t.FieldByName("UID").AsInteger();
    rec.FSpeed = status == TProxyStatus::psAvailable ? 250 : 0;
    store.UpdateProxyStatus(rec, status);
    return rec.FUID;
}

int32_t AddChain(TdmProxyData &store, const QString &name, uint16_t port,
                 const std::vector<int32_t> &proxies) {
    TDataTable &c = store.cdsChainedProxies();
    c.Append();
    c.FieldByName("Desc").SetAsString(name);
    c.FieldByName("LocalServerPort").SetAsInteger(port);
    c.Post();
    const int32_t uid = c.FieldByName("UID").AsInteger();
    for (int32_t p : proxies)
        store.AddChainedItem(uid, p);
    store.SaveData();
    return uid;
}

namespace {

int ConnectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReadExact(int fd, unsigned char *buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::recv(fd, buf + got, n - got, 0);
        if (r <= 0)
            return false;
        got += size_t(r);
    }
    return true;
}

} // namespace

int Socks5Connect(uint16_t port, uint16_t destPort) {
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return -1;
    const unsigned char greet[] = {5, 1, 0};
    unsigned char method[2];
    const unsigned char req[] = {
        5, 1, 0, 1, 127, 0, 0, 1, uint8_t(destPort >> 8), uint8_t(destPort & 0xFF)};
    unsigned char reply[10];
    if (::send(fd, greet, sizeof greet, MSG_NOSIGNAL) != sizeof greet ||
        !ReadExact(fd, method, 2) || method[1] != 0 ||
        ::send(fd, req, sizeof req, MSG_NOSIGNAL) != sizeof req ||
        !ReadExact(fd, reply, sizeof reply) || reply[1] != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Accepting(uint16_t port) {
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace VelmoraTest
