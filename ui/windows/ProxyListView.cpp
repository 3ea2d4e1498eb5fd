#include "ui/windows/ProxyListView.h"

#include "store/ProxData.h"
#include "store/dmProxyData.h"
#include "ui/windows/FormParts.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <algorithm>

TProxyListView::TProxyListView(TProxyListKind kind, QWidget *parent)
    : QTreeView(parent), FModel(new TProxyTableModel(kind, this)),
      FFilter(new TProxyFilterModel(*FModel, this)) {
    setModel(FFilter);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // No order of its own until a header is clicked: the store's order.
    header()->setSortIndicatorClearable(true);
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
    SetNarrowColumns(false);

    FFilter->FOnRepaint = [this] { viewport()->update(); };

    // Ticking or unticking a row also selects or deselects it.
    FModel->FOnTickChanged = [this](int32_t uid, bool ticked) {
        if (const auto row = FindRow(uid))
            row->setSelected(ticked);
    };
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &) {
        if (FOnOpen)
            FOnOpen();
    });
}

void TProxyListView::SetNarrowColumns(bool narrow) {
    const int widths[] = {150, narrow ? 70 : 100, narrow ? 70 : 100, narrow ? 70 : 100, 70};
    for (int i = 0; i < TProxyTableModel::ColumnCount; ++i)
        setColumnWidth(i, TFormParts::Scaled(this, widths[i]));
}

void TProxyListView::SetCheckboxes(bool on) {
    FModel->SetTickBoxes(on);
}

void TProxyListView::Fill(TdmProxyData &store) {
    FModel->Attach(store);
}

void TProxyListView::ClearRows() {
    FModel->Detach();
}

int TProxyListView::RowCount() const {
    return FFilter->rowCount();
}

int TProxyListView::SourceRow(int viewRow) const {
    return FFilter->mapToSource(FFilter->index(viewRow, 0)).row();
}

int TProxyListView::ViewRow(int sourceRow) const {
    return FFilter->mapFromSource(FModel->index(sourceRow, 0)).row();
}

std::optional<TProxyListItem> TProxyListView::FindRow(int32_t uid) const {
    const int source = FModel->RowOf(uid);
    if (source < 0)
        return std::nullopt;
    const int row = ViewRow(source);
    if (row < 0)
        return std::nullopt;
    return TProxyListItem(this, row);
}

std::vector<TProxyListItem> TProxyListView::SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex &index : selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    std::vector<TProxyListItem> items;
    items.reserve(rows.size());
    for (int row : rows)
        items.emplace_back(this, row);
    return items;
}

std::vector<int32_t> TProxyListView::SelectedUIDs() const {
    std::vector<int32_t> uids;
    for (const TProxyListItem &row : SelectedRows())
        uids.push_back(row.UID());
    return uids;
}

std::vector<TProxyListItem> TProxyListView::CheckedRows() const {
    std::vector<int> rows;
    for (int32_t uid : FModel->TickedUIDs())
        if (const auto row = FindRow(uid))
            rows.push_back(row->ViewRow());
    std::sort(rows.begin(), rows.end());
    std::vector<TProxyListItem> items;
    for (int row : rows)
        items.emplace_back(this, row);
    return items;
}

std::vector<int32_t> TProxyListView::CheckedUIDs() const {
    std::vector<int32_t> uids;
    for (const TProxyListItem &row : CheckedRows())
        uids.push_back(row.UID());
    return uids;
}

void TProxyListView::SetChecked(const TProxyListItem &row, bool checked) {
    FModel->SetTicked(row.UID(), checked);
}

void TProxyListView::UncheckAll() {
    clearSelection();
    FModel->ClearTicks();
}

void TProxyListView::UpdateRow(const TProxData &data) {
    FModel->ClearProgress(data.FUID);
}

QString TProxyListView::SelectionText() const {
    QString text;
    for (const TProxyListItem &row : SelectedRows())
        text += FModel->AddressPort(SourceRow(row.ViewRow())) + QLatin1Char('\n');
    return text;
}

void TProxyListView::CopySelection() const {
    const QString text = SelectionText();
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

void TProxyListView::keyPressEvent(QKeyEvent *e) {
    if (e->matches(QKeySequence::Copy)) {
        CopySelection();
        e->accept();
        return;
    }
    if (e->key() == Qt::Key_Delete && e->modifiers() == Qt::NoModifier && FOnDeleteKey) {
        FOnDeleteKey();
        e->accept();
        return;
    }
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && FOnOpen) {
        FOnOpen();
        e->accept();
        return;
    }
    QTreeView::keyPressEvent(e);
}
