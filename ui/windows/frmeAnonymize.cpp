#include "ui/windows/frmeAnonymize.h"

#include "platform/Error.h"
#include "store/dmProxyData.h"
#include "ui/windows/FormParts.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <exception>

namespace {

constexpr int UIDRole = Qt::UserRole + 1;

} // namespace

TfrmeAnonymize::TfrmeAnonymize(TdmProxyData &store, QWidget *parent)
    : QFrame(parent), FStore(store), FList(new QTreeWidget(this)),
      FAdd(new QAction(QStringLiteral("Add"), this)),
      FEdit(new QAction(QStringLiteral("Edit"), this)),
      FDelete(new QAction(QStringLiteral("Delete"), this)),
      FSelectAll(new QAction(QStringLiteral("Select All"), this)) {
    setObjectName(QStringLiteral("frmeAnonymize"));
    FList->setObjectName(QStringLiteral("lvPrograms"));
    FList->setColumnCount(ColumnCount);
    FList->setHeaderLabels({QStringLiteral("Application"), QStringLiteral("No. Of Proxies")});
    FList->setColumnWidth(colApplication, 150);
    FList->header()->setStretchLastSection(false);
    TFormParts::PlainRows(FList);
    FList->setContextMenuPolicy(Qt::ActionsContextMenu);

    FAdd->setObjectName(QStringLiteral("actAdd"));
    FEdit->setObjectName(QStringLiteral("actEdit"));
    FDelete->setObjectName(QStringLiteral("actDelete"));
    FSelectAll->setObjectName(QStringLiteral("actSelectAll"));
    FSelectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    FSelectAll->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    FList->addActions({FAdd, FEdit, FDelete, FSelectAll});
    addAction(FSelectAll);

    connect(FAdd, &QAction::triggered, this, [this] { Guard([this] { actAddExecute(); }); });
    connect(FEdit, &QAction::triggered, this, [this] { Guard([this] { actEditExecute(); }); });
    connect(FDelete, &QAction::triggered, this, [this] { Guard([this] { actDeleteExecute(); }); });
    connect(FSelectAll, &QAction::triggered, FList, &QTreeWidget::selectAll);

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(4, 4, 4, 4);
    buttons->setSpacing(6);
    buttons->addWidget(TFormParts::ActionButton(FAdd, this));
    buttons->addWidget(TFormParts::ActionButton(FEdit, this));
    buttons->addWidget(TFormParts::ActionButton(FDelete, this));
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(FList);
    layout->addLayout(buttons);
    UpdateActions();
}

void TfrmeAnonymize::Load() {
    RefreshList();
}

void TfrmeAnonymize::RefreshList() {
    FList->clear();
    TDataTable &table = FStore.cdsAnonymizedList();
    const int uidField = table.FieldIndex(QStringLiteral("UID"));
    const int nameField = table.FieldIndex(QStringLiteral("Filename"));
    const int countField = table.FieldIndex(QStringLiteral("NoOfProxy"));
    QList<QTreeWidgetItem *> rows;
    for (const TDataTable::TRow *row : table.VisibleRows()) {
        auto *item = new QTreeWidgetItem;
        item->setText(colApplication, table.DisplayText(*row, nameField));
        const TFieldValue count = table.RowValue(*row, countField);
        if (const auto *n = std::get_if<int64_t>(&count))
            item->setText(colNoOfProxies, QString::number(*n));
        const TFieldValue uid = table.RowValue(*row, uidField);
        if (const auto *u = std::get_if<int64_t>(&uid))
            item->setData(colApplication, UIDRole, QVariant::fromValue<qint64>(*u));
        rows << item;
    }
    FList->addTopLevelItems(rows);
    UpdateActions();
}

std::vector<int32_t> TfrmeAnonymize::SelectedUIDs() const {
    std::vector<int32_t> uids;
    for (int i = 0; i < FList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = FList->topLevelItem(i);
        if (item->isSelected())
            uids.push_back(static_cast<int32_t>(item->data(colApplication, UIDRole).toLongLong()));
    }
    return uids;
}

void TfrmeAnonymize::actAddExecute() {
    if (FOnAddProgram && FOnAddProgram()) {
        RefreshList();
        if (FOnHandOff)
            FOnHandOff();
    }
}

void TfrmeAnonymize::actEditExecute() {
    const auto uids = SelectedUIDs();
    if (uids.empty())
        return;
    if (FOnEditProgram && FOnEditProgram(uids.front())) {
        RefreshList();
        if (FOnHandOff)
            FOnHandOff();
    }
}

void TfrmeAnonymize::actDeleteExecute() {
    for (int32_t uid : SelectedUIDs()) {
        if (!FStore.LocateAnonymRec(uid))
            throw EVelmoraError("error Anonymized program data not found");
        FStore.AnonymDelete(uid);
        FStore.AnonymSaveData();
        if (FOnHandOff)
            FOnHandOff();
    }
    RefreshList();
}

void TfrmeAnonymize::UpdateActions() {
    const bool any = !FList->selectedItems().isEmpty();
    FEdit->setEnabled(any);
    FDelete->setEnabled(any);
}

void TfrmeAnonymize::Guard(const std::function<void()> &command) {
    try {
        command();
    } catch (const std::exception &e) {
        if (FOnError)
            FOnError(QString::fromUtf8(e.what()));
    }
}
