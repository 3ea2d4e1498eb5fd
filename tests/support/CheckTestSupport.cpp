#include "tests/support/CheckTestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace VelmoraTest {

TEchoPage::TEchoPage() : FListener([this](TSocket &client) { Serve(client); }, 512) {}

QString TEchoPage::URL() const {
    return QStringLiteral("http://127.0.0.1:%1/").arg(Port());
}

std::string TEchoPage::LastRequest() {
    std::lock_guard<std::mutex> lock(FLock);
    return FLastRequest;
}

void TEchoPage::Serve(TSocket &client) {
    const int fd = client.Fd();
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
    for (int waited = 0; waited < DelayMs && !FListener.Stopping(); waited += 5)
        ::usleep(5 * 1000);

    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len);
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    const std::string body = address;

    // A request stops counting once its wait is over, before its reply goes
    // out: the client may begin its next request as soon as it has the reply.
    const TMode mode = Mode.load();
    if (mode != TMode::Silent)
        --FConcurrent;
    switch (mode) {
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
        while (!FListener.Stopping() && ::recv(fd, buffer, sizeof buffer, 0) > 0)
            ;
        --FConcurrent;
        break;
    }
    ::shutdown(fd, SHUT_RDWR);
}

TDanteSocks4Peer::TDanteSocks4Peer()
    : TDantePeer("client pass {\n"
                 "    from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                 "}\n"
                 "socks pass {\n"
                 "    from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                 "    proxyprotocol: socks_v4\n"
                 "}\n"
                 "socks block {\n"
                 "    from: 0.0.0.0/0 to: 0.0.0.0/0\n"
                 "    log: connect error\n"
                 "}\n") {}

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

} // namespace VelmoraTest
