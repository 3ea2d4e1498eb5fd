// The reply decoder fed whole, byte by byte, and with replies that break the
// rules; and the request the checks send.

#include "engine/wire/HttpReplyDecoder.h"
#include "check/TestPage.h"
#include "engine/wire/HttpGetRequest.h"
#include "platform/Error.h"

#include <gtest/gtest.h>

namespace {

size_t Feed(THttpReplyDecoder &d, std::string_view text) {
    return d.Feed(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

// Feeds the text in pieces of `step` bytes (0: all at once), then the end of
// the stream when `end` is set.
THttpReplyDecoder Decode(const std::string &text, size_t step = 0, bool end = true) {
    THttpReplyDecoder d;
    if (step == 0) {
        Feed(d, text);
    } else {
        for (size_t i = 0; i < text.size() && !d.Done(); i += step)
            Feed(d, std::string_view(text).substr(i, step));
    }
    if (end && !d.Done())
        d.FeedEnd();
    return d;
}

// Why the decoder refuses the text, fed whole and followed by the end of the
// stream; empty when it does not.
std::string Refusal(const std::string &text) {
    const THttpReplyDecoder d = Decode(text);
    EXPECT_EQ(d.Done(), true) << text;
    return d.Error();
}

} // namespace

TEST(HttpReplyDecoder, BodyFramingsGiveTheSameResultInAnyPieces) {
    const std::string lengthReply =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\n127.0.0.1";
    const std::string chunkedReply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                     "4;name=x\r\n127.\r\n5\r\n0.0.1\r\n0\r\nTrailer: y\r\n\r\n";
    const std::string toEndReply = "HTTP/1.0 200 OK\nServer: tiny\n\n127.0.0.1";
    for (size_t step : {0, 1, 2, 7}) {
        SCOPED_TRACE(step);
        for (const std::string *reply : {&lengthReply, &chunkedReply, &toEndReply}) {
            const THttpReplyDecoder d = Decode(*reply, step);
            EXPECT_TRUE(d.Done());
            EXPECT_EQ(d.Error(), "");
            EXPECT_EQ(d.StatusCode(), 200);
            EXPECT_TRUE(d.IsSuccess());
            EXPECT_EQ(d.Body(), "127.0.0.1");
        }
    }
    // A body that runs to the end of the stream is done only at its end.
    THttpReplyDecoder open;
    Feed(open, toEndReply);
    EXPECT_TRUE(open.HeadersComplete());
    EXPECT_FALSE(open.Done());
}

TEST(HttpReplyDecoder, HeadersAreAvailableBeforeTheBody) {
    THttpReplyDecoder d;
    Feed(d, "HTTP/1.1 404 Not Found\r\nLocation: /x\r\n   continued\r\nContent-Length: 10\r\n");
    EXPECT_FALSE(d.HeadersComplete());
    EXPECT_EQ(d.HeaderText(), "");
    Feed(d, "\r\nabc");
    EXPECT_TRUE(d.HeadersComplete());
    EXPECT_FALSE(d.Done());
    EXPECT_FALSE(d.IsSuccess());
    EXPECT_EQ(d.HeaderText(),
              "HTTP/1.1 404 Not Found\r\nLocation: /x continued\r\nContent-Length: 10\r\n");
    EXPECT_EQ(d.Header("location"), "/x continued");
    EXPECT_FALSE(d.Header("Server").has_value());
    // The stream ends in the body: the reply is incomplete.
    d.FeedEnd();
    EXPECT_TRUE(d.Done());
    EXPECT_EQ(d.Error(), "Connection Closed Gracefully.");
}

TEST(HttpReplyDecoder, RepliesWithoutBodyAndInterimReplies) {
    const THttpReplyDecoder noContent = Decode("HTTP/1.1 204 No Content\r\nX: 1\r\n\r\n", 0, false);
    EXPECT_TRUE(noContent.Done());
    EXPECT_EQ(noContent.Error(), "");
    EXPECT_EQ(noContent.Body(), "");
    const THttpReplyDecoder empty =
        Decode("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 0, false);
    EXPECT_TRUE(empty.Done());
    EXPECT_EQ(empty.Error(), "");
    EXPECT_TRUE(empty.IsSuccess());

    const THttpReplyDecoder interim =
        Decode("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 3);
    EXPECT_EQ(interim.StatusLine(), "HTTP/1.1 200 OK");
    EXPECT_EQ(interim.HeaderText(), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n");
    EXPECT_EQ(interim.Body(), "ok");

    // Bytes after a complete reply are not taken.
    THttpReplyDecoder d;
    const std::string two = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA";
    EXPECT_EQ(Feed(d, two), two.size() - 5);
    EXPECT_EQ(d.Body(), "ok");
}

TEST(HttpReplyDecoder, BrokenRepliesAreRefused) {
    EXPECT_EQ(Refusal("SSH-2.0-OpenSSH\r\n"), "Invalid HTTP reply.");
    EXPECT_EQ(Refusal("HTTP/1.1 2x0 OK\r\n\r\n"), "Invalid HTTP reply.");
    EXPECT_EQ(Refusal("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n"), "Invalid Content-Length.");
    EXPECT_EQ(Refusal("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n"),
              "Invalid Content-Length.");
    EXPECT_EQ(Refusal("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"),
              "Invalid chunk size.");
    EXPECT_EQ(Refusal("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n"),
              "Invalid chunk: data longer than its size.");
    EXPECT_EQ(Refusal("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999\r\n\r\n"),
              "Invalid Content-Length.");
    EXPECT_EQ(Refusal("HTTP/1.1 200 OK\r\nContent-Length: 4194305\r\n\r\n"),
              "Reply body too large.");
    EXPECT_EQ(Refusal("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFF\r\n"),
              "Reply body too large.");
    // A line that never ends is refused as soon as it is too long, fed in pieces.
    THttpReplyDecoder d;
    Feed(d, "HTTP/1.1 200 OK\r\nX-Long: ");
    const std::string piece(4096, 'a');
    for (int i = 0; i < 5; ++i)
        Feed(d, piece);
    EXPECT_TRUE(d.Done());
    EXPECT_EQ(d.Error(), "Max line length exceeded.");
    // A stream that ends before the headers do.
    EXPECT_EQ(Refusal("HTTP/1.1 200 OK\r\nServer: x\r\n"), "Connection Closed Gracefully.");
    EXPECT_EQ(Refusal(""), "Connection Closed Gracefully.");
}

// The limits a check reads a page with: 32 KiB of header, the body kept up to
// 64 KiB and the rest left unread. Every framing of a long body ends at the
// limit, fed whole or in pieces; the default decoder still refuses only past
// its 4 MiB.
TEST(HttpReplyDecoder, KeptBodyEndsAtItsLimitAndLongHeadersFail) {
    const THttpReplyDecoder::TLimits check{32 * 1024, 64 * 1024, true};
    const std::string big(100 * 1024, 'y');
    const std::string header = "HTTP/1.1 200 OK\r\n";
    struct TCase {
        const char *Name;
        std::string Reply;
        THttpReplyDecoder::TLimits Limits;
        std::string Error; // empty: done at the limit, the body cut
        size_t Taken;      // bytes the decoder takes when fed whole
    };
    const std::string chunkHead = header + "Transfer-Encoding: chunked\r\n\r\n19000\r\n";
    const std::string lengthHead = header + "Content-Length: 5000000\r\n\r\n";
    const std::string endHead = header + "\r\n";
    std::string hugeHeader = header; // four lines of 10,000 bytes: each one allowed
    for (int i = 0; i < 4; ++i)
        hugeHeader += "X: " + std::string(10000, 'h') + "\r\n";
    const TCase cases[] = {
        {"to the end", endHead + big, check, "", endHead.size() + 64 * 1024},
        {"length past the limit", lengthHead + big, check, "", lengthHead.size() + 64 * 1024},
        {"one big chunk", chunkHead + big, check, "", chunkHead.size() + 64 * 1024},
        {"header over its limit", hugeHeader + "\r\n", check, "Reply header too large.", 0},
        {"length past the default limit", lengthHead, {}, "Reply body too large.", 0},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        for (size_t step : {size_t(0), size_t(1000)}) {
            THttpReplyDecoder d(c.Limits);
            size_t taken = 0;
            const std::string_view text = c.Reply;
            for (size_t at = 0; at < text.size() && !d.Done(); at += step ? step : text.size())
                taken += Feed(d, text.substr(at, step ? step : text.size()));
            EXPECT_TRUE(d.Done());
            EXPECT_EQ(d.Error(), c.Error);
            if (!c.Error.empty())
                continue;
            EXPECT_TRUE(d.BodyCut());
            EXPECT_EQ(d.Body(), std::string(64 * 1024, 'y'));
            EXPECT_EQ(taken, c.Taken) << step;
        }
    }
    // Below the limits nothing changes: a small page is whole and not cut.
    THttpReplyDecoder small(check);
    Feed(small, header + "Content-Length: 3\r\n\r\nabc");
    EXPECT_TRUE(small.Done());
    EXPECT_FALSE(small.BodyCut());
    EXPECT_EQ(small.Body(), "abc");
    // The default decoder keeps a body far past the check's limit.
    EXPECT_EQ(Decode(endHead + big).Body(), big);
}

TEST(HttpGetRequest, RequestForTheRootWithTheCheckHeaders) {
    const THttpGetRequest plain = TTestPage::GetRequest(QStringLiteral("http://api.ipify.org"));
    EXPECT_EQ(plain.Host, "api.ipify.org");
    EXPECT_EQ(plain.Port, 80);
    EXPECT_EQ(plain.Encode(), "GET / HTTP/1.1\r\n"
                              "Host: api.ipify.org\r\n"
                              "Accept: text/html, */*\r\n"
                              "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
                              "Connection: close\r\n"
                              "\r\n");
    const THttpGetRequest local = TTestPage::GetRequest(QStringLiteral("http://127.0.0.1:8080/"));
    EXPECT_EQ(local.Port, 8080);
    EXPECT_EQ(local.Path, "/");
    EXPECT_NE(local.Encode().find("\r\nHost: 127.0.0.1:8080\r\n"), std::string::npos);
    const THttpGetRequest v6 = TTestPage::GetRequest(QStringLiteral("http://[::1]:81/a?b=1"));
    EXPECT_EQ(v6.Host, "::1");
    EXPECT_EQ(v6.Path, "/a?b=1");
    EXPECT_NE(v6.Encode().find("\r\nHost: [::1]:81\r\n"), std::string::npos);

    for (const char *bad :
         {"https://api.ipify.org/", "ftp://x/", "http:///", "not a url", "http://user:pw@host/"})
        EXPECT_THROW(TTestPage::GetRequest(QString::fromLatin1(bad)), EVelmoraError) << bad;
}
