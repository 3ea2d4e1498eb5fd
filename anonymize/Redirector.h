#pragma once
// The far side of a launched program's private network, served from the
// ordinary network: every TCP connection the program makes arrives at one
// of the TCP listeners (a netfilter rule turned it there), and its original
// destination is read from the kernel. A destination from the look-up
// answers (198.18.0.0/15) becomes its name again; the chain is then asked
// by SOCKS 5 for the name, or for the address, and the two connections are
// relayed with the engine's relay. DNS queries arrive at the UDP listeners
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

class TPipePool;

class TRedirector {
public:
    static constexpr int ChainConnectTimeoutMs = 10000;

    // chainPort: the chain's SOCKS port on 127.0.0.1.
    TRedirector(uint16_t chainPort, TFakeAddresses &addresses);
    ~TRedirector();
    TRedirector(const TRedirector &) = delete;
    TRedirector &operator=(const TRedirector &) = delete;

    void Start(std::vector<TSocket> tcpListeners, std::vector<TSocket> udpSockets);
    void Stop();

    // A connection that could not be carried ("host:port: message"); called
    // on the connection's thread.
    std::function<void(const std::string &line)> OnFailure;

private:
    void Serve(TIdSocksServerContext &context);
    void ServeDnsOverTcp(TSocket &client);
    void AnswerDatagrams();

    uint16_t FChainPort;
    TFakeAddresses &FAddresses;
    TDnsAnswerer FAnswerer;
    std::shared_ptr<TPipePool> FPipes;
    TConnectionThreads FThreads;
    std::vector<TSocket> FUdp;
    int FWake = -1; // eventfd that ends AnswerDatagrams
    std::thread FUdpThread;
};
