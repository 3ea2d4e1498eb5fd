#pragma once
// The chain page: the title "SOCKS Chain List" over a list of the chains
// that are not hidden, in table order, each row owning its chain record.
// Deleting stops each selected chain, unregisters it, and deletes it from
// the store.

#include "store/ChainedProxyData.h"

#include <QFrame>
#include <QTreeWidgetItem>
#include <memory>

class QAction;
class QTreeWidget;
class TChainManager;
class TdmProxyData;
class TUiPrompts;

class TfrmeSocksChain : public QFrame {
public:
    enum TColumn { colName = 0, colPort, colStatus, colLastChecked, ColumnCount };

    TfrmeSocksChain(TdmProxyData &store, TChainManager &chains, TUiPrompts &prompts,
                    QWidget *parent = nullptr);

    void PopulatechainList();
    void ClearChainList();
    // The UID of the first selected chain; -1 when none is selected.
    int32_t GetSelected() const;
    // Asks "Delete selected Proxy Chain(s)?" when a row is selected; on Yes
    // stops and deletes every selected chain, then rebuilds the list.
    void DeleteSelected();

    QTreeWidget *lvChains() const { return FList; }
    QAction *actSelectAll() const { return FSelectAll; }
    // The record of a row (null for a row that is not a chain row).
    static const TChainedProxyData *RecordOf(const QTreeWidgetItem *row);

private:
    TdmProxyData &FStore;
    TChainManager &FChains;
    TUiPrompts &FPrompts;
    QTreeWidget *FList;
    QAction *FSelectAll;
};
