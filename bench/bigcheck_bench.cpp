// A check of ten thousand proxies of unknown type by the real program
// (`velmora check --all` as a child process): 9,000 dead ones (addresses
// 127.1.x.y whose SYNs a listener that never accepts drops) and 1,000 live
// SOCKS 5, SOCKS 4 and HTTP stubs that answer the page themselves, "Time-Out"
// 5 s. Measures the batch's wall time, the child's peak resident set, and the
// writes of Proxies.cds during the batch (inotify); then reads the store back
// and checks every row. Prints one result line of key=value pairs.
// With HOSTILE, that many hostile SOCKS 5 stubs are mixed in, half sending
// their page a byte every 2 s, half streaming a body without end (both count
// as a SOCKS 5 found, the page's header came); a batch still running after
// 120 s is killed and reported with held=1.
// Not a test. Usage: bigcheck_bench VELMORA [DEAD LIVE [TIMEOUT_S [HOSTILE]]]
#include "platform/FdLimit.h"
#include "store/dmProxyData.h"
#include "tests/support/ProxyStubs.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

using namespace VelmoraTest;

namespace {

double Seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Counts the writes of one file in a folder (a close after writing, or a
// rename onto its name), with the time of each.
class TWriteWatch {
public:
    TWriteWatch(const std::string &folder, std::string name) : FName(std::move(name)) {
        FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ::inotify_add_watch(FFd, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
        FThread = std::thread([this] { Loop(); });
    }
    ~TWriteWatch() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        ::close(FFd);
    }
    // The times of the writes seen so far (stops the watch).
    std::vector<double> Writes() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        return FWrites;
    }

private:
    void Loop() {
        alignas(inotify_event) char buffer[64 * 1024];
        while (!FStop) {
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(FFd, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (event->len > 0 && FName == event->name)
                    FWrites.push_back(Seconds());
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }

    std::string FName;
    int FFd = -1;
    std::atomic<bool> FStop{false};
    std::vector<double> FWrites;
    std::thread FThread;
};

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bigcheck_bench VELMORA [DEAD LIVE [TIMEOUT_S [HOSTILE]]]\n");
        return 2;
    }
    const std::string velmora = argv[1];
    const int deadCount = argc > 3 ? std::atoi(argv[2]) : 9000;
    const int liveCount = argc > 3 ? std::atoi(argv[3]) : 1000;
    const int timeoutS = argc > 4 ? std::atoi(argv[4]) : 5;
    const int hostileCount = argc > 5 ? std::atoi(argv[5]) : 0;
    RaiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    QTemporaryDir tmp;
    if (!tmp.isValid())
        return 2;
    const QString home = tmp.path();
    QDir().mkpath(home + "/config");
    QDir().mkpath(home + "/run");
    ::chmod((home + "/run").toLocal8Bit().constData(), 0700);
    qputenv("XDG_DATA_HOME", home.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home + "/config").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (home + "/run").toLocal8Bit());
    qputenv("VELMORA_CHECK_URL", "http://127.0.0.1:9/"); // the stubs answer any page

    TProxyStubs stubs;
    TBlackHole dead;
    using K = TProxyStubs::TKind;
    const K liveKinds[] = {K::Socks5, K::Socks4, K::Http};
    const TProxyType liveTypes[] = {TProxyType::ptSOCKS5, TProxyType::ptSOCKS4, TProxyType::ptHTTP};
    std::map<int32_t, TProxyType> expected; // ptUnknown: a dead one
    QString folder;
    try {
        TdmProxyData store;
        store.LoadData();
        folder = store.DataFolder();
        TdmProxyData::TBatch hold(store);
        store.SetTimeout(timeoutS);
        const auto add = [&](const std::string &address, uint16_t port, TProxyType expect) {
            store.AddProxy(QString::fromStdString(address), port, TProxyType::ptUnknown);
            TDataTable &t = store.cdsProxies();
            t.Last();
            expected[t.FieldByName("UID").AsInteger()] = expect;
        };
        // Live and dead ones mixed, as an imported list would have them.
        const int total = deadCount + liveCount + hostileCount;
        int d = 0, l = 0, h = 0;
        for (int i = 0; i < total; ++i) {
            if (h < hostileCount && ((d >= deadCount && l >= liveCount) ||
                                     int64_t(i) * hostileCount >= int64_t(h) * total)) {
                add("127.0.0.1", stubs.Port(h++ % 2 ? K::Trickle : K::Endless),
                    TProxyType::ptSOCKS5);
                continue;
            }
            const bool live =
                l < liveCount && (d >= deadCount || int64_t(i) * liveCount >= int64_t(l) * total);
            if (live) {
                add("127.0.0.1", stubs.Port(liveKinds[l % 3]), liveTypes[l % 3]);
                ++l;
            } else {
                add(TBlackHole::Address(d++), dead.Port(), TProxyType::ptUnknown);
            }
        }
        store.SaveData();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "seeding failed: %s\n", e.what());
        return 2;
    }

    TWriteWatch watch(folder.toStdString(), "Proxies.cds");
    const std::string out = (home + "/check.out").toStdString();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char *const childArgs[] = {const_cast<char *>(velmora.c_str()), const_cast<char *>("check"),
                               const_cast<char *>("--all"), nullptr};
    pid_t pid = -1;
    const double t0 = Seconds();
    if (::posix_spawn(&pid, velmora.c_str(), &actions, nullptr, childArgs, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", velmora.c_str());
        return 2;
    }
    int status = 0;
    rusage usage{};
    bool held = false;
    while (::wait4(pid, &status, WNOHANG, &usage) == 0) {
        if (Seconds() - t0 > 120 && !held) {
            held = true; // a batch the hostile proxies hold: ended here
            ::kill(pid, SIGKILL);
        }
        ::usleep(20000);
    }
    const double t1 = Seconds();
    const std::vector<double> writes = watch.Writes();
    const double wall = t1 - t0;

    // Writes per second: over the whole batch, and the most in any one
    // second of it (counted from the start).
    std::map<int, int> perSecond;
    for (const double t : writes)
        ++perSecond[int(t - t0)];
    int maxInASecond = 0;
    for (const auto &[second, count] : perSecond)
        maxInASecond = std::max(maxInASecond, count);

    int liveOk = 0, liveType = 0, deadTimeOut = 0, missing = 0;
    try {
        TdmProxyData reread;
        reread.LoadData();
        for (const auto &[uid, type] : expected) {
            TProxData rec;
            if (!reread.GetProxyRecord(uid, &rec)) {
                ++missing;
                continue;
            }
            if (type == TProxyType::ptUnknown) {
                deadTimeOut += rec.FStatus == TProxyStatus::psUnavailable &&
                               rec.FProxyType == TProxyType::ptUnknown;
            } else {
                liveOk += rec.FStatus == TProxyStatus::psAvailable;
                liveType += rec.FProxyType == type;
            }
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "reading the store back failed: %s\n", e.what());
        return 2;
    }
    const int liveAll = liveCount + hostileCount;
    const bool exact =
        liveOk == liveAll && liveType == liveAll && deadTimeOut == deadCount && missing == 0;
    std::printf("proxies=%d dead=%d live=%d timeout_s=%d exit=%d wall_s=%.2f live_ok=%d "
                "live_type_right=%d dead_timeout=%d peak_rss_mb=%.1f writes=%zu "
                "writes_per_s=%.2f max_writes_in_a_second=%d pages=%d all_right=%d hostile=%d "
                "held=%d\n",
                deadCount + liveCount + hostileCount, deadCount, liveCount, timeoutS,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, wall, liveOk, liveType, deadTimeOut,
                usage.ru_maxrss / 1024.0, writes.size(), writes.size() / wall, maxInASecond,
                stubs.Pages(), exact ? 1 : 0, hostileCount, held ? 1 : 0);
    return exact && !held && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
