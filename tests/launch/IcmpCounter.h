#pragma once
// Counts the ICMP echo requests (pings) that arrive in a network namespace,
// through a raw socket served by one thread (root only). The kernel answers
// them itself.

#include <atomic>
#include <string>
#include <thread>

namespace VelmoraTest {

class TIcmpCounter {
public:
    explicit TIcmpCounter(const std::string &nsPath);
    ~TIcmpCounter();
    TIcmpCounter(const TIcmpCounter &) = delete;
    TIcmpCounter &operator=(const TIcmpCounter &) = delete;

    int Count() const { return FCount.load(); }
    void Reset() { FCount = 0; }

private:
    void Serve();

    int FSocket = -1;
    int FWake[2] = {-1, -1};
    std::atomic<int> FCount{0};
    std::thread FThread;
};

} // namespace VelmoraTest
