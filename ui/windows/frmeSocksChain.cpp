#include "ui/windows/frmeSocksChain.h"

#include "engine/chain/ChainManager.h"
#include "platform/Clock.h"
#include "store/dmProxyData.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/FormParts.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// A chain row owns the chain's record.
class TChainListItem : public QTreeWidgetItem {
public:
    explicit TChainListItem(std::unique_ptr<TChainedProxyData> record)
        : QTreeWidgetItem(UserType + 1), FRecord(std::move(record)) {
        const TChainedProxyData &r = *FRecord;
        setText(TfrmeSocksChain::colName, r.FDesc);
        setText(TfrmeSocksChain::colPort, QString::number(r.FPort));
        setText(TfrmeSocksChain::colStatus, ProxyStatusText(static_cast<int>(r.FStatus)));
        if (r.FStatus != TProxyStatus::psUnknown)
            setText(TfrmeSocksChain::colLastChecked,
                    TClock::ToQDateTime(r.FLastChecked)
                        .toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")));
    }
    const TChainedProxyData &Record() const { return *FRecord; }

private:
    std::unique_ptr<TChainedProxyData> FRecord;
};

} // namespace

TfrmeSocksChain::TfrmeSocksChain(TdmProxyData &store, TChainManager &chains, TUiPrompts &prompts,
                                 QWidget *parent)
    : QFrame(parent), FStore(store), FChains(chains), FPrompts(prompts),
      FList(new QTreeWidget(this)), FSelectAll(new QAction(QStringLiteral("Select All"), this)) {
    setObjectName(QStringLiteral("frmeSocksChain"));
    auto *title = new QLabel(QStringLiteral("SOCKS Chain List"), this);
    title->setObjectName(QStringLiteral("lblChainListTitle"));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    title->setAutoFillBackground(true);
    QPalette palette = title->palette();
    palette.setColor(QPalette::Window, QColor(208, 208, 210));
    title->setPalette(palette);
    title->setContentsMargins(6, 3, 6, 3);

    FList->setObjectName(QStringLiteral("lvChains"));
    FList->setColumnCount(ColumnCount);
    FList->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Port"),
                            QStringLiteral("Status"), QStringLiteral("Last Checked")});
    FList->setColumnWidth(colName, 200);
    FList->setColumnWidth(colPort, 100);
    FList->setColumnHidden(colStatus, true); // 0 wide
    FList->setColumnHidden(colLastChecked, true);
    FList->header()->setStretchLastSection(false);
    TFormParts::PlainRows(FList);
    FList->setToolTip(QStringLiteral("Right-Click for menu"));

    FSelectAll->setObjectName(QStringLiteral("actSelectAll"));
    FSelectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    FSelectAll->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(FSelectAll, &QAction::triggered, FList, &QTreeWidget::selectAll);
    addAction(FSelectAll);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(title);
    layout->addWidget(FList);
}

const TChainedProxyData *TfrmeSocksChain::RecordOf(const QTreeWidgetItem *row) {
    if (!row || row->type() != QTreeWidgetItem::UserType + 1)
        return nullptr;
    return &static_cast<const TChainListItem *>(row)->Record();
}

void TfrmeSocksChain::ClearChainList() {
    FList->clear();
}

void TfrmeSocksChain::PopulatechainList() {
    ClearChainList();
    // Collect the UIDs first: reading a chain moves the table's cursor.
    std::vector<int32_t> uids;
    TDataTable &table = FStore.cdsChainedProxies();
    const int uidField = table.FieldIndex(QStringLiteral("UID"));
    for (const TDataTable::TRow *row : table.VisibleRows()) {
        const TFieldValue uid = table.RowValue(*row, uidField);
        if (const auto *v = std::get_if<int64_t>(&uid))
            uids.push_back(static_cast<int32_t>(*v));
    }
    QList<QTreeWidgetItem *> rows;
    for (int32_t uid : uids) {
        auto record = std::make_unique<TChainedProxyData>();
        FStore.GetChainedProxyRecord(uid, *record);
        if (record->FHidden)
            continue;
        rows << new TChainListItem(std::move(record));
    }
    FList->addTopLevelItems(rows);
}

int32_t TfrmeSocksChain::GetSelected() const {
    for (int i = 0; i < FList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = FList->topLevelItem(i);
        if (row->isSelected())
            return RecordOf(row)->FUID;
    }
    return -1;
}

void TfrmeSocksChain::DeleteSelected() {
    std::vector<int32_t> uids;
    for (int i = 0; i < FList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = FList->topLevelItem(i);
        if (row->isSelected())
            uids.push_back(RecordOf(row)->FUID);
    }
    if (uids.empty())
        return;
    if (!FPrompts.AskYesNo(QStringLiteral("Delete selected Proxy Chain(s)?")))
        return;
    for (int32_t uid : uids) {
        FChains.StopAService(uid, false);
        FStore.DeleteChain(uid);
    }
    PopulatechainList();
}
