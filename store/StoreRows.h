#pragma once
// Detached values of stored rows that the store's queries hand out and its
// writers take: a chain as a name and a port, an anonymized program, and the
// fields of a chain or a proxy to write. None of them refers to a table.

#include <QString>
#include <cstdint>
#include <optional>

// One chain row without its proxies: its name and its local port, and how a
// rotating chain ("Auto-Creating Chain") draws its hops.
struct TStoredChain {
    int32_t UID = 0;
    QString Name;
    int32_t Port = 0;
    bool Rotating = false;
    int32_t ChangeEvery = 0;            // seconds; null reads as 0
    std::optional<int32_t> NoOfProxies; // none: not stored
};

// One row of the anonymized program list.
struct TAnonymProgram {
    int32_t UID = 0;
    QString Filename;                 // as typed: a file name or a path
    std::optional<int32_t> ChainUID;  // none: saved without a chain
    int32_t ChainPort = 0;            // the chain's port when the row was saved
    std::optional<int32_t> NoOfProxy; // none: not stored
};

// The fields of a chain row to write; the fields left empty stay as they are
// (null in a new row).
struct TChainChange {
    int32_t UID = 0; // 0: a new chain
    std::optional<QString> Desc;
    std::optional<int32_t> Port;
    std::optional<bool> AutoCreate;
    std::optional<int32_t> ChangeEvery;
    std::optional<int32_t> NoOfProxies;
    std::optional<bool> Hidden;
};

// The fields of a proxy row that its dialog writes.
struct TProxyChange {
    int32_t UID = 0; // 0: a new proxy
    QString IPAddress;
    QString HostName;
    int32_t Port = 0;
    int32_t HostType = 0;
};
