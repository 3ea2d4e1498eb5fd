#include "tests/support/ServerTestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace VelmoraTest {

size_t ThreadCount() {
    size_t count = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

TSocketPair LoopbackPair() {
    TSocket listener = TSocket::Listen(TSocket::Family::IPv4, 0, 4);
    TSocketPair pair;
    pair.Near = TSocket::Connect("127.0.0.1", listener.LocalPort(), 5000);
    pair.Far = listener.Accept();
    return pair;
}

TSocket ConnectFrom(const std::string &source, uint16_t port) {
    TSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    if (::bind(s.Fd(), reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
        throw ESocketError("bind failed", errno);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
    if (::connect(s.Fd(), reinterpret_cast<sockaddr *>(&peer), sizeof peer) < 0)
        throw ESocketError("connect failed", errno);
    return s;
}

std::string ReadAll(TSocket &s, size_t limit, int timeoutMs) {
    std::string out;
    char buffer[65536];
    while (out.size() < limit) {
        if (!s.WaitReadable(timeoutMs))
            break;
        size_t got = 0;
        try {
            got = s.ReadSome(buffer, std::min(sizeof buffer, limit - out.size()));
        } catch (const ESocketError &) {
            break;
        }
        if (got == 0)
            break;
        out.append(buffer, got);
    }
    return out;
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char &ch : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        ch = static_cast<char>(x);
    }
    return out;
}

uint64_t Checksum(const std::string &data) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char ch : data)
        hash = (hash ^ ch) * 1099511628211ull;
    return hash;
}

TLoopbackServer::TBody HttpPageBody(TPage page) {
    return [page = std::move(page)](TSocket &client) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const size_t got = client.ReadSome(buffer, sizeof buffer);
            if (got == 0)
                return;
            request.append(buffer, got);
        }
        // "GET /path HTTP/1.1": the path is the second word.
        const size_t from = request.find(' ') + 1;
        const std::string path = request.substr(from, request.find(' ', from) - from);
        const std::string body = page(path);
        client.WriteAll("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                        "Content-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
        client.WriteAll(body);
        client.ShutdownWrite();
        ReadAll(client, SIZE_MAX, 5000); // until the client closes
    };
}

TLoopbackServer::TBody HttpPageBody(const std::string &body) {
    return HttpPageBody([body](const std::string &) { return body; });
}

std::string BigBody() {
    return Pattern(3 * 1024 * 1024, 7);
}

TLoopbackServer::TBody HttpBody() {
    return HttpPageBody([](const std::string &path) {
        return path == "/big" ? BigBody() : std::string("hello from the loopback server");
    });
}

TLoopbackServer::TBody ReceiveThenSendBody(size_t replySize) {
    return [replySize](TSocket &client) {
        const std::string got = ReadAll(client, SIZE_MAX, 30000);
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(Checksum(got)));
        client.WriteAll(Pattern(replySize, 3) + hex);
        client.ShutdownWrite();
    };
}

} // namespace VelmoraTest
