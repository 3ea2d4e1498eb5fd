#pragma once
// The steps of the chain dialog without its widgets: preparing a new chain
// or an existing one, saving the chain record, adding the picked proxies,
// removing one, and what "OK" and "Cancel" do to the store and the chain
// manager. While the dialog is open the store does not save by itself; "OK"
// saves all tables, "Cancel" reloads the chain tables from their files.

#include "store/ProxyTypes.h"

#include <QString>
#include <cstdint>
#include <vector>

class TChainManager;
class TChainedProxyData;
class TdmProxyData;

// What the dialog's fields hold.
struct TChainForm {
    QString Name;
    QString Port;
    QString Interval;
    bool AutoCreate = false;
};

class TChainEditor {
public:
    enum class TOkResult {
        Ignored,  // no chain prepared yet
        Refused,  // a message says why; the dialog stays open
        StayOpen, // "Auto-Creating Chain" is ticked: nothing happens
        Accepted, // saved (and started or restarted); the dialog closes
    };

    TChainEditor(TdmProxyData &store, TChainManager &chains);

    // A new chain: nothing in the store yet. Returns the form to show.
    TChainForm Add();
    // An existing chain; false (form untouched) when it is not found.
    bool Edit(int32_t AUID, TChainForm &form);
    // Writes the form into the chain record (appending it in add mode).
    void SaveChainRecord(const TChainForm &form);
    // The chain's proxies in hop order.
    void LoadChainItems(TChainedProxyData &items);
    // "Add": saves a new chain first, then appends the proxies in order;
    // "Proxy already exists in chain" stops at that proxy.
    void AddPicked(const TChainForm &form, const std::vector<int32_t> &proxyUIDs);
    // "Delete": takes one proxy out of the chain.
    void RemoveItem(int32_t proxyUID);
    // "OK"; `message` tells why it was refused.
    TOkResult Ok(const TChainForm &form, bool hasItems, QString &message);
    // "Cancel": drops every unsaved change of this use of the dialog.
    void Cancel();
    // The dialog closed in any way: the store saves by itself again.
    void Closed();

    // Enabled rules of "Add", and of "Edit" and "Delete".
    static bool AddEnabled(const TChainForm &form);
    static bool ItemCommandsEnabled(const TChainForm &form, bool rowSelected);
    // A port text as the dialog reads it: blanks around it removed, a whole
    // number from 1 to 65535.
    static int32_t ReadPort(const QString &text);

    TDataMode FDataMode = TDataMode::dtmNone;
    int32_t FUID = 0;
    bool FPortChanged = false;
    bool FProxyItemsChanged = false;

private:
    TdmProxyData &FStore;
    TChainManager &FChains;
};
