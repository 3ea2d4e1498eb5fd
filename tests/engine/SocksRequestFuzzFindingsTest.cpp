// Inputs the fuzz target of the SOCKS request reader found (fuzz/corpus keeps
// them too).

#include "engine/wire/SocksRequestParser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The parser takes bytes; the tests write them as text.
const uint8_t *AsBytes(const char *text) {
    return reinterpret_cast<const uint8_t *>(text);
}

} // namespace

// An over-long SOCKS 4 user ID stops the reading at the same byte whether the
// ID arrives whole or byte by byte: the bytes up to the limit are taken, the
// byte past it is the failing one.
TEST(SocksRequestFuzzFindings, OverlongUserIdStopsAtTheLimitHoweverFed) {
    std::string wire("\x04\x01\x00\x50\x7f\x00\x00\x01", 8);
    wire.append(TSocksRequestParser::MaxZeroTerminated + 50, 'u');
    wire.push_back('\0');

    TSocksRequestParser whole;
    const size_t wholeUsed = whole.Feed(AsBytes(wire.data()), wire.size());

    TSocksRequestParser bytewise;
    size_t bytewiseUsed = 0;
    for (size_t i = 0; i < wire.size(); ++i) {
        const size_t took = bytewise.Feed(AsBytes(wire.data() + i), 1);
        bytewiseUsed += took;
        if (took == 0)
            break;
    }

    ASSERT_EQ(whole.Status(), TSocksRequestParser::TStatus::Failed);
    ASSERT_EQ(bytewise.Status(), TSocksRequestParser::TStatus::Failed);
    EXPECT_EQ(whole.Error(), "SOCKS4 user ID too long");
    EXPECT_EQ(whole.FailureReplyCode(), 91);
    EXPECT_EQ(wholeUsed, 8 + TSocksRequestParser::MaxZeroTerminated);
    EXPECT_EQ(bytewiseUsed, wholeUsed);

    // The same for a SOCKS 4a host name.
    std::string wire4a("\x04\x01\x00\x50\x00\x00\x00\x01id\0", 11);
    wire4a.append(TSocksRequestParser::MaxZeroTerminated + 1, 'h');
    TSocksRequestParser host;
    EXPECT_EQ(host.Feed(AsBytes(wire4a.data()), wire4a.size()),
              11 + TSocksRequestParser::MaxZeroTerminated);
    EXPECT_EQ(host.Error(), "SOCKS4a host name too long");
}
