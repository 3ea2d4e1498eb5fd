#pragma once
// The far side of a launched program's private network, served from the
// ordinary network: every TCP connection the program makes arrives at one
// of the TCP listeners (a netfilter rule turned it there), and its original
// destination is read from the kernel. A destination from the look-up
// answers (198.18.0.0/15) becomes its name again. The connection is then
// handed to the chain with the name, or the address (see Hand); it is never
// relayed to a TCP port, which anything could be holding. DNS queries arrive at the UDP listeners
// (and at the TCP ones, with destination port 53) and are answered by the
// fake-address answerer. A connection the chain refuses is reset, so the
// program sees the failure at once.
//
// The listeners are made elsewhere (inside the program's network) and
// handed over; Start takes them, Stop closes them and ends every connection.

#include "anonymize/FakeDns.h"
#include "engine/server/ConnectionThreads.h"
#include "platform/Socket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class TRedirector {
public:
    explicit TRedirector(TFakeAddresses &addresses);
    ~TRedirector();
    TRedirector(const TRedirector &) = delete;
    TRedirector &operator=(const TRedirector &) = delete;

    void Start(std::vector<TSocket> tcpListeners, std::vector<TSocket> udpSockets);
    void Stop();

    // A connection that could not be carried ("host:port: message"); called
    // on the connection's thread.
    std::function<void(const std::string &line)> OnFailure;
    // Hands a connection (its descriptor; the callee duplicates what it
    // keeps) straight to the chain, which then serves it itself with no
    // relay here; true when taken. Unset, or false: the connection is reset
    // (OnFailure tells). Set before Start.
    std::function<bool(int fd, const std::string &host, uint16_t port)> Hand;

private:
    void Serve(TIdSocksServerContext &context);
    void ServeDnsOverTcp(TSocket &client);
    void AnswerDatagrams();

    TFakeAddresses &FAddresses;
    TDnsAnswerer FAnswerer;
    TConnectionThreads FThreads;
    std::vector<TSocket> FUdp;
    int FWake = -1; // eventfd that ends AnswerDatagrams
    std::thread FUdpThread;
};
