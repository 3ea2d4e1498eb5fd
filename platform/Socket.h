#pragma once
// Thin RAII layer over POSIX TCP sockets. Blocking I/O; every call that can
// fail throws ESocketError with a message fit for the activity log.

#include "platform/Error.h"

#include <cstddef>
#include <cstdint>
#include <string>

class ESocketError : public EVelmoraError {
public:
    ESocketError(const std::string &message, int code = 0) : EVelmoraError(message), Code(code) {}
    int Code; // errno of the failing call, 0 when not a system error
};

class TSocket {
public:
    enum class Family { IPv4, IPv6 };

    TSocket() = default;
    explicit TSocket(int fd) : FFd(fd) {}
    ~TSocket();
    TSocket(TSocket &&other) noexcept;
    TSocket &operator=(TSocket &&other) noexcept;
    TSocket(const TSocket &) = delete;
    TSocket &operator=(const TSocket &) = delete;

    int Fd() const { return FFd; }
    bool Valid() const { return FFd >= 0; }
    int Release();
    void Close();

    // Opens a TCP connection to an IPv4 or IPv6 address literal. timeoutMs 0
    // means the platform's own time-out. On time-out throws "Connect timed out.".
    static TSocket Connect(const std::string &address, uint16_t port, int timeoutMs);
    // An unconnected TCP socket of the family, to be connected with ConnectTo.
    // Made apart from the connect so that its owner can hand it to whoever may
    // have to wake it (ShutdownBoth from another thread ends the connect).
    static TSocket Create(Family family);
    // Connects a socket made by Create to an IPv4 or IPv6 address literal of
    // its family; time-out and errors as Connect. A connect ended by
    // ShutdownBoth throws.
    void ConnectTo(const std::string &address, uint16_t port, int timeoutMs);
    // A listening socket on all interfaces of the family (loopbackOnly: on
    // 127.0.0.1 or ::1 only; IPv6 sockets are v6-only), SO_REUSEADDR set.
    // Throws when the port is taken.
    static TSocket Listen(Family family, uint16_t port, int backlog = 128,
                          bool loopbackOnly = false);
    // Blocks for the next client. Returns an invalid socket once the listener
    // has been shut down (ShutdownBoth from another thread) or closed.
    TSocket Accept();

    // Reads exactly n bytes; throws on error or when the stream ends first.
    void ReadExact(void *buffer, size_t n);
    // Reads what is there (at least one byte); 0 at end of stream.
    size_t ReadSome(void *buffer, size_t n);
    // Writes all n bytes; throws on error.
    void WriteAll(const void *buffer, size_t n);
    void WriteAll(const std::string &data) { WriteAll(data.data(), data.size()); }
    // Waits up to timeoutMs (-1: no limit) for readable data or end of stream.
    bool WaitReadable(int timeoutMs);
    // Limits each later read of this (blocking) socket to timeoutMs of waiting
    // (0 or less: no limit); a read that waits longer throws "Read timed out.".
    void SetReadTimeout(int timeoutMs);
    // Every later read must end by `steadyNs` (TClock::TickNs; 0: no
    // deadline): one still waiting then throws "Read
    // timed out.". Exact to the microsecond, unlike SetReadTimeout, whose
    // wait the kernel rounds up to its timer tick.
    void SetReadDeadline(int64_t steadyNs) { FReadDeadlineNs = steadyNs; }

    void ShutdownWrite(); // half-close: the peer reads end of stream
    void ShutdownBoth();  // wakes every call blocked on this socket
    void SetNonBlocking(bool on);

    // Addresses in text form: dotted IPv4 or plain IPv6 (never ::ffff: mapped).
    std::string PeerAddress() const;
    uint16_t PeerPort() const;
    std::string LocalAddress() const;
    uint16_t LocalPort() const;

private:
    // Waits for readable data until FReadDeadlineNs; throws when it passes.
    void AwaitReadDeadline();

    int FFd = -1;
    int64_t FReadDeadlineNs = 0;
};
