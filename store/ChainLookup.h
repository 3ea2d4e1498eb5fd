#pragma once
// Finding a stored chain by what a user typed: its local port (a number) or
// its name, exactly first, then without regard to case. A name that two
// chains share finds neither: the chain must then be named by its port.
// `velmora run --chain` and the `velmora chain` commands of a running
// instance follow the same rule.

#include "store/StoreRows.h"

#include <QString>
#include <cstdint>
#include <vector>

class TdmProxyData;

class TChainLookup {
public:
    enum class TOutcome { Found, NotFound, Ambiguous };
    struct TResult {
        TOutcome Outcome = TOutcome::NotFound;
        int32_t UID = 0;     // when found
        bool ByPort = false; // the text was a number
    };

    // Every chain of the store, in table order.
    static std::vector<TStoredChain> All(TdmProxyData &store);
    static TResult Find(TdmProxyData &store, const QString &nameOrPort);
    // "the chains are "Work" (port 1080), "Home" (port 1081)", or "there
    // are no chains yet".
    static QString ListText(TdmProxyData &store);
    // Why `nameOrPort` found no chain, or more than one, with the chains
    // there are: "there is no chain named "Wrok"; the chains are ...".
    static QString Problem(TdmProxyData &store, const TResult &result, const QString &nameOrPort);
};
