// Check batches of thousands on the event-loop pool: stubs of every kind on
// loopback (live SOCKS 5, SOCKS 4 and HTTP, slow, silent, closing at once) and
// dead addresses whose SYNs are dropped; the per-try deadline, the end of a
// detection when the proxy cannot be reached at all, and Stop mid-batch.

#include "tests/support/CheckTestSupport.h"
#include "tests/support/ProxyStubs.h"
#include "tests/support/StoreSeed.h"

#include "check/ProxyChecker.h"
#include "platform/Clock.h"
#include "platform/FdLimit.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <map>
#include <sys/resource.h>

using namespace VelmoraTest;

namespace {

constexpr int BatchTimeoutMs = 120000;

struct TOutcome {
    std::map<int32_t, int> Reports; // by UID: how often it was reported
    std::map<int32_t, TProxData> Results;
    int Ends = 0;
    int Groups = 0;
    int Progress = 0;
    int64_t Ms = 0;
    size_t Peak = 0;
};

struct TRunOptions {
    int TimeoutMs = 1500;
    int ReadTimeoutMs = 1500;
    int MaxInFlight = TProxyChecker::MaxChecksInFlight;
};

TOutcome RunAll(TdmProxyData &store, const TRunOptions &options) {
    TOutcome outcome;
    auto list = std::make_unique<TProxyList>();
    store.GetAllProxyRecords(*list);
    auto *checker = new TProxyChecker(store);
    checker->FConnectTimeout = options.TimeoutMs;
    checker->FReadTimeout = options.ReadTimeoutMs;
    checker->FMaxInFlight = options.MaxInFlight;
    checker->OnProgress = [&](TProxData &, const QString &, int32_t) { ++outcome.Progress; };
    checker->OnCheckComplete = [&](TProxyChecker *, TProxData &data, TProxyStatus) {
        ++outcome.Reports[data.FUID];
        outcome.Results[data.FUID] = data;
    };
    checker->OnGroupDone = [&](TProxyChecker *sender) {
        ++outcome.Groups;
        outcome.Peak = sender->PeakInFlight();
    };
    checker->OnCheckEnd = [&](TProxyChecker *sender) {
        outcome.Peak = sender->PeakInFlight();
        ++outcome.Ends;
    };
    QElapsedTimer timer;
    timer.start();
    checker->Check(std::move(list));
    EXPECT_TRUE(PumpUntil([&] { return outcome.Ends > 0; }, BatchTimeoutMs));
    outcome.Ms = timer.elapsed();
    PumpUntil([] { return false; }, 50); // a second end would show here
    return outcome;
}

class CheckPool : public testing::Test {
protected:
    static void SetUpTestSuite() {
        RaiseDescriptorLimit();
        // A machine whose hard limit is small lets root raise it for this
        // test's process (the 2,000 in flight and the stubs' own ends).
        if (DescriptorLimit() < 8192) {
            const rlimit wanted{8192, 8192};
            ::setrlimit(RLIMIT_NOFILE, &wanted);
        }
    }
    void SetUp() override {
        FUrl = std::make_unique<TCheckURLOverride>(QStringLiteral("http://127.0.0.1:9/"));
        FHold.emplace(Store.Store()); // thousands of adds; the batch saves at its end
    }
    int32_t Add(const std::string &address, uint16_t port, TProxyType type) {
        Store.Store().AddProxy(QString::fromStdString(address), port, type);
        TDataTable &t = Store.Store().cdsProxies();
        t.Last();
        return t.FieldByName("UID").AsInteger();
    }
    // The rows are in: saved once, and from now on the batch saves as the program does.
    void Seeded() {
        Store.Store().SaveData();
        FHold.reset();
    }

    std::unique_ptr<TCheckURLOverride> FUrl; // the stubs answer for any page
    TTempStore Store;
    std::optional<TdmProxyData::TBatch> FHold;
};

} // namespace

TEST(CheckPoolBound, DescriptorLimitLeavesRoomForEverythingElse) {
    EXPECT_EQ(TProxyChecker::InFlightBound(20000), 20000u - TProxyChecker::ReservedDescriptors);
    EXPECT_EQ(TProxyChecker::InFlightBound(2048), 1024u);
    EXPECT_EQ(TProxyChecker::InFlightBound(1024), 512u); // the usual soft limit
    EXPECT_EQ(TProxyChecker::InFlightBound(1), 1u);
}

TEST_F(CheckPool, TwoThousandInFlightEveryRowOnceWithItsType) {
    ASSERT_GE(DescriptorLimit(), 6000u) << "needs ulimit -n of 6000 at least";
    TProxyStubs stubs(1000);
    TBlackHole dead;
    using K = TProxyStubs::TKind;
    struct TGroup {
        const char *Name;
        int Count;
        K Kind;            // ignored for the dead ones
        TProxyType Type;   // in the store before the check
        TProxyType Expect; // after it
        bool Ok;
        bool Dead = false;
        const char *Host = "127.0.0.1";
    };
    // 2,000 checks that take a second at least, and 600 quick ones among them.
    const TGroup groups[] = {
        {"dead, unknown", 1100, K::Silent, TProxyType::ptUnknown, TProxyType::ptUnknown, false,
         true},
        {"dead, SOCKS 5", 100, K::Silent, TProxyType::ptSOCKS5, TProxyType::ptSOCKS5, false, true},
        {"HTTP, unknown", 300, K::Http, TProxyType::ptUnknown, TProxyType::ptHTTP, true},
        {"slow SOCKS 5", 300, K::SlowSocks5, TProxyType::ptSOCKS5, TProxyType::ptSOCKS5, true},
        {"silent, unknown", 200, K::Silent, TProxyType::ptUnknown, TProxyType::ptUnknown, false},
        {"SOCKS 5, unknown", 200, K::Socks5, TProxyType::ptUnknown, TProxyType::ptSOCKS5, true},
        {"SOCKS 4, unknown", 150, K::Socks4, TProxyType::ptUnknown, TProxyType::ptSOCKS4, true},
        {"SOCKS 4, known", 50, K::Socks4, TProxyType::ptSOCKS4, TProxyType::ptSOCKS4, true},
        {"HTTP, known", 50, K::Http, TProxyType::ptHTTP, TProxyType::ptHTTP, true},
        {"SOCKS 4/5 by name", 50, K::Socks5, TProxyType::ptSOCKS45, TProxyType::ptSOCKS45, true,
         false, "localhost"},
        {"closes at once, unknown", 100, K::CloseAtOnce, TProxyType::ptUnknown,
         TProxyType::ptUnknown, false},
    };
    std::map<int32_t, const TGroup *> expected;
    int deadIndex = 0;
    for (const TGroup &g : groups)
        for (int i = 0; i < g.Count; ++i) {
            const int32_t uid = g.Dead ? Add(TBlackHole::Address(deadIndex++), dead.Port(), g.Type)
                                       : Add(g.Host, stubs.Port(g.Kind), g.Type);
            expected[uid] = &g;
        }
    Seeded();

    const TOutcome outcome = RunAll(Store.Store(), {1500, 1500, 2000});

    EXPECT_EQ(outcome.Ends, 1);
    EXPECT_EQ(outcome.Progress, 2600);
    EXPECT_EQ(outcome.Peak, 2000u); // the bound, reached and held
    EXPECT_GT(outcome.Groups, 1);
    EXPECT_LT(outcome.Groups, 2600); // results come in groups
    ASSERT_EQ(outcome.Reports.size(), expected.size());
    std::map<std::string, int> wrong;
    for (const auto &[uid, group] : expected) {
        const auto reported = outcome.Reports.find(uid);
        if (reported == outcome.Reports.end() || reported->second != 1) {
            ++wrong[std::string(group->Name) + ": not reported exactly once"];
            continue;
        }
        const TProxData row = Store.Row(uid);
        const TProxyStatus status =
            group->Ok ? TProxyStatus::psAvailable : TProxyStatus::psUnavailable;
        if (row.FStatus != status)
            ++wrong[std::string(group->Name) + ": status"];
        if (row.FProxyType != group->Expect)
            ++wrong[std::string(group->Name) + ": type"];
        if (!group->Ok && row.FSpeed != 0)
            ++wrong[std::string(group->Name) + ": speed"];
        if (group->Kind == K::SlowSocks5 && row.FSpeed < 1000)
            ++wrong[std::string(group->Name) + ": speed below the page's delay"];
    }
    for (const auto &[what, count] : wrong)
        ADD_FAILURE() << what << " (" << count << " rows)";
}

TEST_F(CheckPool, PerTryDeadlineBoundsTheHandshakeOfASilentPeer) {
    TProxyStubs stubs;
    using K = TProxyStubs::TKind;
    // The read time-out cannot end these: only the try's own deadline can.
    const int32_t http = Add("127.0.0.1", stubs.Port(K::Http), TProxyType::ptUnknown);
    const int32_t silent = Add("127.0.0.1", stubs.Port(K::Silent), TProxyType::ptSOCKS5);
    Seeded();

    const TOutcome outcome = RunAll(Store.Store(), {1000, 15000});

    // The HTTP stub waits for a line: silent on the SOCKS 5 greeting and the
    // SOCKS 4 request, each try ends at its deadline; the third one finds it.
    EXPECT_EQ(Store.Row(http).FProxyType, TProxyType::ptHTTP);
    EXPECT_EQ(Store.Row(http).FStatus, TProxyStatus::psAvailable);
    EXPECT_EQ(Store.Row(silent).FStatus, TProxyStatus::psUnavailable);
    EXPECT_GE(outcome.Ms, 1900);
    EXPECT_LT(outcome.Ms, 8000); // not the 15 s read time-out
}

TEST_F(CheckPool, DetectionEndsWhenTheProxyCannotBeReached) {
    TBlackHole dead;
    TProxyStubs stubs;
    using K = TProxyStubs::TKind;
    const int32_t dropped = Add(TBlackHole::Address(7), dead.Port(), TProxyType::ptUnknown);
    const int32_t refused = Add("127.0.0.1", FreeLoopbackPort(), TProxyType::ptUnknown);
    // A connection made but closed at once goes through all three tries.
    const int32_t closing = Add("127.0.0.1", stubs.Port(K::CloseAtOnce), TProxyType::ptUnknown);
    Seeded();
    const int acceptedBefore = stubs.Accepted();

    const TOutcome outcome = RunAll(Store.Store(), {1500, 1500});

    for (const int32_t uid : {dropped, refused, closing}) {
        SCOPED_TRACE(uid);
        EXPECT_EQ(Store.Row(uid).FStatus, TProxyStatus::psUnavailable);
        EXPECT_EQ(Store.Row(uid).FProxyType, TProxyType::ptUnknown);
        EXPECT_EQ(outcome.Reports.at(uid), 1);
    }
    EXPECT_EQ(stubs.Accepted() - acceptedBefore, 3);
    // One time-out for the dropped SYNs, not three.
    EXPECT_GE(outcome.Ms, 1400);
    EXPECT_LT(outcome.Ms, 2 * 1500);
}

TEST_F(CheckPool, StopMidBatchKeepsTheRowsNotReachedAndEndsOnce) {
    TBlackHole dead;
    TProxyStubs stubs;
    std::vector<int32_t> deadRows, liveRows;
    for (int i = 0; i < 300; ++i) {
        deadRows.push_back(SeedProxy(Store.Store(), dead.Port(), TProxyType::ptUnknown,
                                     TProxyStatus::psAvailable,
                                     QString::fromStdString(TBlackHole::Address(i)), 12));
    }
    for (int i = 0; i < 20; ++i)
        liveRows.push_back(
            Add("127.0.0.1", stubs.Port(TProxyStubs::TKind::Socks5), TProxyType::ptSOCKS5));
    Seeded();

    auto list = std::make_unique<TProxyList>();
    Store.Store().GetAllProxyRecords(*list);
    auto *checker = new TProxyChecker(Store.Store());
    checker->FConnectTimeout = 5000;
    int ends = 0, completions = 0, completionsAtStop = -1, endsRightAfterStop = -1;
    checker->OnCheckComplete = [&](TProxyChecker *, TProxData &, TProxyStatus) { ++completions; };
    checker->OnGroupDone = [&](TProxyChecker *sender) {
        if (sender->Stopped())
            return;
        // The live ones are in; the dead ones wait for their time-out.
        completionsAtStop = completions;
        sender->Stop();
        sender->Stop(); // twice changes nothing
        EXPECT_TRUE(sender->Stopped());
        endsRightAfterStop = ends;
    };
    checker->OnCheckEnd = [&](TProxyChecker *) { ++ends; };
    checker->Check(std::move(list));
    ASSERT_TRUE(PumpUntil([&] { return ends > 0; }, 10000));
    PumpUntil([] { return false; }, 200);

    EXPECT_EQ(endsRightAfterStop, 0); // never from inside Stop
    EXPECT_EQ(ends, 1);
    EXPECT_GT(completionsAtStop, 0);
    EXPECT_EQ(completions, completionsAtStop); // nothing recorded after Stop
    for (const int32_t uid : deadRows) {
        const TProxData row = Store.Row(uid);
        EXPECT_EQ(row.FStatus, TProxyStatus::psAvailable) << uid; // as before the batch
        EXPECT_EQ(row.FSpeed, 12.0) << uid;
    }
    // The file holds what was recorded.
    TdmProxyData reread(Store.Store().DataFolder());
    reread.LoadData();
    TProxData rec;
    int okLive = 0;
    for (const int32_t uid : liveRows)
        okLive +=
            reread.GetProxyRecord(uid, &rec) != nullptr && rec.FStatus == TProxyStatus::psAvailable;
    EXPECT_EQ(okLive, completionsAtStop);
}
