#include "tests/check/CheckTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace VelmoraTest {

namespace {

void SendAll(int fd, const std::string &text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        sent += size_t(n);
    }
}

} // namespace

TEchoPage::TEchoPage() {
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (FListenFd < 0 || ::bind(FListenFd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        ::listen(FListenFd, 512) < 0 ||
        ::getsockname(FListenFd, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
        if (FListenFd >= 0)
            ::close(FListenFd);
        throw std::runtime_error("echo page: cannot listen");
    }
    FPort = ntohs(a.sin_port);
    FAcceptThread = std::thread([this] { AcceptLoop(); });
}

TEchoPage::~TEchoPage() {
    FStopping = true;
    ::shutdown(FListenFd, SHUT_RDWR);
    FAcceptThread.join();
    {
        std::lock_guard<std::mutex> lock(FLock);
        for (int fd : FClientFds)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread &t : FClientThreads)
        t.join();
    for (int fd : FClientFds)
        ::close(fd);
    ::close(FListenFd);
}

QString TEchoPage::URL() const {
    return QStringLiteral("http://127.0.0.1:%1/").arg(FPort);
}

std::string TEchoPage::LastRequest() {
    std::lock_guard<std::mutex> lock(FLock);
    return FLastRequest;
}

void TEchoPage::AcceptLoop() {
    while (!FStopping) {
        const int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        std::lock_guard<std::mutex> lock(FLock);
        if (FStopping) {
            ::close(fd);
            return;
        }
        FClientFds.push_back(fd);
        FClientThreads.emplace_back([this, fd] { Serve(fd); });
    }
}

void TEchoPage::Serve(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        request.append(buffer, size_t(got));
    }
    ++FRequests;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FLastRequest = request;
    }
    const int now = ++FConcurrent;
    for (int seen = FMaxConcurrent; now > seen && !FMaxConcurrent.compare_exchange_weak(seen, now);)
        ;
    for (int waited = 0; waited < DelayMs && !FStopping; waited += 5)
        ::usleep(5 * 1000);

    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len);
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    const std::string body = address;

    switch (Mode.load()) {
    case TMode::Echo:
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        break;
    case TMode::Status:
        SendAll(fd, StatusLine + "\r\nLocation: /elsewhere\r\nContent-Type: text/plain\r\n"
                                 "Content-Length: 7\r\nConnection: close\r\n\r\nnothing");
        break;
    case TMode::EmptyBody:
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        break;
    case TMode::BreakOff:
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n12345");
        break;
    case TMode::Silent:
        // Hold the connection until the client or the destructor ends it.
        while (!FStopping && ::recv(fd, buffer, sizeof buffer, 0) > 0)
            ;
        break;
    }
    --FConcurrent;
    ::shutdown(fd, SHUT_RDWR);
}

TDanteSocks4Peer::TDanteSocks4Peer() {
    const std::string conf = Folder() + "/peer.conf";
    const std::string pidFile = Folder() + "/peer.pid";
    const std::string users = ::geteuid() == 0 ? "user.privileged: root\n"
                                                 "user.unprivileged: nobody\n"
                                               : "";
    Start([&](uint16_t port) {
        WriteFile(conf, "logoutput: stderr\n"
                        "internal: 127.0.0.1 port = " +
                            std::to_string(port) +
                            "\n"
                            "external: 127.0.0.1\n"
                            "clientmethod: none\n"
                            "socksmethod: none\n" +
                            users +
                            "client pass {\n"
                            "    from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                            "}\n"
                            "socks pass {\n"
                            "    from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                            "    proxyprotocol: socks_v4\n"
                            "}\n"
                            "socks block {\n"
                            "    from: 0.0.0.0/0 to: 0.0.0.0/0\n"
                            "    log: connect error\n"
                            "}\n");
        return std::vector<std::string>{"danted", "-f", conf, "-p", pidFile};
    });
}

TCheckURLOverride::TCheckURLOverride(const QString &url)
    : FOld(qgetenv("VELMORA_CHECK_URL")), FHadOld(qEnvironmentVariableIsSet("VELMORA_CHECK_URL")) {
    qputenv("VELMORA_CHECK_URL", url.toUtf8());
}

TCheckURLOverride::~TCheckURLOverride() {
    if (FHadOld)
        qputenv("VELMORA_CHECK_URL", FOld);
    else
        qunsetenv("VELMORA_CHECK_URL");
}

TTempStore::TTempStore() {
    if (!FTmp.isValid())
        throw std::runtime_error("no temporary folder");
    FStore = std::make_unique<TdmProxyData>(FTmp.path() + QStringLiteral("/data/"));
    FStore->LoadData(); // first run: the folder is made with empty tables
}

int32_t TTempStore::Add(uint16_t port, TProxyType type, const QString &address) {
    FStore->AddProxy(address, port, type);
    FStore->SaveData();
    std::vector<std::unique_ptr<TProxData>> all;
    FStore->GetAllProxyRecords(all); // in UID order: the new one is last
    return all.back()->FUID;
}

TProxData TTempStore::Row(int32_t uid) {
    TProxData row;
    if (FStore->GetProxyRecord(uid, &row) == nullptr)
        row.FUID = 0;
    return row;
}

bool PumpUntil(const std::function<bool()> &done, int timeoutMs) {
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

} // namespace VelmoraTest
