#include "check/CheckPool.h"

#include "engine/wire/HopTarget.h"
#include "engine/wire/HttpConnectReply.h"
#include "engine/wire/HttpConnectRequest.h"
#include "engine/wire/HttpReplyDecoder.h"
#include "engine/wire/Socks4Reply.h"
#include "engine/wire/Socks4Request.h"
#include "engine/wire/Socks5MethodReply.h"
#include "engine/wire/Socks5Reply.h"
#include "engine/wire/Socks5Request.h"
#include "platform/Clock.h"
#include "platform/Resolver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_set>
#include <variant>

namespace {

constexpr int64_t NsPerMs = 1000000;
// The epoll key of the wake-up descriptor; a check's key is its job's
// position (low 32 bits) and the serial of its try (high 32 bits).
constexpr uint64_t WakeKey = ~uint64_t(0);
// The look-up key of the test page's own name.
constexpr size_t PageKey = SIZE_MAX;
// New checks started per turn of the loop, so that results keep flowing
// while thousands start.
constexpr size_t StartsPerTurn = 1000;
// How often the deadlines of the checks in flight are looked at.
constexpr int64_t SweepEveryNs = 10 * NsPerMs;
constexpr int TickMs = 10;
constexpr size_t ResolverThreads = 4;

enum class TPhase { Resolving, Connecting, Handshake, WaitingForPage, Page };

using TReply =
    std::variant<std::monostate, TSocks5MethodReply, TSocks5Reply, TSocks4Reply, THttpConnectReply>;

// An address literal as a socket address; false for anything else.
bool LiteralAddress(const std::string &text, sockaddr_storage &address, socklen_t &length) {
    const std::string host = TResolver::StripBrackets(text);
    address = {};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        length = sizeof(sockaddr_in);
        return true;
    }
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

void SetPort(sockaddr_storage &address, uint16_t port) {
    if (address.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&address)->sin_port = htons(port);
    else
        reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port = htons(port);
}

bool IsSocks5(TProxyType type) {
    return type == TProxyType::ptSOCKS5 || type == TProxyType::ptSOCKS45;
}

} // namespace

struct TCheckPool::TCheck {
    TCheckJob Job;
    uint32_t Key = 0;    // the job's position
    uint32_t Serial = 0; // of the try under way, so late events of an earlier one are told apart
    size_t Slot = 0;     // position in FActive
    sockaddr_storage Address{};
    socklen_t AddressLength = 0;
    TProxyType TryType = TProxyType::ptUnknown;
    TPhase Phase = TPhase::Resolving;
    int Step = 0; // the handshake's next message
    int Fd = -1;
    uint32_t Watched = 0;
    std::string Out;
    size_t OutAt = 0;
    TReply Reply;
    std::unique_ptr<THttpReplyDecoder> Page;
    bool HeaderSeen = false;
    int64_t TryStartNs = 0;
    int64_t TryDeadlineNs = 0; // connect and handshake
    int64_t DeadlineNs = 0;    // the nearest of that and the read's own
};

struct TCheckPool::TResolver {
    std::mutex Lock;
    std::condition_variable Ready;
    std::deque<std::pair<size_t, std::string>> Queue;
    std::unordered_set<size_t> Cancelled;
    // Answers: the key and the IPv4 address, or nothing when the name failed.
    std::vector<std::pair<size_t, std::optional<std::string>>> Answers;
    size_t Threads = 0;
    size_t Idle = 0;
    bool Stopping = false;
    int Wake = -1; // the pool's eventfd; closed by the last owner

    ~TResolver() {
        if (Wake >= 0)
            ::close(Wake);
    }

    static void Work(std::shared_ptr<TResolver> self) {
        std::unique_lock<std::mutex> lock(self->Lock);
        for (;;) {
            ++self->Idle;
            self->Ready.wait(lock, [&] { return self->Stopping || !self->Queue.empty(); });
            --self->Idle;
            if (self->Stopping)
                return;
            auto [key, host] = std::move(self->Queue.front());
            self->Queue.pop_front();
            if (self->Cancelled.erase(key))
                continue;
            lock.unlock();
            std::optional<std::string> address;
            try {
                address = ::TResolver::ResolveIPv4(host);
            } catch (...) {
            }
            lock.lock();
            if (self->Stopping)
                return;
            self->Answers.emplace_back(key, std::move(address));
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(self->Wake, &one, sizeof one);
        }
    }

    void Ask(size_t key, const std::string &host, const std::shared_ptr<TResolver> &self) {
        std::lock_guard<std::mutex> lock(Lock);
        Cancelled.erase(key);
        Queue.emplace_back(key, host);
        if (Idle < Queue.size() && Threads < ResolverThreads) {
            ++Threads;
            std::thread(Work, self).detach();
        }
        Ready.notify_one();
    }

    void Cancel(size_t key) {
        std::lock_guard<std::mutex> lock(Lock);
        Cancelled.insert(key);
    }

    void Shutdown() {
        std::lock_guard<std::mutex> lock(Lock);
        Stopping = true;
        Queue.clear();
        Ready.notify_all();
    }
};

TCheckPool::TCheckPool(TOptions options, TOnGroup onGroup)
    : FOptions(std::move(options)), FOnGroup(std::move(onGroup)), FPageState(TPageAddress::Unknown),
      FResolver(std::make_shared<TResolver>()) {
    FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    FWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    FResolver->Wake = FWake;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = WakeKey;
    ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWake, &event);
}

TCheckPool::~TCheckPool() {
    Stop();
    if (FThread.joinable())
        FThread.detach(); // only when the pool is deleted from its own handler
    FResolver->Shutdown();
    ::close(FEpoll);
}

void TCheckPool::Start(std::vector<TCheckJob> jobs) {
    auto shared = std::make_shared<std::vector<TCheckJob>>(std::move(jobs));
    Start([shared] { return std::move(*shared); });
}

void TCheckPool::Start(std::function<std::vector<TCheckJob>()> makeJobs) {
    FLimit = std::max<size_t>(FOptions.MaxInFlight, 1);
    const std::string &host = FOptions.Request.Host;
    if (::TResolver::IsIPv4Literal(host)) {
        ::inet_pton(AF_INET, host.c_str(), FPageAddress.data());
        FPageState = TPageAddress::Known;
    } else if (::TResolver::IsIPv6Literal(host)) {
        FPageState = TPageAddress::Failed; // SOCKS 4 carries no IPv6 address
    }
    FThread = std::thread([this, makeJobs = std::move(makeJobs)] {
        FJobs = makeJobs();
        Loop();
    });
}

void TCheckPool::Stop() {
    FStopping = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FWake, &one, sizeof one);
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
        FThread.join();
}

void TCheckPool::Loop() {
    epoll_event events[512];
    int64_t lastSweep = TClock::TickNs();
    while (!FStopping) {
        StartChecks(TClock::TickNs());
        if (FDone == FJobs.size()) {
            Flush(true);
            break;
        }
        const int n = ::epoll_wait(FEpoll, events, 512, TickMs);
        int64_t now = TClock::TickNs();
        for (int i = 0; i < n && !FStopping; ++i) {
            const uint64_t key = events[i].data.u64;
            if (key == WakeKey) {
                uint64_t count = 0;
                [[maybe_unused]] const ssize_t got = ::read(FWake, &count, sizeof count);
                TakeResolved(now);
                continue;
            }
            const uint32_t index = uint32_t(key & 0xFFFFFFFF);
            const uint32_t serial = uint32_t(key >> 32);
            if (index >= FByKey.size())
                continue;
            TCheck *check = FByKey[index];
            if (check == nullptr || check->Serial != serial || check->Fd < 0)
                continue; // an event of a try that has ended
            HandleEvent(*check, events[i].events, now);
        }
        if (FStopping)
            break;
        now = TClock::TickNs();
        if (now - lastSweep >= SweepEveryNs) {
            SweepDeadlines(now);
            lastSweep = now;
        }
        if (!FGroup.empty() && (FGroup.size() >= FOptions.GroupSize ||
                                now - FGroupSinceNs >= int64_t(FOptions.GroupMs) * NsPerMs))
            Flush(false);
    }
    for (TCheck *check : FActive) {
        CloseSocket(*check);
        delete check;
    }
    FActive.clear();
    FByKey.clear();
}

void TCheckPool::StartChecks(int64_t now) {
    if (FByKey.size() != FJobs.size())
        FByKey.assign(FJobs.size(), nullptr);
    for (size_t started = 0;
         started < StartsPerTurn && FActive.size() < FLimit && FNextJob < FJobs.size(); ++started) {
        auto *check = new TCheck;
        check->Key = uint32_t(FNextJob);
        check->Job = std::move(FJobs[FNextJob++]);
        check->Slot = FActive.size();
        FActive.push_back(check);
        FByKey[check->Key] = check;
        FPeakInFlight = std::max(FPeakInFlight.load(), FActive.size());
        const TProxyType type = check->Job.Type;
        if (FOptions.Request.Host.empty()) {
            Finish(*check, type, false, 0); // no page to fetch
            continue;
        }
        if (type != TProxyType::ptUnknown && type != TProxyType::ptSOCKS4 && !IsSocks5(type) &&
            type != TProxyType::ptHTTP) {
            Finish(*check, type, false, 0);
            continue;
        }
        check->TryType = type == TProxyType::ptUnknown ? TProxyType::ptSOCKS5 : type;
        if (LiteralAddress(check->Job.Host, check->Address, check->AddressLength)) {
            SetPort(check->Address, check->Job.Port);
            StartTry(*check, now);
        } else {
            // The look-up counts as part of the first try's connect.
            check->Phase = TPhase::Resolving;
            check->TryStartNs = now;
            check->TryDeadlineNs = check->DeadlineNs = now + int64_t(FOptions.TimeoutMs) * NsPerMs;
            FResolver->Ask(check->Key, check->Job.Host, FResolver);
        }
    }
}

void TCheckPool::StartTry(TCheck &check, int64_t now) {
    CloseSocket(check);
    ++check.Serial;
    check.Step = 0;
    check.Reply = std::monostate{};
    check.Page.reset();
    check.HeaderSeen = false;
    check.Out.clear();
    check.OutAt = 0;
    check.TryStartNs = now;
    check.TryDeadlineNs = check.DeadlineNs = now + int64_t(FOptions.TimeoutMs) * NsPerMs;
    check.Phase = TPhase::Connecting;
    check.Fd = ::socket(check.Address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (check.Fd < 0) {
        if (errno == EMFILE || errno == ENFILE) // no more in flight than now, from here on
            FLimit = std::max<size_t>(FActive.size() > 1 ? FActive.size() - 1 : 1, 1);
        return TryFailed(check, true, now);
    }
    if (::connect(check.Fd, reinterpret_cast<const sockaddr *>(&check.Address),
                  check.AddressLength) == 0)
        return Connected(check, now);
    if (errno != EINPROGRESS)
        return TryFailed(check, true, now);
    Watch(check, EPOLLOUT);
}

void TCheckPool::Connected(TCheck &check, int64_t now) {
    check.Phase = TPhase::Handshake;
    NextStep(check, now);
}

void TCheckPool::HandleEvent(TCheck &check, uint32_t events, int64_t now) {
    if (check.Phase == TPhase::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(check.Fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0 && (events & (EPOLLERR | EPOLLHUP)) == 0 && (events & EPOLLOUT))
            return Connected(check, now);
        if (error == 0 && (events & (EPOLLERR | EPOLLHUP)) == 0)
            return; // not yet
        return TryFailed(check, true, now);
    }
    if (check.OutAt < check.Out.size()) {
        if (!WritePending(check))
            return TryFailed(check, false, now);
        if (check.OutAt < check.Out.size())
            return;
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0)
        return;
    if (check.Phase == TPhase::Handshake)
        ReadHandshake(check, now);
    else if (check.Phase == TPhase::Page)
        ReadPage(check, now);
}

bool TCheckPool::WritePending(TCheck &check) {
    while (check.OutAt < check.Out.size()) {
        const ssize_t n = ::send(check.Fd, check.Out.data() + check.OutAt,
                                 check.Out.size() - check.OutAt, MSG_NOSIGNAL);
        if (n > 0) {
            check.OutAt += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Watch(check, EPOLLOUT);
            return true;
        }
        return false;
    }
    Watch(check, EPOLLIN);
    return true;
}

// Sends the handshake's next message and sets the decoder of its answer;
// after the last answer, the page's request.
void TCheckPool::NextStep(TCheck &check, int64_t now) {
    const std::string &host = FOptions.Request.Host;
    const uint16_t port = FOptions.Request.Port;
    const int step = check.Step++;
    try {
        if (IsSocks5(check.TryType)) {
            if (step == 0) {
                check.Out = TSocks5Request::EncodeGreeting(TSocks5Request::MethodNoAuthentication);
                check.Reply.emplace<TSocks5MethodReply>(TSocks5Request::MethodNoAuthentication,
                                                        "Invalid socks authentication method.");
            } else if (step == 1) {
                check.Out = TSocks5Request::EncodeConnect(THopTarget::Parse(host), port);
                check.Reply.emplace<TSocks5Reply>();
            } else {
                return SendPageRequest(check, now);
            }
        } else if (check.TryType == TProxyType::ptSOCKS4) {
            if (step == 0) {
                // Plain SOCKS 4 carries no names: the page's address is looked up here.
                if (FPageState == TPageAddress::Unknown || FPageState == TPageAddress::Pending) {
                    check.Step = 0;
                    check.Phase = TPhase::WaitingForPage;
                    Watch(check, 0);
                    FWaitingForPage.emplace_back(check.Key, check.Serial);
                    if (FPageState == TPageAddress::Unknown) {
                        FPageState = TPageAddress::Pending;
                        FResolver->Ask(PageKey, host, FResolver);
                    }
                    return;
                }
                if (FPageState != TPageAddress::Known)
                    return TryFailed(check, false, now);
                check.Out = TSocks4Request::Encode(port, FPageAddress, std::string());
                check.Reply.emplace<TSocks4Reply>();
            } else {
                return SendPageRequest(check, now);
            }
        } else {
            if (step == 0) {
                check.Out = THttpConnectRequest::Encode(THopTarget::Parse(host), port);
                check.Reply.emplace<THttpConnectReply>();
            } else {
                return SendPageRequest(check, now);
            }
        }
    } catch (const std::exception &) {
        return TryFailed(check, false, now); // a page host that cannot go on the wire
    }
    check.Phase = TPhase::Handshake;
    check.OutAt = 0;
    check.DeadlineNs =
        std::min(check.TryDeadlineNs, now + int64_t(FOptions.ReadTimeoutMs) * NsPerMs);
    if (!WritePending(check))
        TryFailed(check, false, now);
}

void TCheckPool::SendPageRequest(TCheck &check, int64_t now) {
    check.Phase = TPhase::Page;
    check.Reply = std::monostate{};
    check.Page = std::make_unique<THttpReplyDecoder>();
    check.Out = FOptions.Request.Encode();
    check.OutAt = 0;
    check.DeadlineNs = now + int64_t(FOptions.ReadTimeoutMs) * NsPerMs;
    if (!WritePending(check))
        TryFailed(check, false, now);
}

void TCheckPool::ReadHandshake(TCheck &check, int64_t now) {
    uint8_t buffer[512];
    for (;;) {
        const size_t needed = std::visit(
            [](auto &reply) -> size_t {
                if constexpr (std::is_same_v<std::decay_t<decltype(reply)>, std::monostate>)
                    return 0;
                else
                    return reply.BytesNeeded();
            },
            check.Reply);
        if (needed == 0)
            return TryFailed(check, false, now);
        const ssize_t n = ::recv(check.Fd, buffer, std::min(needed, sizeof buffer), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0)
            return TryFailed(check, false, now); // closed, or broken
        check.DeadlineNs =
            std::min(check.TryDeadlineNs, now + int64_t(FOptions.ReadTimeoutMs) * NsPerMs);
        bool done = false;
        bool failed = false;
        std::visit(
            [&](auto &reply) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(reply)>, std::monostate>) {
                    reply.Feed(buffer, size_t(n));
                    done = reply.Done();
                    failed = !reply.Error().empty();
                }
            },
            check.Reply);
        if (failed)
            return TryFailed(check, false, now); // a refusal or an answer that cannot be read
        if (done)
            return NextStep(check, now);
    }
}

void TCheckPool::ReadPage(TCheck &check, int64_t now) {
    uint8_t buffer[16 * 1024];
    THttpReplyDecoder &reply = *check.Page;
    for (;;) {
        const ssize_t n = ::recv(check.Fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0)
            return TryEnded(check, check.HeaderSeen, 0, now);
        if (n == 0)
            reply.FeedEnd();
        else
            reply.Feed(buffer, size_t(n));
        check.DeadlineNs = now + int64_t(FOptions.ReadTimeoutMs) * NsPerMs;
        if (!check.HeaderSeen && reply.HeadersComplete()) {
            check.HeaderSeen = true;
            // Redirects are not followed: only a success status carries on.
            if (!reply.IsSuccess())
                return TryEnded(check, true, 0, now);
        }
        if (!reply.Error().empty())
            return TryEnded(check, check.HeaderSeen, 0, now);
        if (reply.Done()) {
            const auto ms = uint32_t(std::max<int64_t>((now - check.TryStartNs) / NsPerMs, 0));
            return TryEnded(check, true, ms, now);
        }
        if (n == 0)
            return TryEnded(check, check.HeaderSeen, 0, now);
    }
}

void TCheckPool::TryFailed(TCheck &check, bool connectFailed, int64_t now) {
    if (check.Job.Type != TProxyType::ptUnknown || connectFailed)
        return Finish(check, check.Job.Type, false, 0);
    switch (check.TryType) {
    case TProxyType::ptSOCKS5:
        check.TryType = TProxyType::ptSOCKS4;
        return StartTry(check, now);
    case TProxyType::ptSOCKS4:
        check.TryType = TProxyType::ptHTTP;
        return StartTry(check, now);
    default:
        return Finish(check, TProxyType::ptUnknown, false, 0);
    }
}

// The page's reply ended, whole (durationMs > 0 or a zero-ms whole reply) or
// not: durationMs is 0 unless it came whole with a success status.
void TCheckPool::TryEnded(TCheck &check, bool headerSeen, uint32_t durationMs, int64_t now) {
    const bool whole =
        check.Page && check.Page->Done() && check.Page->Error().empty() && check.Page->IsSuccess();
    if (check.Job.Type != TProxyType::ptUnknown) {
        const bool ok = whole && !check.Page->Body().empty();
        return Finish(check, check.Job.Type, ok, ok ? durationMs : 0);
    }
    if (headerSeen)
        return Finish(check, check.TryType, true, whole ? durationMs : 0);
    TryFailed(check, false, now);
}

void TCheckPool::Finish(TCheck &check, TProxyType type, bool ok, uint32_t durationMs) {
    CloseSocket(check);
    if (check.Phase == TPhase::Resolving)
        FResolver->Cancel(check.Key);
    if (FGroup.empty())
        FGroupSinceNs = TClock::TickNs();
    FGroup.push_back({check.Job.Index, type, ok, durationMs});
    ++FDone;
    TCheck *last = FActive.back();
    FActive[check.Slot] = last;
    last->Slot = check.Slot;
    FActive.pop_back();
    FByKey[check.Key] = nullptr;
    delete &check;
}

void TCheckPool::CloseSocket(TCheck &check) {
    if (check.Fd >= 0) {
        ::close(check.Fd); // also leaves the epoll set
        check.Fd = -1;
    }
    check.Watched = 0;
}

void TCheckPool::Watch(TCheck &check, uint32_t events) {
    if (check.Fd < 0 || check.Watched == events)
        return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = uint64_t(check.Key) | (uint64_t(check.Serial) << 32);
    const int op = check.Watched == 0 && events != 0 ? EPOLL_CTL_ADD
                   : events == 0                     ? EPOLL_CTL_DEL
                                                     : EPOLL_CTL_MOD;
    ::epoll_ctl(FEpoll, op, check.Fd, &event);
    check.Watched = events;
}

void TCheckPool::SweepDeadlines(int64_t now) {
    // From the back: a check that ends is replaced by the last one, already seen.
    for (size_t i = FActive.size(); i-- > 0;) {
        if (i >= FActive.size())
            continue;
        TCheck &check = *FActive[i];
        if (now < check.DeadlineNs)
            continue;
        switch (check.Phase) {
        case TPhase::Resolving:
        case TPhase::Connecting:
            TryFailed(check, true, now);
            break;
        case TPhase::Handshake:
        case TPhase::WaitingForPage:
            TryFailed(check, false, now);
            break;
        case TPhase::Page:
            TryEnded(check, check.HeaderSeen, 0, now);
            break;
        }
    }
}

void TCheckPool::TakeResolved(int64_t now) {
    std::vector<std::pair<size_t, std::optional<std::string>>> answers;
    {
        std::lock_guard<std::mutex> lock(FResolver->Lock);
        answers.swap(FResolver->Answers);
    }
    for (auto &[key, address] : answers) {
        if (key == PageKey) {
            if (address && ::inet_pton(AF_INET, address->c_str(), FPageAddress.data()) == 1)
                FPageState = TPageAddress::Known;
            else
                FPageState = TPageAddress::Failed;
            PageAddressKnown(now);
            continue;
        }
        if (key >= FByKey.size())
            continue;
        TCheck *check = FByKey[key];
        if (check == nullptr || check->Phase != TPhase::Resolving)
            continue;
        if (!address || !LiteralAddress(*address, check->Address, check->AddressLength)) {
            TryFailed(*check, true, now); // the name does not resolve: nothing to connect to
            continue;
        }
        SetPort(check->Address, check->Job.Port);
        StartTry(*check, now);
    }
}

void TCheckPool::PageAddressKnown(int64_t now) {
    std::vector<std::pair<uint32_t, uint32_t>> waiting;
    waiting.swap(FWaitingForPage);
    for (const auto &[key, serial] : waiting) {
        TCheck *check = key < FByKey.size() ? FByKey[key] : nullptr;
        if (check == nullptr || check->Serial != serial || check->Phase != TPhase::WaitingForPage)
            continue;
        check->Phase = TPhase::Handshake;
        NextStep(*check, now);
    }
}

void TCheckPool::Flush(bool last) {
    std::vector<TCheckResult> group;
    group.swap(FGroup);
    if (FOnGroup)
        FOnGroup(std::move(group), last);
}
