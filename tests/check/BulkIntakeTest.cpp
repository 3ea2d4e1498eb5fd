#include "check/BulkIntake.h"

#include "platform/Error.h"
#include "store/dmProxyData.h"
#include "tests/support/CheckTestSupport.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    const char *line;
    const char *address; // nullptr: the line fails
    int32_t port;
    const char *error;
};

TEST(BulkIntake, ExamplesOneLineEach) {
    const Row rows[] = {
        {"192.0.2.10:1080", "192.0.2.10", 1080, nullptr},
        {"192.0.2.10", "192.0.2.10", 0, nullptr},
        {"192.0.2.10:", "192.0.2.10:", 0, nullptr},
        {":1080", "", 1080, nullptr},
        {"192.0.2.10: 1080", "192.0.2.10", 1080, nullptr},
        {"192.0.2.10:1080 ", nullptr, 0, "'1080 ' is not a valid integer value"},
        {"192.0.2.10:80:1", nullptr, 0, "'80:1' is not a valid integer value"},
        {"   ", "   ", 0, nullptr},
        {"h:$1F", "h", 31, nullptr},
        {"h:0x10", "h", 16, nullptr},
        {"h:X10", "h", 16, nullptr},
        {"h:-5", "h", -5, nullptr},
        {"h:+70000", "h", 70000, nullptr},
        {"2001:db8::1", nullptr, 0, "'db8::1' is not a valid integer value"},
        {"h:  ", nullptr, 0, "'  ' is not a valid integer value"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        if (r.address) {
            const auto entries = TBulkIntake::Parse(QString::fromUtf8(r.line));
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].Address, QString::fromUtf8(r.address));
            EXPECT_EQ(entries[0].Port, r.port);
        } else {
            try {
                TBulkIntake::Parse(QString::fromUtf8(r.line));
                ADD_FAILURE() << "no error";
            } catch (const EVelmoraError &e) {
                EXPECT_EQ(e.Message(), QString::fromUtf8(r.error));
            }
        }
    }
}

TEST(BulkIntake, IntegerRules) {
    EXPECT_EQ(TBulkIntake::StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(TBulkIntake::StrToInt("-2147483648"), INT32_MIN);
    EXPECT_FALSE(TBulkIntake::StrToInt("2147483648"));
    EXPECT_EQ(TBulkIntake::StrToInt("$FFFFFFFF"), -1);
    EXPECT_FALSE(TBulkIntake::StrToInt("$100000000"));
    EXPECT_EQ(TBulkIntake::StrToInt("  42"), 42);
    EXPECT_FALSE(TBulkIntake::StrToInt(""));
    EXPECT_FALSE(TBulkIntake::StrToInt("-"));
    EXPECT_FALSE(TBulkIntake::StrToInt("0x"));
    EXPECT_FALSE(TBulkIntake::StrToInt("$"));
    EXPECT_FALSE(TBulkIntake::StrToInt("12a"));
    EXPECT_FALSE(TBulkIntake::StrToInt("\xd9\xa3")); // a non-ASCII digit
    EXPECT_EQ(TBulkIntake::StrToInt("0x7fffffff"), 2147483647);
}

TEST(BulkIntake, LinesBlanksAndFirstFailure) {
    const auto entries = TBulkIntake::Parse("a:1\n\nb\r\n\nc:2\n");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].Address, "a");
    EXPECT_EQ(entries[1].Address, "b");
    EXPECT_EQ(entries[1].Port, 0);
    EXPECT_EQ(entries[2].Port, 2);
    EXPECT_TRUE(TBulkIntake::Parse("").empty());
    // The message names the first bad line, not a later one.
    try {
        TBulkIntake::Parse("a:1\nb:x\nc:y\n");
        FAIL();
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(), "'x' is not a valid integer value");
    }
}

TEST(BulkIntake, TenThousandLines) {
    QString text;
    for (int i = 0; i < 10000; ++i)
        text += QStringLiteral("10.%1.%2.1:%3\n").arg(i / 256).arg(i % 256).arg(1000 + i);
    const auto entries = TBulkIntake::Parse(text);
    ASSERT_EQ(entries.size(), 10000u);
    EXPECT_EQ(entries[9999].Address, "10.39.15.1");
    EXPECT_EQ(entries[9999].Port, 10999);
}

TEST(BulkIntake, SchemesSetTheTypeAndUnknownOnesAddNothing) {
    const auto entries =
        TBulkIntake::Parse("socks4://192.0.2.1:1080\nSocks5://192.0.2.2:1081\nHTTP://"
                           "192.0.2.3:3128/\n192.0.2.4:8080\n");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].Type, TProxyType::ptSOCKS4);
    EXPECT_EQ(entries[0].Address, "192.0.2.1");
    EXPECT_EQ(entries[0].Port, 1080);
    EXPECT_EQ(entries[1].Type, TProxyType::ptSOCKS5);
    EXPECT_EQ(entries[2].Type, TProxyType::ptHTTP);
    EXPECT_EQ(entries[2].Port, 3128); // the browser's trailing slash is dropped
    EXPECT_EQ(entries[3].Type, TProxyType::ptUnknown);
    // "http:80" is an address and a port, not a scheme.
    EXPECT_EQ(TBulkIntake::Parse("http:80")[0].Address, "http");
    for (const char *bad : {"192.0.2.1:1\nhttps://192.0.2.5:443\n", "socks://192.0.2.5:1080"}) {
        SCOPED_TRACE(bad);
        try {
            TBulkIntake::Parse(QString::fromUtf8(bad));
            ADD_FAILURE() << "no error";
        } catch (const EVelmoraError &e) {
            EXPECT_TRUE(e.Message().endsWith("is not a proxy type this list takes "
                                             "(socks4://, socks5:// or http://)"))
                << e.Message().toStdString();
        }
    }
}

TEST(BulkIntake, DuplicatesAreCountedAndAddedOnce) {
    VelmoraTest::TTempStore store;
    store.Add(1080, TProxyType::ptSOCKS5, QStringLiteral("192.0.2.1"));
    store.Add(3128, TProxyType::ptHTTP, QStringLiteral("Proxy.Example"));
    const TIntakeResult result =
        TBulkIntake::Apply(store.Store(), "socks4://192.0.2.1:1080\n" // listed, whatever its type
                                          "proxy.example:3128\n"      // listed, in another case
                                          "192.0.2.1:1081\n"          // new: another port
                                          "http://192.0.2.9:8080\n"   // new
                                          "192.0.2.9:8080\n"          // repeated in the paste
                                          "192.0.2.1:1081\n");        // repeated in the paste
    EXPECT_EQ(result.Added, 2);
    EXPECT_EQ(result.AlreadyListed, 2);
    EXPECT_EQ(result.Repeated, 2);
    EXPECT_EQ(result.DuplicatesText(),
              "4 duplicate lines were not added: 2 already in the list, 2 repeated in the list "
              "given.");
    EXPECT_EQ(store.Store().cdsProxies().RecordCount(), 4);
    TProxData added;
    ASSERT_TRUE(store.Store().GetProxyRecord(4, &added));
    EXPECT_EQ(added.FProxyType, TProxyType::ptHTTP); // the first naming keeps its scheme

    // Nothing new: nothing added, nothing written.
    const int64_t saves = store.Store().SaveCount();
    const TIntakeResult again = TBulkIntake::Apply(store.Store(), "192.0.2.9:8080\n");
    EXPECT_EQ(again.Added, 0);
    EXPECT_EQ(again.DuplicatesText(), "1 duplicate line was not added: 1 already in the list.");
    EXPECT_EQ(store.Store().SaveCount(), saves);

    // A bad line anywhere still adds nothing, duplicates or not.
    EXPECT_THROW(TBulkIntake::Apply(store.Store(), "192.0.2.50:1\nftp://192.0.2.51:21\n"),
                 EVelmoraError);
    EXPECT_EQ(store.Store().cdsProxies().RecordCount(), 4);
}

} // namespace
