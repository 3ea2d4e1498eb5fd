#pragma once
// Context IDs of live client connections. Each CONNECT draws a random ID
// below 1000000 that no live connection holds (drawing again on a clash) and
// gives it back when the connection ends. One registry may be shared by
// every server of the process so that IDs are unique across chains.
// Thread-safe.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_set>

// The context ID of one connection, kept in its context's data slot.
struct TContextID {
    int32_t FID = 0;
};

class TContextIDRegistry {
public:
    static constexpr int32_t Limit = 1000000;

    // A random ID, 0 <= ID < Limit, held by no live connection. Throws
    // EVelmoraError when every ID is held.
    int32_t Draw();
    // Gives an ID back; releasing one not held does nothing.
    void Release(int32_t id);
    bool IsLive(int32_t id);
    size_t LiveCount();

private:
    std::mutex FLock;
    std::unordered_set<int32_t> FLive;
};
