// The SOCKS request reader and the reply encoders, without sockets: every
// message fed whole, byte by byte, and run together with what follows it.

#include "engine/wire/SocksRequestParser.h"
#include "engine/wire/SocksReply.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// The parser takes bytes; the tests write them as text.
const uint8_t *AsBytes(const char *text) {
    return reinterpret_cast<const uint8_t *>(text);
}

using TStatus = TSocksRequestParser::TStatus;

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// Feeds `wire` in pieces of `piece` bytes, answering greetings as a server
// would; returns the bytes left over after the request (or the failure).
struct TRun {
    TSocksRequestParser Parser;
    int Greetings = 0;
    std::string Left;
};

TRun Feed(const std::string &wire, size_t piece) {
    TRun run;
    size_t pos = 0;
    while (pos < wire.size()) {
        const size_t size = std::min(piece, wire.size() - pos);
        const size_t used = run.Parser.Feed(AsBytes(wire.data() + pos), size);
        pos += used;
        const TStatus status = run.Parser.Status();
        if (status == TStatus::GreetingDone)
            ++run.Greetings;
        else if (status != TStatus::NeedMore)
            break;
        else if (used < size)
            ADD_FAILURE() << "bytes left while more are needed";
    }
    run.Left = wire.substr(pos);
    return run;
}

struct TCase {
    const char *Name;
    std::string Wire;
    uint8_t Version;
    uint8_t Command;
    TSocksAddressType Type;
    std::string Host;
    uint16_t Port;
    std::string UserId;
    int Greetings;
};

std::vector<TCase> Cases() {
    const std::string name12 = "abcdefghijkl";
    return {
        {"socks4", Bytes({4, 1, 0, 80, 192, 0, 2, 10}) + "bob" + std::string(1, '\0'), 4, 1,
         TSocksAddressType::atIPv4, "192.0.2.10", 80, "bob", 0},
        {"socks4 no user", Bytes({4, 2, 0x1f, 0x90, 10, 0, 0, 1, 0}), 4, 2,
         TSocksAddressType::atIPv4, "10.0.0.1", 8080, "", 0},
        {"socks4a",
         Bytes({4, 1, 1, 0xbb, 0, 0, 0, 7}) + "u" + std::string(1, '\0') + "example.org" +
             std::string(1, '\0'),
         4, 1, TSocksAddressType::atDomainName, "example.org", 443, "u", 0},
        {"socks4 0.0.0.0 is an address", Bytes({4, 1, 0, 80, 0, 0, 0, 0, 0}), 4, 1,
         TSocksAddressType::atIPv4, "0.0.0.0", 80, "", 0},
        {"socks5 ipv4", Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, 0, 80}), 5, 1,
         TSocksAddressType::atIPv4, "127.0.0.1", 80, "", 1},
        {"socks5 name of 12", Bytes({5, 2, 0, 2, 5, 1, 0, 3, 12}) + name12 + Bytes({0x01, 0xbb}), 5,
         1, TSocksAddressType::atDomainName, name12, 443, "", 1},
        {"socks5 ipv6", Bytes({5, 1, 0, 5, 2, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0,
                               0, 0, 0, 0, 0, 0, 0, 0,    0,    1,    0,    22}),
         5, 2, TSocksAddressType::atIPv6, "2001:db8::1", 22, "", 1},
        {"socks5 no methods", Bytes({5, 0, 5, 3, 0, 1, 1, 2, 3, 4, 0, 53}), 5, 3,
         TSocksAddressType::atIPv4, "1.2.3.4", 53, "", 1},
        {"socks5 only method 2", Bytes({5, 1, 2, 5, 1, 0, 1, 1, 1, 1, 1, 0xff, 0xff}), 5, 1,
         TSocksAddressType::atIPv4, "1.1.1.1", 65535, "", 1},
    };
}

void ExpectRequest(const TCase &c, const TRun &run, const std::string &what) {
    ASSERT_EQ(run.Parser.Status(), TStatus::RequestDone) << c.Name << " " << what;
    const TSocksRequest &r = run.Parser.Request();
    EXPECT_EQ(r.Version, c.Version) << c.Name;
    EXPECT_EQ(r.Command, c.Command) << c.Name;
    EXPECT_EQ(r.AddressType, c.Type) << c.Name;
    EXPECT_EQ(r.Host, c.Host) << c.Name;
    EXPECT_EQ(r.Port, c.Port) << c.Name;
    EXPECT_EQ(r.UserId, c.UserId) << c.Name;
    EXPECT_EQ(run.Greetings, c.Greetings) << c.Name << " " << what;
    EXPECT_EQ(run.Parser.BytesNeeded(), 0u);
}

} // namespace

TEST(SocksRequestParser, EveryRequestWholeAndByteByByte) {
    for (const TCase &c : Cases()) {
        ExpectRequest(c, Feed(c.Wire, c.Wire.size()), "whole");
        ExpectRequest(c, Feed(c.Wire, 1), "byte by byte");
        ExpectRequest(c, Feed(c.Wire, 3), "three at a time");
    }
}

TEST(SocksRequestParser, TunnelBytesAfterTheRequestAreLeftAlone) {
    const std::string tunnel = "GET / HTTP/1.0\r\n\r\n";
    for (const TCase &c : Cases()) {
        TRun whole = Feed(c.Wire + tunnel, c.Wire.size() + tunnel.size());
        ExpectRequest(c, whole, "run together");
        EXPECT_EQ(whole.Left, tunnel) << c.Name;
        TRun bytes = Feed(c.Wire + tunnel, 1);
        EXPECT_EQ(bytes.Left, tunnel) << c.Name;
    }
}

TEST(SocksRequestParser, NeededCountsDownFixedFields) {
    TSocksRequestParser p;
    EXPECT_EQ(p.BytesNeeded(), 1u);
    const std::string v5 = Bytes({5, 3, 0, 1, 2});
    p.Feed(AsBytes(v5.data()), 2); // version, method count 3
    EXPECT_EQ(p.BytesNeeded(), 3u);
    p.Feed(AsBytes(v5.data() + 2), 2);
    EXPECT_EQ(p.BytesNeeded(), 1u);
    p.Feed(AsBytes(v5.data() + 4), 1);
    EXPECT_EQ(p.Status(), TStatus::GreetingDone);
    EXPECT_EQ(p.BytesNeeded(), 4u); // version, command, reserved, type
    EXPECT_EQ(p.Request().Methods, (std::vector<uint8_t>{0, 1, 2}));
    const std::string header = Bytes({5, 1, 0, 3, 10});
    p.Feed(AsBytes(header.data()), 4);
    EXPECT_EQ(p.BytesNeeded(), 1u); // the length byte
    p.Feed(AsBytes(header.data() + 4), 1);
    EXPECT_EQ(p.BytesNeeded(), 12u); // 10 name bytes and the port
}

TEST(SocksRequestParser, FailuresAndTheirReplies) {
    struct TFail {
        std::string Wire;
        std::string Error;
        int Reply;
        size_t Consumed;
    } fails[] = {
        {Bytes({6, 1, 0}), "Wrong SOCKS-version", -1, 1},
        {Bytes({0}), "Wrong SOCKS-version", -1, 1},
        {Bytes({5, 1, 0, 5, 1, 0, 9, 1, 2}), "Wrong SOCKS5-ATYP", 8, 7},
        {Bytes({5, 1, 0, 5, 1, 0, 3, 3, 'a', 0, 'b', 0, 80}), "Invalid host name", 1, 13},
    };
    for (const TFail &f : fails) {
        for (size_t piece : {f.Wire.size(), size_t(1)}) {
            TRun run = Feed(f.Wire, piece);
            EXPECT_EQ(run.Parser.Status(), TStatus::Failed) << f.Error;
            EXPECT_EQ(run.Parser.Error(), f.Error);
            EXPECT_EQ(run.Parser.FailureReplyCode(), f.Reply) << f.Error;
            EXPECT_EQ(f.Wire.size() - run.Left.size(), f.Consumed) << f.Error;
            // Nothing more is taken after a failure.
            EXPECT_EQ(run.Parser.Feed(AsBytes("x"), 1), 0u);
        }
    }
}

TEST(SocksRequestParser, EndlessUserIdIsRefused) {
    TSocksRequestParser p;
    const std::string head = Bytes({4, 1, 0, 80, 1, 2, 3, 4});
    p.Feed(AsBytes(head.data()), head.size());
    const std::string junk(TSocksRequestParser::MaxZeroTerminated + 10, 'u');
    p.Feed(AsBytes(junk.data()), junk.size());
    EXPECT_EQ(p.Status(), TStatus::Failed);
    EXPECT_EQ(p.FailureReplyCode(), 91);
}

TEST(SocksRequestParser, RandomInputNeverOverrunsOrHangs) {
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string wire(random() % 64, '\0');
        for (char &ch : wire)
            ch = static_cast<char>(random() % 8 == 0 ? 0 : random());
        if (!wire.empty() && random() % 2)
            wire[0] = static_cast<char>(4 + random() % 2);
        TSocksRequestParser p;
        size_t pos = 0;
        while (pos < wire.size()) {
            const size_t piece = std::min<size_t>(1 + random() % 7, wire.size() - pos);
            const size_t used = p.Feed(AsBytes(wire.data() + pos), piece);
            ASSERT_LE(used, piece);
            pos += used;
            if (p.Status() == TStatus::RequestDone || p.Status() == TStatus::Failed)
                break;
            if (used == 0 && p.Status() == TStatus::NeedMore)
                FAIL() << "no progress";
        }
    }
}

TEST(SocksReply, Socks4RepliesAreEightBytes) {
    EXPECT_EQ(TSocksReply::Socks4(90, "127.0.0.1", 0x1234),
              Bytes({0, 90, 0x12, 0x34, 127, 0, 0, 1}));
    EXPECT_EQ(TSocksReply::Socks4(91), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
    // An IPv6 address cannot be written: zeros.
    EXPECT_EQ(TSocksReply::Socks4(90, "::1", 80), Bytes({0, 90, 0, 80, 0, 0, 0, 0}));
}

TEST(SocksReply, Socks5RepliesFollowTheRequestIPVersion) {
    EXPECT_EQ(TSocksReply::Socks5(0, TIdIPVersion::Id_IPv4, "10.1.2.3", 1080),
              Bytes({5, 0, 0, 1, 10, 1, 2, 3, 0x04, 0x38}));
    EXPECT_EQ(TSocksReply::Socks5(7, TIdIPVersion::Id_IPv4), Bytes({5, 7, 0, 1, 0, 0, 0, 0, 0, 0}));
    std::string v6 = Bytes({5, 0, 0, 4}) + std::string(15, '\0') + Bytes({1, 0, 80});
    EXPECT_EQ(TSocksReply::Socks5(0, TIdIPVersion::Id_IPv6, "::1", 80), v6);
    // An IPv4 address in an IPv6 reply is written as zeros.
    std::string zeros = Bytes({5, 0, 0, 4}) + std::string(16, '\0') + Bytes({0, 80});
    EXPECT_EQ(TSocksReply::Socks5(0, TIdIPVersion::Id_IPv6, "127.0.0.1", 80), zeros);
    EXPECT_EQ(TSocksReply::Socks5NoAuthentication(), Bytes({5, 0}));
    EXPECT_EQ(TSocksReply::ForVersion(4, 93, 7, TIdIPVersion::Id_IPv4), TSocksReply::Socks4(93));
    EXPECT_EQ(TSocksReply::ForVersion(5, 93, 7, TIdIPVersion::Id_IPv4),
              TSocksReply::Socks5(7, TIdIPVersion::Id_IPv4));
}
