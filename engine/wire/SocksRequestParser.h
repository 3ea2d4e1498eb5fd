#pragma once
// Incremental reader of what a SOCKS client sends before its tunnel: the
// SOCKS 4 / 4a request, or the SOCKS 5 greeting followed by the SOCKS 5
// request. No I/O: a decoder as engine/wire/Decoder.h describes it, whose
// message is the request. The caller feeds whatever bytes arrived, in pieces
// of any size, and acts on the status (send the greeting answer, serve the
// request, or end the connection with the error).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Address types of a request, as SOCKS 5 numbers them. A SOCKS 4 request
// carries atIPv4, a SOCKS 4a request atDomainName.
enum class TSocksAddressType : uint8_t { atIPv4 = 1, atDomainName = 3, atIPv6 = 4 };

struct TSocksRequest {
    uint8_t Version = 0; // 4 or 5
    uint8_t Command = 0; // 1 CONNECT, 2 BIND, 3 UDP ASSOCIATE (SOCKS 5)
    TSocksAddressType AddressType = TSocksAddressType::atIPv4;
    std::string Host; // dotted IPv4, IPv6 text or a host name
    uint16_t Port = 0;
    std::string UserId;           // SOCKS 4 user ID (without its 0 byte)
    std::vector<uint8_t> Methods; // SOCKS 5 authentication methods offered
};

class TSocksRequestParser {
public:
    enum class TStatus {
        NeedMore,     // feed more bytes (at least BytesNeeded())
        GreetingDone, // SOCKS 5 greeting read: answer it, then feed on
        RequestDone,  // the request is complete: Request() holds it
        Failed,       // Error() tells why; FailureReplyCode() what to answer
    };

    // Longest SOCKS 4 user ID or SOCKS 4a host name taken (without the 0 byte).
    static constexpr size_t MaxZeroTerminated = 1024;

    // Consumes bytes up to the end of the greeting or of the request (or up
    // to the failing byte) and returns how many it took; bytes after the
    // request belong to the tunnel and are left to the caller. Feeding after
    // RequestDone or Failed takes nothing.
    size_t Feed(const uint8_t *data, size_t size);

    TStatus Status() const { return FStatus; }
    // Bytes still needed before the status can change (1 inside a
    // 0-terminated field, whose length is not known in advance); 0 when done.
    size_t BytesNeeded() const;
    // RequestDone or Failed.
    bool Done() const { return FStep == TStep::Done; }
    const TSocksRequest &Request() const { return FRequest; }
    // "Wrong SOCKS-version", "Wrong SOCKS5-ATYP", ...
    const std::string &Error() const { return FError; }
    // The reply code to send for a failure, or -1 when none is sent
    // (an unknown version gets no reply at all).
    int FailureReplyCode() const { return FFailureReply; }

private:
    enum class TStep {
        Version,
        S4Fixed,  // command, port, address: 7 bytes
        S4UserId, // up to a 0 byte
        S4Host,   // SOCKS 4a host name, up to a 0 byte
        S5MethodCount,
        S5Methods,
        S5Header,     // version, command, reserved, address type
        S5NameLength, // address type 3: one length byte
        S5Address,    // address (and, for names, the name) plus the port
        Done,
    };

    void Fail(const std::string &error, int replyCode);
    // Moves to `step`, collecting `size` bytes for it.
    void Expect(TStep step, size_t size);
    // The step's bytes are collected: acts on them, one function per step.
    void StepComplete();
    void VersionRead(uint8_t version);
    void Socks4FixedRead(const uint8_t *b);
    void Socks4UserIdRead();
    void GreetingRead();
    void Socks5HeaderRead(const uint8_t *b);
    void Socks5AddressRead(const uint8_t *b);
    void RequestRead();

    TStatus FStatus = TStatus::NeedMore;
    TStep FStep = TStep::Version;
    size_t FWant = 1;              // bytes the current fixed-size step collects
    std::vector<uint8_t> FCollect; // bytes of the current step so far
    TSocksRequest FRequest;
    std::string FError;
    int FFailureReply = -1;
};
