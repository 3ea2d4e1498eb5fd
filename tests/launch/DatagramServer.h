#pragma once
// UDP sockets inside a network namespace, served by one thread: every
// datagram is counted and its sender recorded, and `answer` may give the
// reply to send back. Stopped (and its thread joined) by the destructor.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace VelmoraTest {

class TDatagramServer {
public:
    using TAnswer = std::function<std::optional<std::string>(const std::string &datagram)>;

    // Binds one socket to each address (IPv4 or IPv6 literal) at `port`
    // inside the namespace `nsPath`. Throws std::runtime_error when one
    // cannot be bound.
    TDatagramServer(const std::string &nsPath, const std::vector<std::string> &addresses,
                    uint16_t port, TAnswer answer);
    ~TDatagramServer();
    TDatagramServer(const TDatagramServer &) = delete;
    TDatagramServer &operator=(const TDatagramServer &) = delete;

    int Count() const { return FCount.load(); }
    // The sender address of every datagram so far, in arrival order.
    std::vector<std::string> Senders() const;
    void Reset();

private:
    void Serve();

    TAnswer FAnswer;
    std::vector<int> FSockets;
    int FWake[2] = {-1, -1};
    std::atomic<int> FCount{0};
    mutable std::mutex FLock;
    std::vector<std::string> FSenders;
    std::thread FThread;
};

// A socket of the address's family bound to address:port, made in the
// calling thread's network: SOCK_DGRAM, or SOCK_STREAM listening.
int BindSocket(const std::string &address, uint16_t port, int type);
// The address of a sockaddr in text form (dotted IPv4, plain IPv6).
std::string AddressText(const void *sockaddr);

} // namespace VelmoraTest
