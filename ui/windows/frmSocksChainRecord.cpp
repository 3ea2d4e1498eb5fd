#include "ui/windows/frmSocksChainRecord.h"

#include "store/ChainedProxyData.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/FormParts.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmeProxyList.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

constexpr int UIDRole = Qt::UserRole + 1;

QLabel *Title(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

// A panel of the dialog, of a fixed size, with its bold title on top.
QVBoxLayout *TitledPanel(QWidget *panel, const char *name, QSize size, const QString &title) {
    panel->setObjectName(QString::fromLatin1(name));
    panel->setFixedSize(TFormParts::Scaled(panel, size));
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(Title(title, panel));
    return layout;
}

} // namespace

TfrmSocksChainRecord::TfrmSocksChainRecord(TdmProxyData &store, TChainManager &chains,
                                           TUiPrompts &prompts, QWidget *parent)
    : QDialog(parent), FEditor(store, chains), FPrompts(prompts), FName(new QLineEdit(this)),
      FPort(new QLineEdit(this)), FInterval(new QLineEdit(this)), FCount(new QLineEdit(this)),
      FAutoCreate(new QCheckBox(QStringLiteral("Auto-Creating Chain"), this)),
      FItems(new QTreeWidget(this)), FLastHopWarning(new QLabel(this)),
      FPicker(new TfrmeProxyList(store, this)), FAdd(new QAction(QStringLiteral("Add"), this)),
      FEdit(new QAction(QStringLiteral("Edit"), this)),
      FDelete(new QAction(QStringLiteral("Delete"), this)),
      FMoveUp(new QAction(QStringLiteral("Move Up"), this)),
      FMoveDown(new QAction(QStringLiteral("Move Down"), this)) {
    TFormParts::FixedDialog(this, QStringLiteral("frmSocksChainRecord"),
                            QStringLiteral("SOCKS's Chain Name"), {891, 490});
    QWidget *settings = BuildSettings();
    QWidget *current = BuildChainItems();
    QWidget *available = BuildAvailable();
    const TFormParts::TOkCancel okCancel = TFormParts::OkCancel(this, true);
    connect(okCancel.Ok, &QPushButton::clicked, this, [this] { Guard([this] { OkClick(); }); });

    auto *left = new QVBoxLayout;
    left->setSpacing(3);
    left->addWidget(settings);
    left->addWidget(current);
    auto *top = new QHBoxLayout;
    top->addLayout(left);
    top->addWidget(available, 0, Qt::AlignTop);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(9, 9, 9, 9);
    layout->addLayout(top);
    layout->addStretch(1);
    layout->addLayout(okCancel.Row);

    ConnectActions();
    UpdateActions();
}

QWidget *TfrmSocksChainRecord::BuildSettings() {
    auto *settings = new QWidget(this);
    settings->setObjectName(QStringLiteral("pnlChainSettings"));
    settings->setFixedSize(TFormParts::Scaled(settings, QSize(424, 200)));
    auto *settingsGrid = new QGridLayout(settings);
    settingsGrid->setContentsMargins(6, 4, 6, 4);
    settingsGrid->addWidget(Title(QStringLiteral("Chain settings"), settings), 0, 0, 1, 3);
    settingsGrid->addWidget(new QLabel(QStringLiteral("Name:"), settings), 1, 0);
    FName->setObjectName(QStringLiteral("edName"));
    FName->setFixedWidth(TFormParts::Scaled(FName, 167));
    settingsGrid->addWidget(FName, 1, 1);
    settingsGrid->addWidget(new QLabel(QStringLiteral("Accept Connection on  Port:"), settings), 2,
                            0);
    FPort->setObjectName(QStringLiteral("edPort"));
    FPort->setFixedWidth(TFormParts::Scaled(FPort, 74));
    settingsGrid->addWidget(FPort, 2, 1, Qt::AlignLeft);
    auto *automatic = new QGroupBox(QStringLiteral("Automatical Chain Creation"), settings);
    auto *autoGrid = new QGridLayout(automatic);
    FAutoCreate->setObjectName(QStringLiteral("chkAutoCreate"));
    autoGrid->addWidget(FAutoCreate, 0, 0, 1, 3);
    autoGrid->addWidget(new QLabel(QStringLiteral("Change the Chain every:"), automatic), 1, 0);
    FInterval->setObjectName(QStringLiteral("edInterval"));
    FInterval->setFixedWidth(TFormParts::Scaled(FInterval, 74));
    autoGrid->addWidget(FInterval, 1, 1);
    autoGrid->addWidget(new QLabel(QStringLiteral("Seconds"), automatic), 1, 2);
    autoGrid->addWidget(new QLabel(QStringLiteral("Proxies in the chain:"), automatic), 2, 0);
    FCount->setObjectName(QStringLiteral("edCount"));
    FCount->setFixedWidth(TFormParts::Scaled(FCount, 74));
    FCount->setToolTip(QStringLiteral("1 to 10, the proxies put in by hand included"));
    autoGrid->addWidget(FCount, 2, 1);
    autoGrid->setColumnStretch(3, 1);
    settingsGrid->addWidget(automatic, 3, 0, 1, 3);
    settingsGrid->setColumnStretch(2, 1);
    return settings;
}

QWidget *TfrmSocksChainRecord::BuildChainItems() {
    auto *current = new QWidget(this);
    QVBoxLayout *currentLayout = TitledPanel(current, "pnlChainItems", QSize(424, 229),
                                             QStringLiteral("Current proxies added to the chain"));
    // Five buttons share the row: each as wide as its caption needs (with
    // the theme's padding), the short ones no narrower than 64.
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(4);
    for (QAction *action : {FAdd, FEdit, FDelete, FMoveUp, FMoveDown}) {
        QPushButton *button = TFormParts::ActionButton(action, current);
        button->ensurePolished();
        button->setFixedWidth(std::max(TFormParts::Scaled(button, 64), button->sizeHint().width()));
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    currentLayout->addLayout(buttons);
    FItems->setObjectName(QStringLiteral("lvChainItems"));
    FItems->setColumnCount(4);
    FItems->setHeaderLabels({QStringLiteral("IP/Host"), QStringLiteral("Port"),
                             QStringLiteral("Status"), QStringLiteral("Speed")});
    const int widths[] = {150, 80, 100, 70};
    for (int i = 0; i < 4; ++i)
        FItems->setColumnWidth(i, TFormParts::Scaled(FItems, widths[i]));
    FItems->headerItem()->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
    TFormParts::PlainRows(FItems);
    currentLayout->addWidget(FItems, 1);
    FLastHopWarning->setObjectName(QStringLiteral("lblLastHopWarning"));
    FLastHopWarning->setWordWrap(true);
    FLastHopWarning->hide();
    currentLayout->addWidget(FLastHopWarning);
    return current;
}

QWidget *TfrmSocksChainRecord::BuildAvailable() {
    auto *available = new QWidget(this);
    QVBoxLayout *availableLayout = TitledPanel(available, "pnlAvailable", QSize(445, 432),
                                               QStringLiteral("Available Proxy List"));
    FPicker->lvProxies()->SetCheckboxes(true);
    FPicker->lvProxies()->SetNarrowColumns(true);
    availableLayout->addWidget(FPicker, 1);
    return available;
}

void TfrmSocksChainRecord::ConnectActions() {
    connect(FAdd, &QAction::triggered, this, [this] { Guard([this] { actAddExecute(); }); });
    connect(FEdit, &QAction::triggered, this, [this] { Guard([this] { actEditExecute(); }); });
    connect(FDelete, &QAction::triggered, this, [this] { Guard([this] { actDeleteExecute(); }); });
    connect(FMoveUp, &QAction::triggered, this, [this] { Guard([this] { actMoveExecute(-1); }); });
    connect(FMoveDown, &QAction::triggered, this, [this] { Guard([this] { actMoveExecute(1); }); });
    // The buttons follow the selection whenever the event loop falls idle.
    if (auto *dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            if (isVisible())
                UpdateActions();
        });
}

TChainForm TfrmSocksChainRecord::Form() const {
    return {FName->text(), FPort->text(), FInterval->text(), FAutoCreate->isChecked(),
            FCount->text()};
}

void TfrmSocksChainRecord::SetForm(const TChainForm &form) {
    FName->setText(form.Name);
    FPort->setText(form.Port);
    FInterval->setText(form.Interval);
    FAutoCreate->setChecked(form.AutoCreate);
    FCount->setText(form.Count);
}

void TfrmSocksChainRecord::Add() {
    ClearChainItems();
    const TChainForm form = FEditor.Add();
    FPicker->Load();
    SetForm(form);
    QCoreApplication::processEvents();
    UpdateActions();
}

bool TfrmSocksChainRecord::Edit(int32_t AUID) {
    ClearChainItems();
    TChainForm form = Form();
    const bool found = FEditor.Edit(AUID, form);
    FPicker->Load();
    if (!found)
        return false;
    SetForm(form);
    LoadChainItems();
    UpdateActions();
    return true;
}

void TfrmSocksChainRecord::ClearChainItems() {
    FItems->clear();
    FLastHopWarning->hide();
}

void TfrmSocksChainRecord::LoadChainItems() {
    ClearChainItems();
    TChainedProxyData chain;
    FEditor.LoadChainItems(chain);
    QList<QTreeWidgetItem *> rows;
    for (const auto &proxy : chain.FChainedItems) {
        auto *row = new QTreeWidgetItem;
        row->setText(0, proxy->FIPAddress);
        row->setText(1, QString::number(proxy->FPort));
        row->setText(2, ProxyStatusText(static_cast<int>(proxy->FStatus)));
        row->setText(3, SpeedToText(proxy->FSpeed));
        row->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
        row->setData(0, UIDRole, proxy->FUID);
        rows << row;
    }
    FItems->addTopLevelItems(rows);
    const QString warning = TChainEditor::LastHopWarning(chain);
    FLastHopWarning->setText(warning);
    FLastHopWarning->setVisible(!warning.isEmpty());
}

int32_t TfrmSocksChainRecord::SelectedItemUID() const {
    const std::vector<int32_t> uids = SelectedItemUIDs();
    return uids.empty() ? -1 : uids.front();
}

std::vector<int32_t> TfrmSocksChainRecord::SelectedItemUIDs() const {
    std::vector<int32_t> uids;
    for (int i = 0; i < FItems->topLevelItemCount(); ++i)
        if (FItems->topLevelItem(i)->isSelected())
            uids.push_back(FItems->topLevelItem(i)->data(0, UIDRole).toInt());
    return uids;
}

void TfrmSocksChainRecord::actAddExecute() {
    // The first "Add" creates the chain record: a form that cannot be saved
    // is told before the picker gives up its ticks.
    if (FEditor.FDataMode == TDataMode::dtmAdd) {
        const QString problem = FEditor.FormProblem(Form());
        if (!problem.isEmpty()) {
            FPrompts.ShowMessage(problem);
            return;
        }
    }
    std::vector<int32_t> picked;
    for (const TProxData *record : FPicker->GetSelected(true))
        picked.push_back(record->FUID);
    try {
        FEditor.AddPicked(Form(), picked);
    } catch (...) {
        LoadChainItems(); // what was added before the failure shows at once
        throw;
    }
    LoadChainItems();
}

void TfrmSocksChainRecord::actEditExecute() {
    const int32_t uid = SelectedItemUID();
    if (uid < 0)
        return;
    if (FOnEditProxy && FOnEditProxy(uid))
        LoadChainItems();
}

void TfrmSocksChainRecord::actDeleteExecute() {
    const std::vector<int32_t> uids = SelectedItemUIDs();
    if (uids.empty())
        return;
    try {
        FEditor.RemoveItems(uids);
    } catch (...) {
        LoadChainItems();
        throw;
    }
    LoadChainItems();
}

void TfrmSocksChainRecord::actMoveExecute(int delta) {
    const std::vector<int32_t> uids = SelectedItemUIDs();
    if (uids.empty())
        return;
    FEditor.MoveItems(uids, delta);
    LoadChainItems();
    // The moved rows stay selected, so that they can be moved on.
    for (int i = 0; i < FItems->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = FItems->topLevelItem(i);
        const int32_t uid = row->data(0, UIDRole).toInt();
        row->setSelected(std::find(uids.begin(), uids.end(), uid) != uids.end());
    }
}

void TfrmSocksChainRecord::OkClick() {
    QString message;
    switch (FEditor.Ok(Form(), FItems->topLevelItemCount() > 0, message)) {
    case TChainEditor::TOkResult::Refused:
        FPrompts.ShowMessage(message);
        break;
    case TChainEditor::TOkResult::Accepted:
        accept();
        break;
    case TChainEditor::TOkResult::Ignored:
        break;
    }
}

void TfrmSocksChainRecord::reject() {
    Guard([this] { FEditor.Cancel(); });
    QDialog::reject();
}

void TfrmSocksChainRecord::done(int r) {
    FEditor.Closed();
    QDialog::done(r);
}

void TfrmSocksChainRecord::UpdateActions() {
    const TChainForm form = Form();
    FAdd->setEnabled(TChainEditor::AddEnabled(form));
    const bool itemCommands =
        TChainEditor::ItemCommandsEnabled(form, !FItems->selectedItems().isEmpty());
    FEdit->setEnabled(itemCommands);
    FDelete->setEnabled(itemCommands);
    FMoveUp->setEnabled(itemCommands);
    FMoveDown->setEnabled(itemCommands);
}

void TfrmSocksChainRecord::Guard(const std::function<void()> &command) {
    TFormParts::Guard(FPrompts, command);
}
