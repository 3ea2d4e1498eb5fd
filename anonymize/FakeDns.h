#pragma once
// The name look-ups of a launched program, answered without asking anyone:
// each name gets an address of its own from 198.18.0.0/15 (a range reserved
// for benchmarks, never routed), so that a later connection to that address
// can be turned back into the name and the name handed to the chain, which
// resolves it at its far end. AAAA questions get an answer with no address,
// so programs fall back to IPv4; every other question gets an empty answer.
//
// Thread-safe. Free of Qt and of I/O: the redirector feeds it datagrams.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class TFakeAddresses {
public:
    static constexpr uint32_t First = 0xC6120001; // 198.18.0.1
    static constexpr uint32_t Count = 0x1FFFE;    // to 198.19.255.254

    // The address given to the name (lower case, without a final dot), made
    // on first use. When every address has been given, the oldest is reused.
    uint32_t AddressOf(const std::string &name);
    // The name an address was given to; nothing for any other address.
    std::optional<std::string> NameOf(uint32_t address) const;
    static bool InRange(uint32_t address) { return address - First < Count; }

private:
    mutable std::mutex FLock;
    std::unordered_map<std::string, uint32_t> FByName;
    std::vector<std::string> FNames; // by address - First
    uint32_t FNext = 0;              // the oldest, once every address has been given
};

class TDnsAnswerer {
public:
    static constexpr uint32_t Ttl = 300;

    explicit TDnsAnswerer(TFakeAddresses &addresses) : FAddresses(addresses) {}
    // The answer to one DNS query message; nothing when the message is too
    // broken to answer at all (shorter than a header, or itself an answer).
    std::optional<std::vector<uint8_t>> Answer(const uint8_t *query, size_t size);

private:
    TFakeAddresses &FAddresses;
};
