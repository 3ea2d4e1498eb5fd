// The SOCKS server's request reading: the result does not depend on how the
// bytes are split, never takes bytes past the request, and a parsed request
// names exactly what the bytes said.

#include "engine/wire/SocksRequestParser.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>

#include <arpa/inet.h>
#include <cstring>
#include <string>

namespace {

struct TOutcome {
    TSocksRequestParser::TStatus Status;
    size_t Used = 0;
    size_t GreetingAt = 0; // bytes taken when the greeting completed, 0 if none
    TSocksRequest Request;
    std::string Error;
    int Reply = 0;
};

// Feeds `data` in pieces: 0 = all at once, 1 = one byte at a time, otherwise
// pieces of BytesNeeded() bytes (plus the next one), as the server reads.
TOutcome Run(const uint8_t *data, size_t size, int mode) {
    TSocksRequestParser parser;
    TOutcome out;
    while (out.Used < size) {
        size_t piece = size - out.Used;
        if (mode == 1)
            piece = 1;
        else if (mode == 2)
            piece = std::min(piece, parser.BytesNeeded());
        FUZZ_CHECK(piece > 0);
        const size_t took = parser.Feed(data + out.Used, piece);
        FUZZ_CHECK(took <= piece);
        out.Used += took;
        const auto st = parser.Status();
        if (st == TSocksRequestParser::TStatus::GreetingDone) {
            FUZZ_CHECK(out.GreetingAt == 0);
            out.GreetingAt = out.Used;
            continue;
        }
        if (st != TSocksRequestParser::TStatus::NeedMore)
            break;
        FUZZ_CHECK(took == piece); // still reading: everything offered was taken
        FUZZ_CHECK(parser.BytesNeeded() > 0 && !parser.Done());
    }
    out.Status = parser.Status();
    if (out.Status == TSocksRequestParser::TStatus::GreetingDone)
        out.Status = TSocksRequestParser::TStatus::NeedMore;
    if (out.Status == TSocksRequestParser::TStatus::RequestDone ||
        out.Status == TSocksRequestParser::TStatus::Failed) {
        FUZZ_CHECK(parser.BytesNeeded() == 0 && parser.Done());
        uint8_t more = 0;
        FUZZ_CHECK(parser.Feed(&more, 1) == 0);
    }
    out.Request = parser.Request();
    out.Error = parser.Error();
    out.Reply = parser.FailureReplyCode();
    FUZZ_CHECK((out.Status == TSocksRequestParser::TStatus::Failed) == !out.Error.empty());
    return out;
}

bool Same(const TOutcome &a, const TOutcome &b) {
    return a.Status == b.Status && a.Used == b.Used && a.GreetingAt == b.GreetingAt &&
           a.Error == b.Error && a.Reply == b.Reply && a.Request.Version == b.Request.Version &&
           a.Request.Command == b.Request.Command &&
           a.Request.AddressType == b.Request.AddressType && a.Request.Host == b.Request.Host &&
           a.Request.Port == b.Request.Port && a.Request.UserId == b.Request.UserId &&
           a.Request.Methods == b.Request.Methods;
}

std::string Dotted(const uint8_t *p) {
    return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
           std::to_string(p[3]);
}

// The request the bytes spell, checked field by field against the parse.
void CheckRequest(const uint8_t *d, size_t used, const TOutcome &o) {
    const TSocksRequest &r = o.Request;
    FUZZ_CHECK(r.Version == d[0]);
    if (r.Version == 4) {
        FUZZ_CHECK(used >= 9);
        FUZZ_CHECK(r.Command == d[1]);
        FUZZ_CHECK(r.Port == ((d[2] << 8) | d[3]));
        const size_t idEnd = 8 + r.UserId.size();
        FUZZ_CHECK(idEnd < used && d[idEnd] == 0);
        FUZZ_CHECK(r.UserId.empty() || std::memcmp(d + 8, r.UserId.data(), r.UserId.size()) == 0);
        FUZZ_CHECK(r.UserId.find('\0') == std::string::npos);
        const bool is4a = d[4] == 0 && d[5] == 0 && d[6] == 0 && d[7] != 0;
        if (is4a) {
            FUZZ_CHECK(r.AddressType == TSocksAddressType::atDomainName);
            FUZZ_CHECK(used == idEnd + 1 + r.Host.size() + 1);
            FUZZ_CHECK(r.Host.empty() ||
                       std::memcmp(d + idEnd + 1, r.Host.data(), r.Host.size()) == 0);
            FUZZ_CHECK(d[used - 1] == 0 && r.Host.find('\0') == std::string::npos);
        } else {
            FUZZ_CHECK(r.AddressType == TSocksAddressType::atIPv4);
            FUZZ_CHECK(r.Host == Dotted(d + 4));
            FUZZ_CHECK(used == idEnd + 1);
        }
        return;
    }
    FUZZ_CHECK(r.Version == 5);
    const size_t n = d[1];
    FUZZ_CHECK(r.Methods.size() == n && (n == 0 || std::memcmp(d + 2, r.Methods.data(), n) == 0));
    FUZZ_CHECK(o.GreetingAt == 2 + n);
    const uint8_t *q = d + 2 + n;
    FUZZ_CHECK(r.Command == q[1]);
    size_t addrEnd = 0;
    switch (q[3]) {
    case 1:
        FUZZ_CHECK(r.AddressType == TSocksAddressType::atIPv4 && r.Host == Dotted(q + 4));
        addrEnd = 4 + 4;
        break;
    case 3:
        FUZZ_CHECK(r.AddressType == TSocksAddressType::atDomainName);
        FUZZ_CHECK(r.Host.size() == q[4] &&
                   (q[4] == 0 || std::memcmp(q + 5, r.Host.data(), q[4]) == 0));
        FUZZ_CHECK(r.Host.find('\0') == std::string::npos);
        addrEnd = 5 + q[4];
        break;
    case 4: {
        FUZZ_CHECK(r.AddressType == TSocksAddressType::atIPv6);
        uint8_t back[16];
        FUZZ_CHECK(inet_pton(AF_INET6, r.Host.c_str(), back) == 1);
        FUZZ_CHECK(std::memcmp(back, q + 4, 16) == 0);
        addrEnd = 4 + 16;
        break;
    }
    default:
        FUZZ_CHECK(!"a request with an unknown address type was accepted");
    }
    FUZZ_CHECK(r.Port == ((q[addrEnd] << 8) | q[addrEnd + 1]));
    FUZZ_CHECK(used == 2 + n + addrEnd + 2);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const TOutcome whole = Run(data, size, 0);
    FUZZ_CHECK(Same(whole, Run(data, size, 1)));
    FUZZ_CHECK(Same(whole, Run(data, size, 2)));
    if (whole.Status == TSocksRequestParser::TStatus::RequestDone)
        CheckRequest(data, whole.Used, whole);
    if (whole.Status == TSocksRequestParser::TStatus::NeedMore)
        FUZZ_CHECK(whole.Used == size);
    if (whole.Status == TSocksRequestParser::TStatus::Failed && size > 0 && data[0] != 4 &&
        data[0] != 5)
        FUZZ_CHECK(whole.Reply == -1 && whole.Used == 1);
    return 0;
}
