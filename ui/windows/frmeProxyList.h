#pragma once
// The proxy picker: every stored proxy as a row with a tick box, from which
// the chain dialog takes the proxies to add to a chain. The rows show the
// store; the picked records handed out by GetSelected are read from the
// store then, and stay valid until the next call.

#include "ui/windows/ProxyListView.h"

#include <QFrame>
#include <memory>
#include <vector>

class TdmProxyData;

class TfrmeProxyList : public QFrame {
public:
    explicit TfrmeProxyList(TdmProxyData &store, QWidget *parent = nullptr);

    // Rebuilds the rows from the store: nothing selected, nothing ticked.
    void Load();
    void ClearItems();
    void FillItems();
    // With tick boxes: the records of the ticked rows, top to bottom (all
    // unticked afterwards when AClearChecked). Without: the first selected
    // row's record, if any. The frame owns the records.
    const std::vector<TProxData *> &GetSelected(bool AClearChecked);

    TProxyListView *lvProxies() const { return FList; }

private:
    TdmProxyData &FStore;
    TProxyListView *FList;
    std::vector<TProxData *> Fselected;
    std::vector<std::unique_ptr<TProxData>> FRecords;
};
