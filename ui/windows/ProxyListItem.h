#pragma once
// One row of a proxy list as the list shows it now: a small handle (the list
// and the row's place in it) that reads the cells, the colour and the
// selection from the list's models. It holds no copy of the record; a
// handle is good until the list's rows change.

#include "ui/logic/ProxyTableModel.h"

#include <QString>
#include <QVariant>

class TProxyListView;

class TProxyListItem {
public:
    enum TColumn {
        colIPHost = TProxyTableModel::colIPHost,
        colPort = TProxyTableModel::colPort,
        colStatus = TProxyTableModel::colStatus,
        colType = TProxyTableModel::colType,
        colSpeed = TProxyTableModel::colSpeed,
        ColumnCount = TProxyTableModel::ColumnCount
    };

    TProxyListItem(const TProxyListView *view, int viewRow) : FView(view), FRow(viewRow) {}

    int ViewRow() const { return FRow; }
    int32_t UID() const;
    QString text(int column) const;
    QVariant data(int column, int role) const;
    bool isSelected() const;
    void setSelected(bool selected) const;
    Qt::CheckState checkState() const;

private:
    QModelIndex Index(int column) const;

    const TProxyListView *FView;
    int FRow;
};
