#pragma once
// The live state of one chain of the store, as the chain list, the headless
// output and `velmora list chains` show it.

#include <QString>
#include <cstddef>
#include <cstdint>

enum class TChainRunState : uint8_t {
    Stopped,    // never started in this run, or stopped on request
    Running,    // listening on its port
    NotStarted, // a start was refused or failed; Reason says why
};

struct TChainState {
    int32_t UID = 0;
    QString Name;
    int32_t Port = 0;
    TChainRunState State = TChainRunState::Stopped;
    QString Reason;         // why it is not running (NotStarted), else empty
    size_t Connections = 0; // open client connections while running
    bool Rotating = false;  // "Auto-Creating Chain" is ticked
    QString Hops;           // the hops new connections take, "a:p => b:q", while running
    // While running: what the state says in place of "running" ("waiting for
    // the network", "no working proxies (2 set aside)"), or empty.
    QString Trouble;
    // While running: a fixed chain's hop that failed last, "hop 2
    // (10.0.0.2:1080): Connection refused", or empty.
    QString LastFailure;
};

// "running (2 connections)", "stopped", "not started: port 1080 is in use by
// another program", "waiting for the network", "running; last failure: hop 2
// (10.0.0.2:1080): Connection refused".
QString ChainStateText(const TChainState &state);
// One line for the activity panel and the headless output, naming the chain
// and its port: Chain "Work" on port 1080: running / stopped / not started
// (port 1080 is in use by another program)
QString ChainStateLine(const TChainState &state);
