#include "ui/windows/ProxyListItem.h"

#include <QBrush>

TProxyListItem::TProxyListItem(std::unique_ptr<TProxData> record, TProxyListKind kind)
    : FRecord(std::move(record)), FKind(kind) {
    const TProxData &r = *FRecord;
    setText(colIPHost, r.FIPAddress);
    setText(colPort, QString::number(r.FPort));
    setText(colStatus, ProxyStatusText(static_cast<int>(r.FStatus)));
    setText(colType, ProxyTypeText(static_cast<int>(r.FProxyType)));
    setText(colSpeed, SpeedToText(r.FSpeed));
    setTextAlignment(colSpeed, Qt::AlignRight | Qt::AlignVCenter);
}

QVariant TProxyListItem::data(int column, int role) const {
    if (role == Qt::BackgroundRole) {
        const QColor colour = TProxyRowColours::RowColour(text(colStatus), FKind);
        if (colour.isValid())
            return QBrush(colour);
        return {};
    }
    return QTreeWidgetItem::data(column, role);
}
