#include "engine/wire/SocksRequestParser.h"

#include "engine/wire/Decoder.h"

#include <arpa/inet.h>
#include <cstring>

namespace {

uint16_t BigEndian16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

std::string DottedIPv4(const uint8_t *p) {
    return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
           std::to_string(p[3]);
}

std::string IPv6Text(const uint8_t *p) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, p, text, sizeof text);
    return text;
}

} // namespace

static_assert(CWireDecoder<TSocksRequestParser>);

size_t TSocksRequestParser::BytesNeeded() const {
    switch (FStep) {
    case TStep::Done:
        return 0;
    case TStep::S4UserId:
    case TStep::S4Host:
        return 1;
    default:
        return FWant - FCollect.size();
    }
}

void TSocksRequestParser::Fail(const std::string &error, int replyCode) {
    FError = error;
    FFailureReply = replyCode;
    FStatus = TStatus::Failed;
    FStep = TStep::Done;
}

void TSocksRequestParser::Expect(TStep step, size_t size) {
    FStep = step;
    FWant = size;
    FCollect.clear();
}

size_t TSocksRequestParser::Feed(const uint8_t *p, size_t size) {
    size_t used = 0;
    if (FStatus == TStatus::GreetingDone)
        FStatus = TStatus::NeedMore;
    while (used < size && FStatus == TStatus::NeedMore) {
        if (FStep == TStep::S4UserId || FStep == TStep::S4Host) {
            // A 0-terminated field: take bytes up to and including the 0.
            const uint8_t *end =
                static_cast<const uint8_t *>(std::memchr(p + used, 0, size - used));
            const size_t take = end ? static_cast<size_t>(end - (p + used)) : size - used;
            if (FCollect.size() + take > MaxZeroTerminated) {
                // Read up to the limit, as a byte-wise reader would have: the
                // byte past it is the failing one.
                used += MaxZeroTerminated - FCollect.size();
                Fail(FStep == TStep::S4UserId ? "SOCKS4 user ID too long"
                                              : "SOCKS4a host name too long",
                     91);
                return used;
            }
            FCollect.insert(FCollect.end(), p + used, p + used + take);
            used += take;
            if (!end)
                return used;
            ++used; // the 0 byte
            StepComplete();
            continue;
        }
        const size_t take = std::min(FWant - FCollect.size(), size - used);
        FCollect.insert(FCollect.end(), p + used, p + used + take);
        used += take;
        if (FCollect.size() == FWant) {
            StepComplete();
            // A failure is found on the last byte of its step; that byte was
            // read, as a byte-wise reader would have read it.
        }
    }
    return used;
}

void TSocksRequestParser::StepComplete() {
    const uint8_t *b = FCollect.data();
    switch (FStep) {
    case TStep::Version:
        VersionRead(b[0]);
        break;
    case TStep::S4Fixed:
        Socks4FixedRead(b);
        break;
    case TStep::S4UserId:
        Socks4UserIdRead();
        break;
    case TStep::S4Host:
        FRequest.Host.assign(FCollect.begin(), FCollect.end());
        RequestRead();
        break;
    case TStep::S5MethodCount:
        if (b[0] == 0)
            GreetingRead();
        else
            Expect(TStep::S5Methods, b[0]);
        break;
    case TStep::S5Methods:
        FRequest.Methods.assign(FCollect.begin(), FCollect.end());
        GreetingRead();
        break;
    case TStep::S5Header:
        Socks5HeaderRead(b);
        break;
    case TStep::S5NameLength:
        Expect(TStep::S5Address, static_cast<size_t>(b[0]) + 2);
        break;
    case TStep::S5Address:
        Socks5AddressRead(b);
        break;
    case TStep::Done:
        break;
    }
}

void TSocksRequestParser::VersionRead(uint8_t version) {
    FRequest.Version = version;
    if (version == 4)
        Expect(TStep::S4Fixed, 7);
    else if (version == 5)
        Expect(TStep::S5MethodCount, 1);
    else
        Fail("Wrong SOCKS-version", -1);
}

void TSocksRequestParser::Socks4FixedRead(const uint8_t *b) {
    FRequest.Command = b[0];
    FRequest.Port = BigEndian16(b + 1);
    FRequest.AddressType = TSocksAddressType::atIPv4;
    FRequest.Host = DottedIPv4(b + 3);
    // 0.0.0.x with x not 0 announces a SOCKS 4a host name after the user ID.
    if (b[3] == 0 && b[4] == 0 && b[5] == 0 && b[6] != 0)
        FRequest.AddressType = TSocksAddressType::atDomainName;
    Expect(TStep::S4UserId, 0);
}

void TSocksRequestParser::Socks4UserIdRead() {
    FRequest.UserId.assign(FCollect.begin(), FCollect.end());
    if (FRequest.AddressType == TSocksAddressType::atDomainName)
        Expect(TStep::S4Host, 0);
    else
        RequestRead();
}

void TSocksRequestParser::GreetingRead() {
    Expect(TStep::S5Header, 4);
    FStatus = TStatus::GreetingDone;
}

void TSocksRequestParser::Socks5HeaderRead(const uint8_t *b) {
    // b[0] (version) and b[2] (reserved) are not examined.
    FRequest.Command = b[1];
    switch (b[3]) {
    case 1:
        FRequest.AddressType = TSocksAddressType::atIPv4;
        Expect(TStep::S5Address, 4 + 2);
        break;
    case 3:
        FRequest.AddressType = TSocksAddressType::atDomainName;
        Expect(TStep::S5NameLength, 1);
        break;
    case 4:
        FRequest.AddressType = TSocksAddressType::atIPv6;
        Expect(TStep::S5Address, 16 + 2);
        break;
    default:
        Fail("Wrong SOCKS5-ATYP", 8);
        break;
    }
}

void TSocksRequestParser::Socks5AddressRead(const uint8_t *b) {
    const size_t addressSize = FWant - 2;
    if (FRequest.AddressType == TSocksAddressType::atIPv4) {
        FRequest.Host = DottedIPv4(b);
    } else if (FRequest.AddressType == TSocksAddressType::atIPv6) {
        FRequest.Host = IPv6Text(b);
    } else if (std::memchr(b, 0, addressSize) != nullptr) {
        // A name with a 0 byte in it would be cut short on its way to the
        // resolver and reach some other host.
        Fail("Invalid host name", 1);
        return;
    } else {
        FRequest.Host.assign(b, b + addressSize);
    }
    FRequest.Port = BigEndian16(b + addressSize);
    RequestRead();
}

void TSocksRequestParser::RequestRead() {
    FStep = TStep::Done;
    FStatus = TStatus::RequestDone;
}
