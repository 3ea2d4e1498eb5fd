// Every wire decoder keeps the contract of engine/wire/Decoder.h: read the way
// a socket reader reads it (never more than BytesNeeded() at a time), it takes
// exactly its message and leaves the bytes after it; fed everything at once it
// takes the same bytes; BytesNeeded() is 0 exactly when Done(); once done it
// takes nothing more.

#include "engine/wire/Decoder.h"
#include "engine/wire/HttpConnectReply.h"
#include "engine/wire/HttpLineReader.h"
#include "engine/wire/HttpReplyDecoder.h"
#include "engine/wire/Socks4Reply.h"
#include "engine/wire/Socks5MethodReply.h"
#include "engine/wire/Socks5Reply.h"
#include "engine/wire/SocksRequestParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace {

const std::string Tunnel = "TUNNEL DATA";

const uint8_t *AsBytes(const std::string &text) {
    return reinterpret_cast<const uint8_t *>(text.data());
}

// Reads `wire` BytesNeeded() at a time, as engine/hop/ReadReply.h does;
// returns how many bytes the decoder took.
template <CWireDecoder TDecoder> size_t ReadAsSocket(TDecoder &d, const std::string &wire) {
    size_t used = 0;
    while (const size_t needed = d.BytesNeeded()) {
        EXPECT_FALSE(d.Done());
        if (used == wire.size())
            break;
        const size_t offer = std::min(needed, wire.size() - used);
        EXPECT_EQ(d.Feed(AsBytes(wire) + used, offer), offer) << "at " << used;
        used += offer;
    }
    return used;
}

// Offers everything left until the decoder is done or takes nothing (a
// decoder may stop at a point where the caller acts, like the SOCKS 5
// greeting).
template <CWireDecoder TDecoder> size_t FeedWhole(TDecoder &d, const std::string &wire) {
    size_t used = 0;
    while (!d.Done() && used < wire.size()) {
        const size_t took = d.Feed(AsBytes(wire) + used, wire.size() - used);
        if (took == 0)
            break;
        used += took;
    }
    return used;
}

struct TCase {
    std::string Name;
    std::string Message; // the message, without what follows it
    std::string Error;   // expected Error()
};

// Checks one decoder type on its cases, each followed by tunnel data.
template <CWireDecoder TDecoder>
void CheckContract(const std::function<TDecoder()> &make, const std::vector<TCase> &cases) {
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string wire = c.Message + Tunnel;
        TDecoder read = make();
        EXPECT_EQ(ReadAsSocket(read, wire), c.Message.size());
        EXPECT_TRUE(read.Done());
        EXPECT_EQ(read.BytesNeeded(), 0u);
        EXPECT_EQ(read.Error(), c.Error);
        EXPECT_EQ(read.Feed(AsBytes(Tunnel), Tunnel.size()), 0u);

        TDecoder whole = make();
        EXPECT_EQ(FeedWhole(whole, wire), c.Message.size());
        EXPECT_TRUE(whole.Done());
        EXPECT_EQ(whole.Error(), c.Error);
    }
}

template <class TDecoder> std::function<TDecoder()> Plain() {
    return [] { return TDecoder(); };
}

} // namespace

TEST(WireDecoderContract, SocksRequestParser) {
    CheckContract(
        Plain<TSocksRequestParser>(),
        {{"socks 4", std::string("\x04\x01\x00\x50\x7f\x00\x00\x01u\x00", 10), ""},
         {"socks 4a", std::string("\x04\x01\x00\x50\x00\x00\x00\x01\x00h.io\x00", 14), ""},
         {"socks 5 name", std::string("\x05\x01\x00\x05\x01\x00\x03\x04h.io\x01\xbb", 14), ""},
         {"wrong version", "\x06", "Wrong SOCKS-version"},
         {"wrong address type", std::string("\x05\x01\x00\x05\x01\x00\x07", 7),
          "Wrong SOCKS5-ATYP"}});
}

TEST(WireDecoderContract, HopReplies) {
    CheckContract(Plain<TSocks4Reply>(),
                  {{"granted", std::string("\x00\x5a\x00\x50\x7f\x00\x00\x01", 8), ""},
                   {"refused", std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8),
                    "Request rejected or failed."}});
    CheckContract(std::function<TSocks5MethodReply()>(
                      [] { return TSocks5MethodReply(2, "Invalid socks authentication method."); }),
                  {{"selected", "\x05\x02", ""},
                   {"other", "\x05\xff", "Invalid socks authentication method."}});
    CheckContract(Plain<TSocks5Reply>(),
                  {{"ipv4", std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10), ""},
                   {"name", std::string("\x05\x00\x00\x03\x02hi\x00\x50", 9), ""},
                   {"refused", std::string("\x05\x05\x00\x01\x7f", 5), "Connection refused."}});
    CheckContract(Plain<THttpConnectReply>(),
                  {{"established", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", ""},
                   {"refused", "HTTP/1.0 403 Forbidden\r\n\r\n", "403 Forbidden"}});
}

TEST(WireDecoderContract, HttpReplyAndLines) {
    CheckContract(
        Plain<THttpReplyDecoder>(),
        {{"length", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", ""},
         {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
          ""},
         {"no body", "HTTP/1.1 204 No Content\r\n\r\n", ""},
         {"not http", "SSH-2.0-OpenSSH\r\n", "Invalid HTTP reply."}});
    CheckContract(Plain<THttpLineReader>(),
                  {{"line", "GET / HTTP/1.1\r\n", ""}, {"bare LF", "\n", ""}});
}
