#pragma once
// The steps of the chain dialog without its widgets: preparing a new chain
// or an existing one, checking the form, saving the chain record, adding
// the picked proxies, removing and moving them, and what "OK" and "Cancel"
// do to the store and the chain manager. While the dialog is open a batch
// holds the store's saves back; "OK" saves all tables, "Cancel" discards the
// batch and reloads the chain tables from their files.

#include "store/ProxyTypes.h"
#include "store/dmProxyData.h"

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

class TChainManager;

// What the dialog's fields hold.
struct TChainForm {
    QString Name;
    QString Port;
    QString Interval; // "Change the Chain every" (seconds)
    bool AutoCreate = false;
    QString Count; // "Proxies in the chain"
};

class TChainEditor {
public:
    enum class TOkResult {
        Ignored,  // no chain prepared yet
        Refused,  // a message says why; nothing saved, the dialog stays open
        Accepted, // saved, and started or restarted as needed; the dialog closes
    };

    TChainEditor(TdmProxyData &store, TChainManager &chains);

    // A new chain: nothing in the store yet. Returns the form to show.
    TChainForm Add();
    // An existing chain; false (form untouched) when it is not found.
    bool Edit(int32_t AUID, TChainForm &form);
    // Why the form cannot be saved, or empty: name and port entered, the
    // port one this chain may take now (TChainManager::PortProblem), the
    // interval a whole number of seconds from 0 on, the count from 1 to 10.
    QString FormProblem(const TChainForm &form) const;
    // Writes the form into the chain record (appending it in add mode).
    void SaveChainRecord(const TChainForm &form);
    // The chain's proxies in hop order.
    void LoadChainItems(TChainedProxyData &items);
    // "Add": saves a new chain first (refused with FormProblem's message,
    // nothing saved, when the form does not pass), then appends the proxies
    // in order; "Proxy already exists in chain" stops at that proxy.
    void AddPicked(const TChainForm &form, const std::vector<int32_t> &proxyUIDs);
    // "Delete": takes the proxies out of the chain.
    void RemoveItem(int32_t proxyUID);
    void RemoveItems(const std::vector<int32_t> &proxyUIDs);
    // "Move Up" (delta -1) and "Move Down" (+1): the proxies move one place
    // each, keeping their order among themselves; one that reaches the end
    // of the chain stops there, and the others stop behind it. True when
    // anything moved.
    bool MoveItems(const std::vector<int32_t> &proxyUIDs, int delta);
    // "OK"; `message` tells why it was refused.
    TOkResult Ok(const TChainForm &form, bool hasItems, QString &message);
    // "Cancel": drops every unsaved change of this use of the dialog.
    void Cancel();
    // The dialog closed in any way: the store saves by itself again.
    void Closed();

    // Enabled rules of "Add", and of "Edit", "Delete", "Move Up" and "Move
    // Down". Proxies put in by hand stay the first hops of an automatically
    // created chain, so they can be edited with it ticked as well.
    static bool AddEnabled(const TChainForm &form);
    static bool ItemCommandsEnabled(const TChainForm &form, bool rowSelected);
    // A port text as the dialog reads it: blanks around it removed, a whole
    // number from 1 to 65535.
    static int32_t ReadPort(const QString &text);
    // A warning for a chain whose last proxy is SOCKS 4 (names go to it as
    // SOCKS 4a, which many such proxies refuse); empty for any other chain.
    static QString LastHopWarning(const TChainedProxyData &items);

    TDataMode FDataMode = TDataMode::dtmNone;
    int32_t FUID = 0;
    bool FPortChanged = false;
    bool FProxyItemsChanged = false;

private:
    void HoldSaves();

    TdmProxyData &FStore;
    TChainManager &FChains;
    std::optional<TdmProxyData::TBatch> FHold; // from Add or Edit until the dialog closes
};
