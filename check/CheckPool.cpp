#include "check/CheckPool.h"

#include "check/CheckHttpConnectStep.h"
#include "check/CheckNameLookups.h"
#include "check/CheckPageStep.h"
#include "check/CheckSocks4Step.h"
#include "check/CheckSocks5Step.h"
#include "platform/Clock.h"
#include "platform/Resolver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

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

enum class TPhase { Resolving, Connecting, Handshake, WaitingForPage, Page };

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
    int Fd = -1;
    uint32_t Watched = 0;
    std::string Out;
    size_t OutAt = 0;
    std::unique_ptr<TCheckStep> Handshake; // in the phase Handshake
    std::unique_ptr<TCheckPageStep> Page;  // in the phase Page
    int64_t TryStartNs = 0;
    int64_t TryDeadlineNs = 0; // connect, handshake and page
    int64_t DeadlineNs = 0;    // the nearest of that and the read's own
};

TCheckPool::TCheckPool(TOptions options, TOnGroup onGroup)
    : FOptions(std::move(options)), FOnGroup(std::move(onGroup)), FPageState(TPageAddress::Unknown),
      FEpoll(::epoll_create1(EPOLL_CLOEXEC)), FWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      FLookups(std::make_shared<TCheckNameLookups>(FWake)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = WakeKey;
    ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWake, &event);
}

TCheckPool::~TCheckPool() {
    Stop();
    if (FThread.joinable())
        FThread.detach(); // only when the pool is deleted from its own handler
    FLookups->Shutdown();
    ::close(FEpoll);
}

void TCheckPool::Start(std::vector<TCheckJob> jobs) {
    auto shared = std::make_shared<std::vector<TCheckJob>>(std::move(jobs));
    Start([shared] { return std::move(*shared); });
}

void TCheckPool::Start(std::function<std::vector<TCheckJob>()> makeJobs) {
    FLimit = std::max<size_t>(FOptions.MaxInFlight, 1);
    const std::string &host = FOptions.Request.Host;
    if (TResolver::IsIPv4Literal(host)) {
        ::inet_pton(AF_INET, host.c_str(), FPageAddress.data());
        FPageState = TPageAddress::Known;
    } else if (TResolver::IsIPv6Literal(host)) {
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
            FLookups->Ask(check->Key, check->Job.Host);
        }
    }
}

void TCheckPool::StartTry(TCheck &check, int64_t now) {
    CloseSocket(check);
    ++check.Serial;
    check.Handshake.reset();
    check.Page.reset();
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
        return StartHandshake(check, now);
    if (errno != EINPROGRESS)
        return TryFailed(check, true, now);
    Watch(check, EPOLLOUT);
}

// Starts the handshake of the try's protocol for the test page's host and port.
void TCheckPool::StartHandshake(TCheck &check, int64_t now) {
    check.Phase = TPhase::Handshake;
    const std::string &host = FOptions.Request.Host;
    const uint16_t port = FOptions.Request.Port;
    if (IsSocks5(check.TryType)) {
        check.Handshake = std::make_unique<TCheckSocks5Step>(host, port);
    } else if (check.TryType == TProxyType::ptSOCKS4) {
        // Plain SOCKS 4 carries no names: the page's address is looked up here.
        if (FPageState == TPageAddress::Unknown || FPageState == TPageAddress::Pending) {
            check.Phase = TPhase::WaitingForPage;
            Watch(check, 0);
            FWaitingForPage.emplace_back(check.Key, check.Serial);
            if (FPageState == TPageAddress::Unknown) {
                FPageState = TPageAddress::Pending;
                FLookups->Ask(PageKey, host);
            }
            return;
        }
        if (FPageState != TPageAddress::Known)
            return TryFailed(check, false, now);
        check.Handshake = std::make_unique<TCheckSocks4Step>(port, FPageAddress);
    } else {
        check.Handshake = std::make_unique<TCheckHttpConnectStep>(host, port);
    }
    NextStep(check, now);
}

void TCheckPool::HandleEvent(TCheck &check, uint32_t events, int64_t now) {
    if (check.Phase == TPhase::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(check.Fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0 && (events & (EPOLLERR | EPOLLHUP)) == 0 && (events & EPOLLOUT))
            return StartHandshake(check, now);
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
    if (check.Phase == TPhase::Handshake || check.Phase == TPhase::Page)
        ReadReply(check, now);
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

// Sends the handshake's next message; after the last answer, the page's request.
void TCheckPool::NextStep(TCheck &check, int64_t now) {
    std::string message;
    try {
        message = check.Handshake->Next();
    } catch (const std::exception &) {
        return TryFailed(check, false, now); // a page host that cannot go on the wire
    }
    if (message.empty())
        return SendPageRequest(check, now);
    Send(check, std::move(message), ReadDeadline(check, now), now);
}

void TCheckPool::SendPageRequest(TCheck &check, int64_t now) {
    check.Phase = TPhase::Page;
    check.Handshake.reset();
    check.Page = std::make_unique<TCheckPageStep>(FOptions.Request);
    std::string request = check.Page->Next();
    Send(check, std::move(request), ReadDeadline(check, now), now);
}

void TCheckPool::Send(TCheck &check, std::string message, int64_t deadlineNs, int64_t now) {
    check.Out = std::move(message);
    check.OutAt = 0;
    check.DeadlineNs = deadlineNs;
    if (!WritePending(check))
        TryFailed(check, false, now);
}

// A read may wait ReadTimeoutMs at most, and never past the try's deadline:
// bytes that keep coming, however slowly, do not move that deadline.
int64_t TCheckPool::ReadDeadline(const TCheck &check, int64_t now) const {
    return std::min(check.TryDeadlineNs, now + int64_t(FOptions.ReadTimeoutMs) * NsPerMs);
}

// Reads the answer of the step under way, never past it.
void TCheckPool::ReadReply(TCheck &check, int64_t now) {
    uint8_t buffer[TCheckPageStep::ReadSize];
    TCheckStep &step = check.Phase == TPhase::Page ? *check.Page : *check.Handshake;
    for (;;) {
        const size_t needed = step.BytesNeeded();
        if (needed == 0)
            return StepFailed(check, now);
        const ssize_t n = ::recv(check.Fd, buffer, std::min(needed, sizeof buffer), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0)
            return StepFailed(check, now); // broken
        // 0 bytes: the peer closed.
        const TCheckStep::TState state = step.Feed(buffer, size_t(n));
        check.DeadlineNs = ReadDeadline(check, now);
        if (state == TCheckStep::TState::Failed)
            return StepFailed(check, now); // a refusal, an answer that cannot be read, a close
        if (state == TCheckStep::TState::Answered)
            return StepAnswered(check, now);
    }
}

void TCheckPool::StepAnswered(TCheck &check, int64_t now) {
    if (check.Phase != TPhase::Page)
        return NextStep(check, now);
    const auto ms = uint32_t(std::max<int64_t>((now - check.TryStartNs) / NsPerMs, 0));
    TryEnded(check, true, ms, now);
}

// The step under way ended without its answer (or with a failure status, or
// at its deadline).
void TCheckPool::StepFailed(TCheck &check, int64_t now) {
    if (check.Phase == TPhase::Page)
        return TryEnded(check, check.Page->HeaderSeen(), 0, now);
    TryFailed(check, false, now);
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
    const bool whole = check.Page && check.Page->Whole();
    if (check.Job.Type != TProxyType::ptUnknown) {
        const bool ok = whole && check.Page->HasBody();
        return Finish(check, check.Job.Type, ok, ok ? durationMs : 0);
    }
    if (headerSeen)
        return Finish(check, check.TryType, true, whole ? durationMs : 0);
    TryFailed(check, false, now);
}

void TCheckPool::Finish(TCheck &check, TProxyType type, bool ok, uint32_t durationMs) {
    CloseSocket(check);
    if (check.Phase == TPhase::Resolving)
        FLookups->Cancel(check.Key);
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
        case TPhase::Page:
            StepFailed(check, now);
            break;
        }
    }
}

void TCheckPool::TakeResolved(int64_t now) {
    for (auto &[key, address] : FLookups->TakeAnswers()) {
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
        StartHandshake(*check, now);
    }
}

void TCheckPool::Flush(bool last) {
    std::vector<TCheckResult> group;
    group.swap(FGroup);
    if (FOnGroup)
        FOnGroup(std::move(group), last);
}
