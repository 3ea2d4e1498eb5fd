#include "ui/windows/ProxyListView.h"

#include "store/dmProxyData.h"

#include <QHeaderView>

TProxyListView::TProxyListView(TProxyListKind kind, QWidget *parent)
    : QTreeWidget(parent), FKind(kind) {
    setColumnCount(TProxyListItem::ColumnCount);
    setHeaderLabels({QStringLiteral("IP/Host"), QStringLiteral("Port"), QStringLiteral("Status"),
                     QStringLiteral("Type"), QStringLiteral("Speed")});
    headerItem()->setTextAlignment(TProxyListItem::colSpeed, Qt::AlignRight | Qt::AlignVCenter);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    SetNarrowColumns(false);

    // Ticking or unticking a row also selects or deselects it.
    connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem *item, int column) {
        if (FFilling || !FCheckboxes || column != 0)
            return;
        item->setSelected(item->checkState(0) == Qt::Checked);
    });
}

void TProxyListView::SetNarrowColumns(bool narrow) {
    const int widths[] = {150, narrow ? 70 : 100, narrow ? 70 : 100, narrow ? 70 : 100, 70};
    for (int i = 0; i < TProxyListItem::ColumnCount; ++i)
        setColumnWidth(i, widths[i]);
}

void TProxyListView::SetCheckboxes(bool on) {
    FCheckboxes = on;
    FFilling = true;
    for (int i = 0; i < RowCount(); ++i) {
        QTreeWidgetItem *item = topLevelItem(i);
        if (on) {
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(0, Qt::Unchecked);
        } else {
            item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable);
            item->setData(0, Qt::CheckStateRole, QVariant());
        }
    }
    FFilling = false;
}

void TProxyListView::Fill(TdmProxyData &store) {
    ClearRows();
    std::vector<std::unique_ptr<TProxData>> records;
    store.GetAllProxyRecords(records);
    QList<QTreeWidgetItem *> rows;
    rows.reserve(static_cast<qsizetype>(records.size()));
    for (auto &record : records) {
        auto *row = new TProxyListItem(std::move(record), FKind);
        row->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren |
                      (FCheckboxes ? Qt::ItemIsUserCheckable : Qt::NoItemFlags));
        if (FCheckboxes)
            row->setCheckState(0, Qt::Unchecked);
        rows << row;
    }
    FFilling = true;
    addTopLevelItems(rows);
    FFilling = false;
}

void TProxyListView::ClearRows() {
    FFilling = true;
    clear(); // deletes the rows, and with them their records
    FFilling = false;
}

TProxyListItem *TProxyListView::Row(int index) const {
    return static_cast<TProxyListItem *>(topLevelItem(index));
}

TProxyListItem *TProxyListView::FindRow(int32_t uid) const {
    for (int i = 0; i < RowCount(); ++i)
        if (Row(i)->UID() == uid)
            return Row(i);
    return nullptr;
}

std::vector<TProxyListItem *> TProxyListView::SelectedRows() const {
    std::vector<TProxyListItem *> rows;
    for (int i = 0; i < RowCount(); ++i)
        if (Row(i)->isSelected())
            rows.push_back(Row(i));
    return rows;
}

std::vector<TProxyListItem *> TProxyListView::CheckedRows() const {
    std::vector<TProxyListItem *> rows;
    if (!FCheckboxes)
        return rows;
    for (int i = 0; i < RowCount(); ++i)
        if (Row(i)->checkState(0) == Qt::Checked)
            rows.push_back(Row(i));
    return rows;
}

void TProxyListView::SetChecked(TProxyListItem *row, bool checked) {
    if (FCheckboxes && row)
        row->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
}

void TProxyListView::UncheckAll() {
    clearSelection();
    if (!FCheckboxes)
        return;
    FFilling = true;
    for (int i = 0; i < RowCount(); ++i)
        Row(i)->setCheckState(0, Qt::Unchecked);
    FFilling = false;
}

void TProxyListView::UpdateRow(const TProxData &data) {
    TProxyListItem *row = FindRow(data.FUID);
    if (!row)
        return;
    row->setText(TProxyListItem::colStatus, ProxyStatusText(static_cast<int>(data.FStatus)));
    row->setText(TProxyListItem::colSpeed, SpeedToText(data.FSpeed));
    row->setText(TProxyListItem::colType, ProxyTypeText(static_cast<int>(data.FProxyType)));
}

void TProxyListView::SetCell(int32_t uid, int column, const QString &text) {
    if (TProxyListItem *row = FindRow(uid))
        row->setText(column, text);
}
