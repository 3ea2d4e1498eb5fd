#include "ui/windows/frmeSocksChain.h"

#include "check/ChainTestThd.h"
#include "engine/chain/ChainManager.h"
#include "platform/Clock.h"
#include "store/dmProxyData.h"
#include "ui/logic/ChainPageLogic.h"
#include "ui/logic/TextContrast.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/FormParts.h"
#include "ui/windows/Pictures.h"

#include <QAction>
#include <QBrush>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// A chain row owns the chain's record and shows its live state.
class TChainListItem : public QTreeWidgetItem {
public:
    static constexpr int Type = UserType + 1;

    explicit TChainListItem(std::unique_ptr<TChainedProxyData> record)
        : QTreeWidgetItem(Type), FRecord(std::move(record)) {
        const TChainedProxyData &r = *FRecord;
        setText(TfrmeSocksChain::colName, r.FDesc);
        setText(TfrmeSocksChain::colPort, QString::number(r.FPort));
    }
    const TChainedProxyData &Record() const { return *FRecord; }
    TChainRunState RunState() const { return FState; }

    void SetState(const TChainState &state) {
        const bool colourChanged = state.State != FState;
        FState = state.State;
        setText(TfrmeSocksChain::colStatus, ChainStateText(state));
        setToolTip(TfrmeSocksChain::colStatus, TChainPageLogic::StateToolTip(state));
        if (colourChanged)
            emitDataChanged();
    }

    QVariant data(int column, int role) const override {
        if (role == Qt::BackgroundRole || role == Qt::ForegroundRole) {
            const QColor colour = TChainPageLogic::StateColour(FState);
            if (!colour.isValid())
                return {};
            return QBrush(role == Qt::BackgroundRole ? colour : TTextContrast::TextOn(colour));
        }
        return QTreeWidgetItem::data(column, role);
    }

private:
    std::unique_ptr<TChainedProxyData> FRecord;
    TChainRunState FState = TChainRunState::Stopped;
};

TChainListItem *ChainRow(QTreeWidgetItem *row) {
    return row && row->type() == TChainListItem::Type ? static_cast<TChainListItem *>(row)
                                                      : nullptr;
}

QAction *Command(QObject *parent, const char *name, const QString &caption, const char *picture) {
    auto *action = new QAction(caption, parent);
    action->setObjectName(QString::fromLatin1(name));
    action->setIcon(TPictures::Icon(QLatin1String(picture)));
    return action;
}

QString TestUnderWayMessage(const QString &name) {
    return QStringLiteral("Test Chain is under way on chain \"%1\"; wait until it ends").arg(name);
}

} // namespace

TfrmeSocksChain::TfrmeSocksChain(TdmProxyData &store, TChainManager &chains, TUiPrompts &prompts,
                                 QWidget *parent)
    : QFrame(parent), FStore(store), FChains(chains), FPrompts(prompts),
      FList(new QTreeWidget(this)), FSelectAll(new QAction(QStringLiteral("Select All"), this)),
      FStart(Command(this, "actStartChain", QStringLiteral("Start"), "startchain")),
      FStop(Command(this, "actStopChain", QStringLiteral("Stop"), "stopchain")),
      FRestart(Command(this, "actRestartChain", QStringLiteral("Restart"), "restartchain")),
      FTest(Command(this, "actTestChain", QStringLiteral("Test Chain"), "testchain")),
      FStatesTimer(new QTimer(this)) {
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
    FList->setColumnWidth(colName, TFormParts::Scaled(FList, 200));
    FList->setColumnWidth(colPort, TFormParts::Scaled(FList, 70));
    FList->setColumnWidth(colStatus, TFormParts::Scaled(FList, 320));
    FList->setColumnWidth(colLastChecked, TFormParts::Scaled(FList, 140));
    FList->header()->setStretchLastSection(false);
    TFormParts::PlainRows(FList);
    FList->setToolTip(QStringLiteral("Right-Click for menu"));

    FSelectAll->setObjectName(QStringLiteral("actSelectAll"));
    FSelectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    FSelectAll->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(FSelectAll, &QAction::triggered, FList, &QTreeWidget::selectAll);
    addAction(FSelectAll);

    auto guarded = [this](QAction *action, void (TfrmeSocksChain::*command)()) {
        connect(action, &QAction::triggered, this, [this, command] {
            TFormParts::Guard(FPrompts, [this, command] { (this->*command)(); });
        });
    };
    guarded(FStart, &TfrmeSocksChain::StartSelected);
    guarded(FStop, &TfrmeSocksChain::StopSelected);
    guarded(FRestart, &TfrmeSocksChain::RestartSelected);
    guarded(FTest, &TfrmeSocksChain::TestSelected);
    auto *separator = new QAction(this);
    separator->setSeparator(true);
    FList->setContextMenuPolicy(Qt::ActionsContextMenu);
    FList->addActions({FStart, FStop, FRestart, FTest, separator, FSelectAll});
    connect(FList, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateActions(); });

    FStatesTimer->setObjectName(QStringLiteral("tmrStates"));
    FStatesTimer->setInterval(RefreshMs);
    connect(FStatesTimer, &QTimer::timeout, this, [this] { RefreshStates(); });

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(title);
    layout->addWidget(FList);
    UpdateActions();
}

void TfrmeSocksChain::AddMenuActions(QAction *edit, QAction *remove) {
    auto *separator = new QAction(this);
    separator->setSeparator(true);
    FList->insertActions(FSelectAll, {edit, remove, separator});
}

const TChainedProxyData *TfrmeSocksChain::RecordOf(const QTreeWidgetItem *row) {
    if (!row || row->type() != TChainListItem::Type)
        return nullptr;
    return &static_cast<const TChainListItem *>(row)->Record();
}

void TfrmeSocksChain::ClearChainList() {
    FList->clear();
}

void TfrmeSocksChain::PopulatechainList() {
    ClearChainList();
    QList<QTreeWidgetItem *> rows;
    for (int32_t uid : FStore.ChainUIDs()) {
        auto record = std::make_unique<TChainedProxyData>(FStore.GetChain(uid));
        if (record->FHidden)
            continue;
        auto *row = new TChainListItem(std::move(record));
        row->SetState(FChains.State(uid));
        ShowLastChecked(row, uid);
        rows << row;
    }
    FList->addTopLevelItems(rows);
    UpdateActions();
}

QTreeWidgetItem *TfrmeSocksChain::RowOf(int32_t uid) const {
    for (int i = 0; i < FList->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = FList->topLevelItem(i);
        if (const TChainedProxyData *record = RecordOf(row); record && record->FUID == uid)
            return row;
    }
    return nullptr;
}

QString TfrmeSocksChain::NameOf(int32_t uid) const {
    const TChainedProxyData *record = RecordOf(RowOf(uid));
    return record ? record->FDesc : QString::number(uid);
}

void TfrmeSocksChain::ShowLastChecked(QTreeWidgetItem *row, int32_t uid) {
    const TChainedProxyData chain = FStore.GetChain(uid);
    if (chain.FLastChecked == 0) { // never tested
        row->setText(colLastChecked, QString());
        row->setToolTip(colLastChecked, QString());
        return;
    }
    row->setText(
        colLastChecked,
        TClock::ToQDateTime(chain.FLastChecked).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")));
    // The chain's status is the last test's outcome.
    row->setToolTip(colLastChecked, QStringLiteral("Test Chain: ") +
                                        ProxyStatusText(static_cast<int>(chain.FStatus)));
}

int32_t TfrmeSocksChain::GetSelected() const {
    const std::vector<int32_t> uids = SelectedUIDs();
    return uids.empty() ? -1 : uids.front();
}

std::vector<int32_t> TfrmeSocksChain::SelectedUIDs() const {
    std::vector<int32_t> uids;
    for (int i = 0; i < FList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = FList->topLevelItem(i);
        if (row->isSelected())
            uids.push_back(RecordOf(row)->FUID);
    }
    return uids;
}

void TfrmeSocksChain::DeleteSelected() {
    const std::vector<int32_t> uids = SelectedUIDs();
    if (uids.empty())
        return;
    if (!MayStop(uids))
        return;
    if (!FPrompts.AskYesNo(QStringLiteral("Delete selected Proxy Chain(s)?")))
        return;
    try {
        for (int32_t uid : uids)
            FChains.StopChain(uid);
        FStore.DeleteChains(uids); // one pass and one save
    } catch (...) {
        PopulatechainList(); // what is left before the failure is told
        throw;
    }
    PopulatechainList();
}

// ---- live state -----------------------------------------------------------------

void TfrmeSocksChain::RefreshStates() {
    for (int i = 0; i < FList->topLevelItemCount(); ++i)
        if (TChainListItem *row = ChainRow(FList->topLevelItem(i)))
            row->SetState(FChains.State(row->Record().FUID));
}

void TfrmeSocksChain::ShowState(const TChainState &state) {
    if (TChainListItem *row = ChainRow(RowOf(state.UID)))
        row->SetState(state);
    UpdateActions();
}

void TfrmeSocksChain::showEvent(QShowEvent *e) {
    QFrame::showEvent(e);
    RefreshStates();
    FStatesTimer->start();
}

void TfrmeSocksChain::hideEvent(QHideEvent *e) {
    FStatesTimer->stop();
    QFrame::hideEvent(e);
}

// ---- commands -------------------------------------------------------------------

bool TfrmeSocksChain::MayStop(const std::vector<int32_t> &uids) {
    if (FTestedUID == 0)
        return true;
    if (!uids.empty() && std::find(uids.begin(), uids.end(), FTestedUID) == uids.end())
        return true;
    FPrompts.ShowMessage(TestUnderWayMessage(NameOf(FTestedUID)));
    return false;
}

void TfrmeSocksChain::StartSelected() {
    StartChains(SelectedUIDs());
}

void TfrmeSocksChain::StopSelected() {
    StopChains(SelectedUIDs());
}

void TfrmeSocksChain::StartChains(const std::vector<int32_t> &uids) {
    for (int32_t uid : uids)
        FChains.StartChain(uid); // a refusal shows in the chain's state
    RefreshStates();
    UpdateActions();
}

void TfrmeSocksChain::StopChains(const std::vector<int32_t> &uids) {
    if (uids.empty() || !MayStop(uids))
        return;
    for (int32_t uid : uids)
        if (FChains.State(uid).State == TChainRunState::Running)
            FChains.StopChain(uid);
    RefreshStates();
    UpdateActions();
}

void TfrmeSocksChain::RestartSelected() {
    const std::vector<int32_t> uids = SelectedUIDs();
    if (uids.empty() || !MayStop(uids))
        return;
    for (int32_t uid : uids)
        FChains.RestartChain(uid);
    RefreshStates();
    UpdateActions();
}

void TfrmeSocksChain::TestSelected() {
    const int32_t uid = GetSelected();
    if (uid < 0)
        return;
    if (FTestedUID != 0) {
        FPrompts.ShowMessage(TestUnderWayMessage(NameOf(FTestedUID)));
        return;
    }
    std::shared_ptr<TProxyChain> chain = FChains.Share(uid);
    if (!chain || !chain->Active()) {
        FPrompts.ShowMessage(
            QStringLiteral("Chain \"%1\" is not running: start it, then test it").arg(NameOf(uid)));
        return;
    }
    FTestedUID = uid;
    Activity(
        QStringLiteral("Testing chain \"%1\" on port %2...").arg(NameOf(uid)).arg(chain->Port()));
    auto *task = new TChainTestThd;
    task->FChain = chain;
    task->FTimeoutMs = TestTimeoutMs;
    QPointer<TfrmeSocksChain> self(this);
    task->OnTestDone = [self, uid](const TChainTestResult &result) {
        if (self)
            self->TestDone(uid, result);
    };
    task->Start();
    UpdateActions();
}

void TfrmeSocksChain::TestDone(int32_t uid, const TChainTestResult &result) {
    FTestedUID = 0;
    UpdateActions();
    const QStringList lines = TChainTest::ReportLines(result);
    for (const QString &line : lines)
        Activity(line);
    TFormParts::Guard(FPrompts, [&] {
        TChainTest::Record(FStore, uid, result);
        if (QTreeWidgetItem *row = RowOf(uid))
            ShowLastChecked(row, uid);
    });
    if (TChainListItem *row = ChainRow(RowOf(uid)))
        row->SetState(FChains.State(uid));
    if (FOnTestReport)
        FOnTestReport(lines);
    else
        FPrompts.ShowMessage(lines.join(QLatin1Char('\n')));
}

bool TfrmeSocksChain::WaitForTest(int timeoutMs) {
    QElapsedTimer waited;
    waited.start();
    while (FTestedUID != 0 && waited.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return FTestedUID == 0;
}

void TfrmeSocksChain::Activity(const QString &line) {
    if (FOnActivity)
        FOnActivity(line);
}

void TfrmeSocksChain::UpdateActions() {
    TChainSelection selection;
    selection.TestUnderWay = FTestedUID != 0;
    for (int32_t uid : SelectedUIDs()) {
        ++selection.Selected;
        if (const TProxyChain *chain = FChains.Find(uid); chain && chain->Active())
            ++selection.Running;
        if (uid == FTestedUID)
            selection.TestedSelected = true;
    }
    FStart->setEnabled(TChainPageLogic::StartEnabled(selection));
    FStop->setEnabled(TChainPageLogic::StopEnabled(selection));
    FRestart->setEnabled(TChainPageLogic::RestartEnabled(selection));
    FTest->setEnabled(TChainPageLogic::TestEnabled(selection));
}
