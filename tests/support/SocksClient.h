#pragma once
// SOCKS 5 client steps over a plain connected socket, as an ordinary client
// makes them: the greeting and its answer, the CONNECT request, the reply.
// Shared by the tests and the benchmark drivers, so this header needs
// neither Qt nor GoogleTest and everything in it is inline.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>

namespace VelmoraTest {

// Runs `io` (a send or a receive of at most n bytes at p) until `size` bytes
// have gone through; false when it ends early (end of stream, an error, or
// the socket's time-out).
template <class TIo> bool MoveAll(char *p, size_t size, TIo io) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = io(p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Sends all of `size` bytes; false when the connection fails.
inline bool SendAll(int fd, const void *data, size_t size) {
    return MoveAll(static_cast<char *>(const_cast<void *>(data)), size,
                   [fd](char *p, size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
}

inline bool SendAll(int fd, const std::string &text) {
    return SendAll(fd, text.data(), text.size());
}

// Reads exactly `size` bytes; false at end of stream, on an error or when
// the socket's receive time-out passes.
inline bool ReadExact(int fd, void *buffer, size_t size) {
    return MoveAll(static_cast<char *>(buffer), size,
                   [fd](char *p, size_t n) { return ::recv(fd, p, n, 0); });
}

// Bytes from small numbers, for hand-made protocol messages.
inline std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// A port in network byte order.
inline std::string Port16(uint16_t port) {
    return Bytes({port >> 8, port & 0xff});
}

// The greeting offering "no authentication" only.
inline std::string Socks5Greeting() {
    return Bytes({5, 1, 0});
}

// A request (`command`: 1 CONNECT) for 127.0.0.1:port.
inline std::string Socks5Request(uint8_t command, uint16_t port) {
    return Bytes({5, command, 0, 1, 127, 0, 0, 1}) + Port16(port);
}

// The greeting and a request for 127.0.0.1:port, sent together.
inline std::string Socks5ToLoopback(uint8_t command, uint16_t port) {
    return Socks5Greeting() + Socks5Request(command, port);
}

// Sends the greeting and reads the server's choice: true when it chose
// "no authentication".
inline bool Socks5Greet(int fd) {
    unsigned char method[2];
    return SendAll(fd, Socks5Greeting()) && ReadExact(fd, method, 2) && method[0] == 5 &&
           method[1] == 0;
}

// Reads a whole reply, whatever its address type; returns the reply code, or
// -1 when the stream broke off before a success reply was complete.
inline int Socks5ReadReply(int fd) {
    unsigned char reply[262];
    if (!ReadExact(fd, reply, 4))
        return -1;
    const int code = reply[1];
    size_t rest = reply[3] == 1 ? 6 : reply[3] == 4 ? 18 : 0;
    if (reply[3] == 3 && ReadExact(fd, reply, 1))
        rest = size_t(reply[0]) + 2;
    const bool whole = rest > 0 && ReadExact(fd, reply, rest);
    return whole || code != 0 ? code : -1;
}

// A CONNECT to 127.0.0.1:port through the SOCKS 5 server `fd` is connected
// to, step by step; returns the reply code, or -1 when the greeting was
// refused or the stream broke off. On success the socket carries the tunnel.
inline int Socks5Handshake(int fd, uint16_t port) {
    if (!Socks5Greet(fd) || !SendAll(fd, Socks5Request(1, port)))
        return -1;
    return Socks5ReadReply(fd);
}

} // namespace VelmoraTest
