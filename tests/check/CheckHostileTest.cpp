// Proxies that try to hold a check: one that sends its page a byte every 2 s
// and one that streams a body without end. Each try ends at its own deadline
// (connect, handshake and page together) whatever keeps arriving, only the
// start of a page is read, and a batch of a thousand such proxies ends within
// its time-outs in little memory; an honest page that is slow but within the
// time-out still passes.

#include "tests/support/ProxyStubs.h"

#include "check/CheckPool.h"
#include "check/TestPage.h"
#include "platform/FdLimit.h"

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <poll.h>

using namespace VelmoraTest;

namespace {

using K = TProxyStubs::TKind;
constexpr int TrickleMs = 2000;

struct TBatch {
    std::map<int32_t, TCheckResult> Results;
    int64_t Ms = 0;
};

// Runs one pool over the jobs until its last group; the per-read limit is
// left far above the time-out, so that only the try's deadline can end a try.
TBatch RunPool(std::vector<TCheckJob> jobs, int timeoutMs) {
    TCheckPool::TOptions options;
    options.Request = TTestPage::GetRequest(QStringLiteral("http://127.0.0.1:9/"));
    options.TimeoutMs = timeoutMs;
    options.ReadTimeoutMs = 60000;
    std::mutex mutex;
    std::condition_variable ended;
    bool last = false;
    TBatch batch;
    TCheckPool pool(options, [&](std::vector<TCheckResult> group, bool isLast) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const TCheckResult &result : group)
            batch.Results[result.Index] = result;
        last = last || isLast;
        ended.notify_all();
    });
    const auto start = std::chrono::steady_clock::now();
    pool.Start(std::move(jobs));
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(ended.wait_for(lock, std::chrono::seconds(60), [&] { return last; }));
    batch.Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count();
    return batch;
}

// A line of /proc/self/status in KiB ("VmRSS", "VmHWM").
int64_t StatusKiB(const std::string &name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name + ":", 0) == 0)
            return std::stoll(line.substr(name.size() + 1));
    return -1;
}

struct TCase {
    const char *Name;
    K Kind;
    TProxyType Type;
    bool Ok;
    TProxyType Found;
};

// Unknown type: the first try with a whole header block names the type.
const TCase Cases[] = {
    {"trickle, SOCKS 5", K::Trickle, TProxyType::ptSOCKS5, false, TProxyType::ptSOCKS5},
    {"trickle, unknown", K::Trickle, TProxyType::ptUnknown, true, TProxyType::ptSOCKS5},
    {"endless body, SOCKS 5", K::Endless, TProxyType::ptSOCKS5, true, TProxyType::ptSOCKS5},
    {"endless body, unknown", K::Endless, TProxyType::ptUnknown, true, TProxyType::ptSOCKS5},
    {"slow honest page", K::SlowSocks5, TProxyType::ptSOCKS5, true, TProxyType::ptSOCKS5},
};

} // namespace

TEST(CheckHostile, EachTryEndsAtItsDeadlineWhateverKeepsComing) {
    constexpr int TimeoutMs = 2500;
    TProxyStubs stubs(1500, TrickleMs); // the honest page comes after 1.5 s
    for (const TCase &c : Cases) {
        SCOPED_TRACE(c.Name);
        const int64_t trickled = stubs.Trickled();
        const TBatch batch = RunPool({{7, "127.0.0.1", stubs.Port(c.Kind), c.Type}}, TimeoutMs);
        ASSERT_EQ(batch.Results.count(7), 1u);
        const TCheckResult &result = batch.Results.at(7);
        EXPECT_EQ(result.Ok, c.Ok);
        EXPECT_EQ(result.Type, c.Found);
        EXPECT_LT(batch.Ms, TimeoutMs + 1500);
        if (c.Kind == K::Trickle) {
            EXPECT_GE(batch.Ms, TimeoutMs - 100);      // held to the deadline, not cut early
            EXPECT_GE(stubs.Trickled() - trickled, 1); // bytes came while it was held
        }
        if (c.Kind == K::SlowSocks5) {
            EXPECT_GE(result.DurationMs, 1400u);
        }
    }
    // Only the start of the endless body was read.
    EXPECT_GT(stubs.Streamed(), 64 * 1024);
}

// The negative control: read from a trickler by hand past the checks'
// time-out, and it still sends; a per-read limit that starts again with each
// byte would never have ended a check of it.
TEST(CheckHostile, TheTricklerKeepsSendingPastTheTimeOut) {
    TProxyStubs stubs(300, TrickleMs);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(stubs.Port(K::Trickle));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    const std::string hello("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x09", 13);
    ASSERT_EQ(::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL), ssize_t(hello.size()));
    const std::string get = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(::send(fd, get.data(), get.size(), MSG_NOSIGNAL), ssize_t(get.size()));
    const auto start = std::chrono::steady_clock::now();
    const auto since = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    std::string got;
    int64_t lastByteMs = 0;
    while (since() < 2 * TrickleMs + 700) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0) << "the trickler closed";
        got.append(buffer, size_t(n));
        lastByteMs = since();
    }
    ::close(fd);
    const size_t head = 12 + std::string(TProxyStubs::TrickleHeader).size(); // SOCKS 5 answers
    ASSERT_GE(got.size(), head + 2);
    EXPECT_EQ(got.substr(12, head - 12), TProxyStubs::TrickleHeader);
    EXPECT_GT(lastByteMs, 2500); // still sending past the 2.5 s the checks above allow
}

// 1,000 hostile proxies, tricklers and endless bodies mixed, with 100 honest
// ones: the batch ends within about one time-out (every check is a single
// try) and the process's resident set grows by far less than 200 MB.
TEST(CheckHostile, ThousandHostileProxiesEndWithinTheTimeOutInLittleMemory) {
    RaiseDescriptorLimit();
    ASSERT_GE(DescriptorLimit(), 4096u) << "needs ulimit -n of 4096 at least";
    constexpr int TimeoutMs = 2500;
    TProxyStubs stubs(300, TrickleMs);
    std::vector<TCheckJob> jobs;
    std::map<int32_t, K> kinds;
    for (int32_t i = 0; i < 1100; ++i) {
        const K kind = i % 11 == 10 ? K::Socks5 : i % 2 ? K::Trickle : K::Endless;
        jobs.push_back({i, "127.0.0.1", stubs.Port(kind), TProxyType::ptSOCKS5});
        kinds[i] = kind;
    }
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5"; // the peak (VmHWM) starts again from the resident set now
    }
    const int64_t before = StatusKiB("VmRSS");

    const TBatch batch = RunPool(std::move(jobs), TimeoutMs);

    const int64_t growthMiB = (StatusKiB("VmHWM") - before) / 1024;
    ASSERT_EQ(batch.Results.size(), 1100u);
    std::map<std::string, int> wrong;
    for (const auto &[index, result] : batch.Results) {
        const bool ok = kinds[index] != K::Trickle;
        if (result.Ok != ok)
            ++wrong[kinds[index] == K::Trickle ? "trickle" : "endless or honest"];
    }
    for (const auto &[what, count] : wrong)
        ADD_FAILURE() << what << ": " << count << " wrong results";
    EXPECT_LT(batch.Ms, 2 * TimeoutMs + 2000);
    EXPECT_LT(growthMiB, 200) << "resident set grew by " << growthMiB << " MiB";
    std::printf("[hostile batch] %lld ms, resident set +%lld MiB\n", (long long)batch.Ms,
                (long long)growthMiB);
}
