#include "engine/server/ConnectDirect.h"

#include "platform/Clock.h"
#include "platform/Error.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <vector>

std::vector<TDirectTarget> DirectTargets(const std::string &host, TIdIPVersion preferred) {
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    in_addr v4;
    if (inet_pton(AF_INET, bare.c_str(), &v4) == 1)
        return {{TSocket::Family::IPv4, bare}};
    in6_addr v6;
    if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1)
        return {{TSocket::Family::IPv6, bare}};
    if (bare.empty())
        throw ESocketError("Host not found: the host name is empty.");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(bare.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        const std::string why =
            rc == EAI_SYSTEM ? std::string(std::strerror(errno)) : std::string(gai_strerror(rc));
        throw ESocketError("Host not found: \"" + bare + "\" (" + why + ").", rc);
    }
    std::vector<TDirectTarget> targets;
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        if (ai->ai_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(ai->ai_addr)->sin_addr, text,
                      sizeof text);
            targets.push_back({TSocket::Family::IPv4, text});
        } else if (ai->ai_family == AF_INET6) {
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(ai->ai_addr)->sin6_addr, text,
                      sizeof text);
            targets.push_back({TSocket::Family::IPv6, text});
        }
    }
    ::freeaddrinfo(found);
    const TSocket::Family first =
        preferred == TIdIPVersion::Id_IPv6 ? TSocket::Family::IPv6 : TSocket::Family::IPv4;
    std::stable_partition(targets.begin(), targets.end(),
                          [first](const TDirectTarget &t) { return t.Family == first; });
    targets.erase(std::unique(targets.begin(), targets.end(),
                              [](const TDirectTarget &x, const TDirectTarget &y) {
                                  return x.Family == y.Family && x.Address == y.Address;
                              }),
                  targets.end());
    return targets;
}

void ConnectDirect(TIdSocksServerContext &context, const std::string &host, uint16_t port,
                   TIdIPVersion preferred, int timeoutMs) {
    ConnectDirect(context, DirectTargets(host, preferred), port, timeoutMs);
}

void ConnectDirect(TIdSocksServerContext &context, const std::vector<TDirectTarget> &targets,
                   uint16_t port, int timeoutMs) {
    const int64_t deadline = timeoutMs > 0 ? TClock::TickMs() + timeoutMs : INT64_MAX;
    std::string lastError;
    int lastCode = 0;
    for (const TDirectTarget &target : targets) {
        if (context.Woken())
            throw ESocketError("Connection aborted.", ECONNABORTED);
        int left = 0;
        if (timeoutMs > 0) {
            const int64_t remaining = deadline - TClock::TickMs();
            if (remaining <= 0)
                throw ESocketError("Connect timed out.", ETIMEDOUT);
            left = static_cast<int>(remaining);
        }
        context.SetOutgoing(TSocket::Create(target.Family));
        try {
            context.Outgoing().ConnectTo(target.Address, port, left);
            return;
        } catch (const ESocketError &e) {
            context.CloseOutgoing();
            if (e.Code == ETIMEDOUT || context.Woken())
                throw;
            lastError = e.what();
            lastCode = e.Code;
        }
    }
    throw ESocketError(lastError, lastCode);
}
