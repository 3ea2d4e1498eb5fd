#pragma once
// The anonymized programs seen against the chains as they are now. A
// program's row keeps the UID of its chain and the chain's port at the time
// the row was last saved; the redirector is handed that port. A program
// whose chain has since been deleted, or whose chain now listens on another
// port, is marked, and so is one that was saved without a chain: such a
// program would not reach its chain, and it is neither launched nor put in
// the menu until it is edited. Also what "velmora run" is given to run a
// program through its chain.

#include "store/StoreRows.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

class TdmProxyData;

// A chain as the program page names it.
struct TChainRef {
    int32_t UID = 0;
    QString Name;
    int32_t Port = 0;
};

enum class TProgramChainState { pcsFine, pcsNoChain, pcsChainDeleted, pcsPortChanged };

// What the page shows of a program's chain.
struct TProgramChainView {
    TProgramChainState State = TProgramChainState::pcsFine;
    // The chain as it is now; none when the program has no chain or it is gone.
    std::optional<TChainRef> Chain;
    // "Work"; "(no chain)"; "(chain deleted)"; "Work (port changed: chain now on 9051)".
    QString ChainText;
    // The port the program is handed off with; empty for 0.
    QString PortText;
    // Why a marked program is marked and how to mend it; empty when fine.
    QString ToolTip;

    bool Marked() const { return State != TProgramChainState::pcsFine; }
};

class TProgramChains {
public:
    explicit TProgramChains(std::vector<TChainRef> chains);
    // Every chain of the store, hidden ones too, in table order.
    static TProgramChains FromStore(TdmProxyData &store);
    // The programs in table order; the one with this UID (none when gone).
    static std::vector<TAnonymProgram> Programs(TdmProxyData &store);
    static std::optional<TAnonymProgram> Program(TdmProxyData &store, int32_t AUID);

    const std::vector<TChainRef> &Chains() const { return FChains; }
    TProgramChainView View(const TAnonymProgram &program) const;

    // How "--chain" names a chain: by its name when no other chain has the
    // same name (letter case and surrounding spaces aside) and the name
    // cannot be taken for something else or be cut by the reader (empty,
    // all digits, starting with '-', spaces at either end); otherwise by
    // its port.
    QString ChainArgument(const TChainRef &chain) const;
    // The arguments of "velmora run" for the program: "run", "--chain",
    // the chain's argument, the program as typed. A marked program throws
    // EVelmoraError with Refusal(..., "launched").
    QStringList RunArguments(const TAnonymProgram &program) const;
    // Why a marked program cannot be `done` ("launched", "added to the
    // menu"), and what to do about it; empty for a program that is fine.
    QString Refusal(const TAnonymProgram &program, const QString &done) const;

private:
    std::vector<TChainRef> FChains;
};
