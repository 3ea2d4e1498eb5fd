// Inputs the fuzz targets of the download's reply reading and of the bulk
// intake found (fuzz/corpus keeps them too).

#include "check/BulkIntake.h"
#include "engine/wire/HttpReplyDecoder.h"
#include "platform/Error.h"

#include <QString>
#include <cstring>
#include <gtest/gtest.h>

// A status code below 100 is no HTTP status: the reply is refused instead of
// being taken as a complete reply without a body.
TEST(FuzzFindings, StatusCodeBelow100IsRefused) {
    for (const char *line :
         {"HTTP/1.1 050 Continue\r\n\r\n", "HTTP/1.1 000 X\r\n\r\n", "HTTP/1.0 099\r\n\r\n"}) {
        THttpReplyDecoder d;
        d.Feed(reinterpret_cast<const uint8_t *>(line), std::strlen(line));
        EXPECT_EQ(d.Error(), "Invalid HTTP reply.") << line;
        // Refused, not a complete reply: no headers to go by.
        EXPECT_FALSE(d.HeadersComplete()) << line;
    }
    THttpReplyDecoder ok;
    const std::string interim =
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    ok.Feed(reinterpret_cast<const uint8_t *>(interim.data()), interim.size());
    EXPECT_TRUE(ok.Done());
    EXPECT_EQ(ok.Error(), "");
    EXPECT_EQ(ok.StatusCode(), 200);
}

// A pasted port text with a 0 character in it is quoted whole in the message,
// not cut off at the 0.
TEST(FuzzFindings, BadPortTextWithZeroCharacterIsQuotedWhole) {
    const QString portText = QStringLiteral("1") + QChar(u'\x03') + QChar(u'\0') + "08.0*1:10808";
    try {
        TBulkIntake::Parse(QStringLiteral("10.0.0.1:") + portText + QStringLiteral("\r\nm\n"));
        FAIL() << "the bad port text was accepted";
    } catch (const EVelmoraError &e) {
        EXPECT_EQ(e.Message(), TBulkIntake::InvalidIntegerMessage(portText));
        EXPECT_TRUE(e.Message().endsWith(QStringLiteral("' is not a valid integer value")));
    }
    // The std::string form keeps its 0 characters as well.
    const EVelmoraError fromBytes(std::string("a\0b", 3));
    EXPECT_EQ(fromBytes.Message().size(), 3);
}
