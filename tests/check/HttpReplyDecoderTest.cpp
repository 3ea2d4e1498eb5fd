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
