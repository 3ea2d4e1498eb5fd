#pragma once
// One row of a proxy list: the cells "IP/Host", "Port", "Status", "Type",
// "Speed" and the row's own copy of the proxy record. The row's background
// is decided from its "Status" cell whenever the row is drawn.

#include "store/ProxData.h"
#include "ui/logic/ProxyRowColours.h"

#include <QTreeWidgetItem>
#include <memory>

class TProxyListItem : public QTreeWidgetItem {
public:
    enum TColumn { colIPHost = 0, colPort, colStatus, colType, colSpeed, ColumnCount };

    TProxyListItem(std::unique_ptr<TProxData> record, TProxyListKind kind);

    TProxData &Record() { return *FRecord; }
    const TProxData &Record() const { return *FRecord; }
    int32_t UID() const { return FRecord->FUID; }

    QVariant data(int column, int role) const override;

private:
    std::unique_ptr<TProxData> FRecord;
    TProxyListKind FKind;
};
