#pragma once
// The direct outgoing connection of a CONNECT: a TCP connection straight to
// the destination, for servers that do not go through a chain.

#include "engine/server/IdSocksServerContext.h"

#include <cstdint>
#include <string>
#include <vector>

// One address a destination's name stands for.
struct TDirectTarget {
    TSocket::Family Family;
    std::string Address;
};

// The addresses to try for host (an address literal, with or without
// brackets, or a name looked up here), those of `preferred` first, each
// once. Throws "Host not found: ..." when a name finds none.
std::vector<TDirectTarget> DirectTargets(const std::string &host, TIdIPVersion preferred);

// Opens a TCP connection to host:port (address literal or name; a name's
// addresses are tried in turn, those of `preferred` first) within timeoutMs
// (0: no bound; on expiry "Connect timed out.") and leaves it in the context
// as its outgoing socket; waking the context ends the attempt. Throws the
// last address's error.
void ConnectDirect(TIdSocksServerContext &context, const std::string &host, uint16_t port,
                   TIdIPVersion preferred, int timeoutMs);
// The same over addresses already looked up (at least one).
void ConnectDirect(TIdSocksServerContext &context, const std::vector<TDirectTarget> &targets,
                   uint16_t port, int timeoutMs);
