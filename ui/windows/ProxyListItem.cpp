#include "ui/windows/ProxyListItem.h"

#include "ui/windows/ProxyListView.h"

#include <QItemSelectionModel>

QModelIndex TProxyListItem::Index(int column) const {
    return FView->model()->index(FRow, column);
}

int32_t TProxyListItem::UID() const {
    return FView->Model()->UIDAt(FView->SourceRow(FRow));
}

QString TProxyListItem::text(int column) const {
    return FView->Model()->Text(FView->SourceRow(FRow), column);
}

QVariant TProxyListItem::data(int column, int role) const {
    return Index(column).data(role);
}

bool TProxyListItem::isSelected() const {
    return FView->selectionModel()->isRowSelected(FRow, {});
}

void TProxyListItem::setSelected(bool selected) const {
    FView->selectionModel()->select(
        Index(0), (selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                      QItemSelectionModel::Rows);
}

Qt::CheckState TProxyListItem::checkState() const {
    return FView->Model()->Ticked(UID()) ? Qt::Checked : Qt::Unchecked;
}
