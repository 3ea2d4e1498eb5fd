#pragma once
// The checks of one batch of proxies, all on one worker thread: non-blocking
// sockets and one epoll loop, so that ten thousand checks in flight cost ten
// thousand sockets and a few hundred bytes each, not ten thousand threads.
//
// A check is one try, or for a proxy of unknown type up to three tries one
// after another (SOCKS 5, SOCKS 4, HTTP). A try connects to the proxy, makes
// the handshake for the test page's host and port the way the hop connectors
// of a chain make it (engine/hop: SOCKS 5 without authentication, SOCKS 4
// with an empty user ID and the page's address looked up here, HTTP CONNECT),
// then GETs the page and reads the reply.
//
//   - TimeoutMs bounds each try as a whole: connect, handshake and the page's
//     reply. A try ends at that deadline whatever arrives; a proxy that
//     trickles its reply a byte at a time or streams a body without end
//     cannot hold a check longer. Each read may also wait at most
//     ReadTimeoutMs (a shorter bound when set below TimeoutMs). There is no
//     longer limit for a slow page: the user's Time-Out is the whole try.
//   - Of the page's reply only the start is read (check/CheckPageStep.h: 32
//     KiB of header, 64 KiB of body), so that a check in flight holds a few
//     tens of KiB at most.
//   - Unknown type: the first try through which a whole header block came
//     back (any status) names the type. When a try cannot connect to the
//     proxy at all (refused, unreachable, timed out, or its name does not
//     resolve), no other protocol can do better on that address, and the
//     check ends there as "no type".
//   - Known type: "OK" only when a success status came with a non-empty body.
//
// A proxy's name (an address is used as it is) is looked up on a small worker
// thread of the pool, never on the loop's thread. Results are handed out in
// groups: whatever ended within about GroupMs, at most GroupSize at a time.
//
// This class keeps the loop, the deadlines and the results. Each handshake and
// the page's GET is a step of its own (TCheckStep, check/CheckStep.h, and the
// check/Check*Step files beside it); the look-ups are TCheckNameLookups
// (check/CheckNameLookups.h).
//
// Use: construct with the options and the group handler, Start(jobs) once;
// the handler runs on the pool's thread (it should only pass the group on,
// e.g. with TUiThread::Queue). Stop() or the destructor abandon the checks
// still running (their sockets are closed); no handler call follows them.

#include "engine/wire/HttpGetRequest.h"
#include "store/ProxyTypes.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class TCheckNameLookups;

struct TCheckJob {
    int32_t Index = 0; // the caller's number of the proxy, handed back in its result
    std::string Host;  // an IPv4 or IPv6 address (IPv6 possibly in brackets) or a name
    uint16_t Port = 0;
    TProxyType Type = TProxyType::ptUnknown;
};

struct TCheckResult {
    int32_t Index = 0;
    // Known type: the job's type. Unknown: the type found, or ptUnknown.
    TProxyType Type = TProxyType::ptUnknown;
    // Known type: the page came whole with a success status and a body.
    // Unknown: a type was found.
    bool Ok = false;
    // ms of the deciding try, from its connect to the end of the page; 0 when
    // the page did not come whole (or with a failure status).
    uint32_t DurationMs = 0;
};

class TCheckPool {
public:
    struct TOptions {
        THttpGetRequest Request; // the test page; an empty host fails every check at once
        int TimeoutMs = 10000;   // each try as a whole: connect, handshake, page
        int ReadTimeoutMs = 15000;
        size_t MaxInFlight = 10000; // checks (one socket each) at a time
        int GroupMs = 50;
        size_t GroupSize = 500;
    };
    // A group of results; `last` is true for the batch's last group (which
    // may be empty). Runs on the pool's thread.
    using TOnGroup = std::function<void(std::vector<TCheckResult> group, bool last)>;

    TCheckPool(TOptions options, TOnGroup onGroup);
    ~TCheckPool();
    TCheckPool(const TCheckPool &) = delete;
    TCheckPool &operator=(const TCheckPool &) = delete;

    // Starts the loop on the jobs; call once. Every job gets exactly one
    // result unless the pool is stopped first.
    void Start(std::vector<TCheckJob> jobs);
    // The same with jobs made on the pool's thread first (making 100,000 of
    // them takes milliseconds the caller's thread may not have); whatever
    // `makeJobs` reads must stay unchanged until the first result.
    void Start(std::function<std::vector<TCheckJob>()> makeJobs);
    // From any thread but the pool's own: ends the loop and waits for it.
    // No handler call follows. Name look-ups under way are left to end by
    // themselves (their answers are dropped).
    void Stop();

    // The most checks that were in flight at once (for tests and benchmarks).
    size_t PeakInFlight() const { return FPeakInFlight; }

    struct TCheck; // one proxy's check, internal

private:
    void Loop();
    void StartChecks(int64_t now);
    void StartTry(TCheck &check, int64_t now);
    void StartHandshake(TCheck &check, int64_t now);
    void HandleEvent(TCheck &check, uint32_t events, int64_t now);
    bool WritePending(TCheck &check);
    void NextStep(TCheck &check, int64_t now);
    void SendPageRequest(TCheck &check, int64_t now);
    void Send(TCheck &check, std::string message, int64_t deadlineNs, int64_t now);
    int64_t ReadDeadline(const TCheck &check, int64_t now) const;
    void ReadReply(TCheck &check, int64_t now);
    void StepAnswered(TCheck &check, int64_t now);
    void StepFailed(TCheck &check, int64_t now);
    void TryFailed(TCheck &check, bool connectFailed, int64_t now);
    void TryEnded(TCheck &check, bool headerSeen, uint32_t durationMs, int64_t now);
    void Finish(TCheck &check, TProxyType type, bool ok, uint32_t durationMs);
    void CloseSocket(TCheck &check);
    void Watch(TCheck &check, uint32_t events);
    void SweepDeadlines(int64_t now);
    void TakeResolved(int64_t now);
    void PageAddressKnown(int64_t now);
    void Flush(bool last);

    TOptions FOptions;
    TOnGroup FOnGroup;
    std::vector<TCheckJob> FJobs;
    size_t FNextJob = 0;
    size_t FDone = 0;
    size_t FLimit = 1;
    std::vector<TCheck *> FActive; // the checks in flight
    std::vector<TCheck *> FByKey;  // by job position; null before and after its check
    std::vector<TCheckResult> FGroup;
    int64_t FGroupSinceNs = 0;
    std::atomic<size_t> FPeakInFlight{0};

    // The page's host as SOCKS 4 sends it: its IPv4 address, looked up once.
    enum class TPageAddress { Unneeded, Unknown, Pending, Known, Failed } FPageState;
    std::array<uint8_t, 4> FPageAddress{};
    std::vector<std::pair<uint32_t, uint32_t>> FWaitingForPage; // key and serial of SOCKS 4 tries

    int FEpoll = -1;
    int FWake = -1; // eventfd: Stop, and names resolved
    std::atomic<bool> FStopping{false};
    // Shared with their worker threads, which may outlive the pool by one look-up.
    std::shared_ptr<TCheckNameLookups> FLookups;
    std::thread FThread;
};
