// Hop wire messages: encoders give the exact bytes; decoders take exactly
// their message, whether it arrives whole, byte by byte or run together with
// the tunnel data that follows it.

#include "engine/wire/HopTarget.h"
#include "engine/wire/HttpConnectReply.h"
#include "engine/wire/HttpConnectRequest.h"
#include "engine/wire/Socks4Reply.h"
#include "engine/wire/Socks4Request.h"
#include "engine/wire/Socks5MethodReply.h"
#include "engine/wire/Socks5Reply.h"
#include "engine/wire/Socks5Request.h"
#include "platform/Error.h"
#include "tests/support/ServerTestSupport.h"

#include <gtest/gtest.h>

namespace {

using VelmoraTest::Bytes;

// Feeds the whole input at once; returns how much the decoder took.
template <class TDecoder> size_t FeedAll(TDecoder &d, const std::string &input) {
    return d.Feed(reinterpret_cast<const uint8_t *>(input.data()), input.size());
}

// Feeds one byte at a time, as long as the decoder asks for more; returns
// how many bytes it took.
template <class TDecoder> size_t FeedBytewise(TDecoder &d, const std::string &input) {
    size_t used = 0;
    while (d.BytesNeeded() > 0 && used < input.size()) {
        EXPECT_EQ(d.Feed(reinterpret_cast<const uint8_t *>(input.data()) + used, 1), 1u);
        ++used;
    }
    return used;
}

TEST(HopWire, Socks4RequestBytes) {
    EXPECT_EQ(TSocks4Request::Encode(80, {192, 0, 2, 10}, ""),
              Bytes({4, 1, 0, 80, 192, 0, 2, 10, 0}));
    EXPECT_EQ(TSocks4Request::Encode(0x1F90, {127, 0, 0, 1}, "bob"),
              Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 'b', 'o', 'b', 0}));
    EXPECT_EQ(TSocks4Request::EncodeWithName(443, "ab.c", ""),
              Bytes({4, 1, 1, 0xBB, 0, 0, 0, 1, 0, 'a', 'b', '.', 'c', 0}));
}

TEST(HopWire, Socks4ReplyLooksOnlyAtTheCodeByte) {
    const std::pair<int, const char *> cases[] = {
        {90, ""},
        {91, "Request rejected or failed."},
        {92, "Request rejected because SOCKS server cannot connect."},
        {93, "Request rejected because the client program and identd report different user-ids."},
        {94, "Unknown socks error."},
        {0, "Unknown socks error."},
    };
    for (const auto &[code, message] : cases) {
        TSocks4Reply whole, split;
        // Arbitrary first byte and address; two tunnel bytes run on behind.
        const std::string reply = Bytes({0xFF, code, 1, 2, 3, 4, 5, 6, 'T', 'U'});
        EXPECT_EQ(FeedAll(whole, reply), 8u);
        EXPECT_EQ(FeedBytewise(split, reply), 8u);
        EXPECT_TRUE(whole.Done());
        EXPECT_EQ(whole.Error(), message) << code;
        EXPECT_EQ(split.Error(), message) << code;
    }
}

TEST(HopWire, Socks5ConnectRequestByAddressKind) {
    EXPECT_EQ(TSocks5Request::EncodeGreeting(0), Bytes({5, 1, 0}));
    EXPECT_EQ(TSocks5Request::EncodeConnect(THopTarget::Parse("10.1.2.3"), 8080),
              Bytes({5, 1, 0, 1, 10, 1, 2, 3, 0x1F, 0x90}));
    EXPECT_EQ(TSocks5Request::EncodeConnect(THopTarget::Parse("example.org"), 80),
              Bytes({5, 1, 0, 3, 11}) + "example.org" + Bytes({0, 80}));
    const std::string v6 = TSocks5Request::EncodeConnect(THopTarget::Parse("[2001:db8::1]"), 443);
    EXPECT_EQ(v6, Bytes({5, 1, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0,
                         0, 0, 0, 0, 0,    0,    0,    0,    1, 1, 0xBB}));
    // The longest name the length byte can carry goes out whole.
    const std::string longest(255, 'a');
    const std::string req = TSocks5Request::EncodeConnect(THopTarget::Parse(longest), 1);
    ASSERT_EQ(req.size(), 5u + 255 + 2);
    EXPECT_EQ(uint8_t(req[4]), 255);
    EXPECT_EQ(req.substr(5, 255), longest);
}

TEST(HopWire, TargetNamesThatCannotGoOnTheWireAreRefused) {
    EXPECT_THROW(THopTarget::Parse(std::string(256, 'a')), EVelmoraError);
    EXPECT_THROW(THopTarget::Parse("caf\xc3\xa9.example"), EVelmoraError);
    EXPECT_THROW(THopTarget::Parse("evil.example:80 HTTP/1.0\r\nX: y"), EVelmoraError);
    EXPECT_THROW(THopTarget::Parse(""), EVelmoraError);
    EXPECT_THROW(THopTarget::Parse(std::string("a\0b", 3)), EVelmoraError);
    EXPECT_EQ(THopTarget::Parse("::1").Kind, THopTarget::TKind::IPv6);
    EXPECT_EQ(THopTarget::Parse("[::1]").Text, "::1");
    EXPECT_EQ(THopTarget::Parse("1.2.3.4").Kind, THopTarget::TKind::IPv4);
    EXPECT_EQ(THopTarget::Parse("1.2.3.4.5").Kind, THopTarget::TKind::Name);
}

TEST(HopWire, Socks5MethodReplyChecksTheSecondByte) {
    TSocks5MethodReply ok(0, "Invalid socks authentication method.");
    EXPECT_EQ(FeedAll(ok, Bytes({9, 0, 5})), 2u); // first byte ignored, third not taken
    EXPECT_TRUE(ok.Done());
    EXPECT_EQ(ok.Error(), "");
    TSocks5MethodReply refused(0, "Invalid socks authentication method.");
    FeedBytewise(refused, Bytes({5, 255}));
    EXPECT_EQ(refused.Error(), "Invalid socks authentication method.");
}

TEST(HopWire, Socks5ReplyLengthFollowsTheAddressType) {
    struct Case {
        std::string reply;
        size_t length;
    };
    std::string name10 = Bytes({5, 0, 0, 3, 10}) + "abcdefghij" + Bytes({0, 80});
    const Case cases[] = {
        {Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x04, 0x38}), 10},
        {Bytes({5, 0, 0, 4}) + std::string(16, '\x01') + Bytes({0, 1}), 22},
        {name10, 5 + 12},
        {Bytes({5, 0, 0, 3, 0, 0, 80}), 7},             // an empty bound name
        {Bytes({0x42, 0, 0, 1, 1, 2, 3, 4, 0, 0}), 10}, // the version byte may be anything
    };
    for (const Case &c : cases) {
        const std::string input = c.reply + "TUNNEL";
        TSocks5Reply whole, split;
        EXPECT_EQ(FeedAll(whole, input), c.length);
        EXPECT_EQ(FeedBytewise(split, input), c.length);
        EXPECT_TRUE(whole.Done() && split.Done());
        EXPECT_EQ(whole.Error(), "");
        EXPECT_EQ(split.Length(), c.length);
    }
}

TEST(HopWire, Socks5ReplyFailuresEndAfterFiveBytes) {
    const char *messages[] = {"",
                              "General SOCKS server failure.",
                              "Connection not allowed by ruleset.",
                              "Network unreachable.",
                              "Host unreachable.",
                              "Connection refused.",
                              "TTL expired.",
                              "Command not supported.",
                              "Address type not supported.",
                              "Unknown socks error."};
    for (int code = 1; code <= 9; ++code) {
        TSocks5Reply r;
        EXPECT_EQ(FeedAll(r, Bytes({5, code, 0, 1, 10, 0, 0, 1, 0, 80})), 5u);
        EXPECT_TRUE(r.Done());
        EXPECT_EQ(r.Error(), messages[code]) << code;
    }
    TSocks5Reply unknownType;
    EXPECT_EQ(FeedBytewise(unknownType, Bytes({5, 0, 0, 9, 1, 2, 3, 4, 5, 6})), 5u);
    EXPECT_EQ(unknownType.Error(), "Address type not supported.");
}

TEST(HopWire, HttpConnectRequestLine) {
    EXPECT_EQ(THttpConnectRequest::Encode(THopTarget::Parse("example.org"), 443),
              "CONNECT example.org:443 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(THttpConnectRequest::Encode(THopTarget::Parse("2001:db8::1"), 443),
              "CONNECT [2001:db8::1]:443 HTTP/1.0\r\n\r\n");
}

// Decodes `input` both whole and byte by byte; both must agree.
struct HttpOutcome {
    size_t used;
    std::string error;
    int code;
};
HttpOutcome DecodeHttp(const std::string &input) {
    THttpConnectReply whole, split;
    const size_t usedWhole = FeedAll(whole, input);
    const size_t usedSplit = FeedBytewise(split, input);
    EXPECT_EQ(usedWhole, usedSplit);
    EXPECT_EQ(whole.Error(), split.Error());
    EXPECT_EQ(whole.Done(), split.Done());
    return {whole.Done() ? usedWhole : std::string::npos, whole.Error(), whole.StatusCode()};
}

// `reply` followed by `rest`: the reply is taken whole, with `error`, and
// nothing of the rest.
void ExpectReplyBefore(const std::string &reply, const std::string &rest,
                       const std::string &error) {
    const HttpOutcome o = DecodeHttp(reply + rest);
    EXPECT_EQ(o.used, reply.size());
    EXPECT_EQ(o.error, error);
}

TEST(HopWire, HttpReplyEndsAtTheBlankLine) {
    const std::string head = "HTTP/1.0 200 Connection established\r\n"
                             "Proxy-agent: test\r\n"
                             "Via: x\r\n\r\n";
    ExpectReplyBefore(head, "tunnel bytes\r\n\r\n", "");

    // Bare LF line ends work as well.
    HttpOutcome o = DecodeHttp("HTTP/1.1 200 OK\nA: b\n\nXYZ");
    EXPECT_EQ(o.used, std::string("HTTP/1.1 200 OK\nA: b\n\n").size());

    // An empty status line: established, nothing more belongs to the reply.
    o = DecodeHttp("\r\nHTTP/1.0 500 not read\r\n\r\n");
    EXPECT_EQ(o.used, 2u);
    EXPECT_EQ(o.error, "");
}

TEST(HopWire, HttpStatusWordRules) {
    HttpOutcome o = DecodeHttp("HTTP/1.0 407 Proxy Authentication Required\r\n\r\n");
    EXPECT_EQ(o.code, 407);
    EXPECT_EQ(o.error, "407 Proxy Authentication Required");
    // A second word that is not a number counts as 200.
    EXPECT_EQ(DecodeHttp("HTTP/1.0 OK fine\r\n\r\n").error, "");
    EXPECT_EQ(DecodeHttp("HTTP/1.0 20x\r\n\r\n").error, "");
    EXPECT_EQ(DecodeHttp("HTTP/1.0\r\n\r\n").error, "");
    EXPECT_EQ(DecodeHttp("HTTP/1.0 403\r\n\r\n").error, "403");
    EXPECT_EQ(DecodeHttp("HTTP/1.0 201 Created\r\n\r\n").error, "201 Created");
}

TEST(HopWire, HttpContentLengthBodyIsTakenAndDiscarded) {
    const std::string reply = "HTTP/1.0 403 Forbidden\r\n"
                              "content-length:  12 \r\n\r\n"
                              "twelve bytes";
    ExpectReplyBefore(reply, "NEXT", "403 Forbidden");

    // Before the body has arrived the decoder is not done yet.
    THttpConnectReply partial;
    FeedAll(partial, "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nab");
    EXPECT_FALSE(partial.Done());
    EXPECT_EQ(partial.BytesNeeded(), 3u);

    // Zero, negative or non-numeric lengths announce no body.
    EXPECT_EQ(DecodeHttp("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\nX").used, 38u);
    EXPECT_EQ(DecodeHttp("HTTP/1.0 200 OK\r\nContent-Length: -4\r\n\r\nX").used, 39u);
    EXPECT_EQ(DecodeHttp("HTTP/1.0 200 OK\r\nContent-Length: ab\r\n\r\nX").used, 39u);
}

TEST(HopWire, HttpLineLengthLimit) {
    const size_t max = THttpLineReader::MaxLineLength;
    // A header line of exactly the limit is fine, with or without the CR.
    const std::string atLimit = "X-Long: " + std::string(max - 8, 'a');
    EXPECT_EQ(DecodeHttp("HTTP/1.0 200 OK\r\n" + atLimit + "\r\n\r\n").error, "");
    EXPECT_EQ(DecodeHttp("HTTP/1.0 200 OK\n" + atLimit + "\n\n").error, "");
    // One character more fails, in the status line or a header.
    EXPECT_EQ(DecodeHttp("HTTP/1.0 200 " + std::string(max - 12, 'b') + "\r\n\r\n").error,
              "Max line length exceeded.");
    EXPECT_EQ(DecodeHttp("HTTP/1.0 200 OK\r\n" + atLimit + "a\r\n\r\n").error,
              "Max line length exceeded.");
    // An endless line fails without waiting for its end.
    THttpConnectReply endless;
    FeedAll(endless, "HTTP/1.0 200 OK\r\n" + std::string(max + 2, 'c'));
    EXPECT_TRUE(endless.Done());
    EXPECT_EQ(endless.Error(), "Max line length exceeded.");
}

} // namespace
