#include "ui/windows/frmeAnonymize.h"

#include "platform/Error.h"
#include "platform/FdLimit.h"
#include "platform/StartReport.h"
#include "store/dmProxyData.h"
#include "ui/logic/ProgramChains.h"
#include "ui/logic/ProgramMenuEntry.h"
#include "ui/logic/TextContrast.h"
#include "ui/windows/FormParts.h"

#include <QAction>
#include <QBrush>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int UIDRole = Qt::UserRole + 1;

// Reads what a started `velmora run` says about its start (TStartReport)
// without blocking the window: the first line, or the end of the
// connection, gives the outcome once; the watch then goes.
class TStartWatch : public QObject {
public:
    TStartWatch(int fd, std::function<void(const QString &)> done, QObject *parent)
        : QObject(parent), FFd(fd), FDone(std::move(done)),
          FNotifier(new QSocketNotifier(fd, QSocketNotifier::Read, this)) {
        connect(FNotifier, &QSocketNotifier::activated, this, [this] { Read(); });
    }
    ~TStartWatch() override { ::close(FFd); }

private:
    void Read() {
        char buffer[512];
        const ssize_t n = ::recv(FFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n > 0)
            FText.append(buffer, static_cast<size_t>(n));
        if (n > 0 && FText.find('\n') == std::string::npos && FText.size() < 4096)
            return;
        FNotifier->setEnabled(false);
        const auto done = std::move(FDone);
        const std::string reason = TStartReport::Reason(FText);
        deleteLater();
        done(QString::fromStdString(reason));
    }

    int FFd;
    std::function<void(const QString &)> FDone;
    QSocketNotifier *FNotifier;
    std::string FText;
};

// Starts `program` detached with one end of a socket pair named in
// StartReportVariable; `started` is told later what came back through the
// other end.
bool StartDetached(const QString &program, const QStringList &arguments, QString &error,
                   const std::function<void(const QString &failure)> &started, QObject *owner) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    // The program it runs gets the descriptor limit the user had, not the
    // one this process raised for its checks.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(DescriptorLimitVariable),
                       QString::number(UserDescriptorLimit()));
    environment.insert(QString::fromLatin1(StartReportVariable), QString::number(pair[1]));
    process.setProcessEnvironment(environment);
    // Inherited by this start only: close-on-exec again right after.
    ::fcntl(pair[1], F_SETFD, 0);
    const bool ok = process.startDetached();
    ::close(pair[1]);
    if (!ok) {
        ::close(pair[0]);
        error = process.errorString();
        return false;
    }
    new TStartWatch(pair[0], started, owner);
    return true;
}

} // namespace

TfrmeAnonymize::TfrmeAnonymize(TdmProxyData &store, QWidget *parent)
    : QFrame(parent), FStore(store), FList(new QTreeWidget(this)),
      FAdd(new QAction(QStringLiteral("Add"), this)),
      FEdit(new QAction(QStringLiteral("Edit"), this)),
      FDelete(new QAction(QStringLiteral("Delete"), this)),
      FSelectAll(new QAction(QStringLiteral("Select All"), this)),
      FLaunch(new QAction(QStringLiteral("Launch"), this)),
      FAddToMenu(new QAction(QStringLiteral("Add to menu"), this)) {
    setObjectName(QStringLiteral("frmeAnonymize"));
    FList->setObjectName(QStringLiteral("lvPrograms"));
    FList->setColumnCount(ColumnCount);
    FList->setHeaderLabels({QStringLiteral("Application"), QStringLiteral("Chain"),
                            QStringLiteral("Port"), QStringLiteral("No. Of Proxies"),
                            QStringLiteral("Launch")});
    FList->setColumnWidth(colApplication, TFormParts::Scaled(FList, 150));
    FList->setColumnWidth(colChain, TFormParts::Scaled(FList, 260));
    FList->setColumnWidth(colPort, TFormParts::Scaled(FList, 60));
    FList->header()->setStretchLastSection(false);
    TFormParts::PlainRows(FList);
    FList->setContextMenuPolicy(Qt::ActionsContextMenu);

    FAdd->setObjectName(QStringLiteral("actAdd"));
    FEdit->setObjectName(QStringLiteral("actEdit"));
    FDelete->setShortcut(QKeySequence(Qt::Key_Delete));
    FDelete->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    FDelete->setObjectName(QStringLiteral("actDelete"));
    FSelectAll->setObjectName(QStringLiteral("actSelectAll"));
    FLaunch->setObjectName(QStringLiteral("actLaunch"));
    FLaunch->setToolTip(QStringLiteral("Run the selected programs through their chains"));
    FAddToMenu->setObjectName(QStringLiteral("actAddToMenu"));
    FAddToMenu->setToolTip(
        QStringLiteral("Put the selected programs in the desktop's menu, each to run through "
                       "its chain"));
    FSelectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    FSelectAll->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    auto *separator = new QAction(this);
    separator->setSeparator(true);
    FList->addActions({FAdd, FEdit, FDelete, FLaunch, FAddToMenu, separator, FSelectAll});
    addAction(FSelectAll);

    connect(FAdd, &QAction::triggered, this, [this] { Guard([this] { actAddExecute(); }); });
    connect(FEdit, &QAction::triggered, this, [this] { Guard([this] { actEditExecute(); }); });
    connect(FDelete, &QAction::triggered, this, [this] { Guard([this] { actDeleteExecute(); }); });
    connect(FLaunch, &QAction::triggered, this, [this] { Guard([this] { actLaunchExecute(); }); });
    connect(FAddToMenu, &QAction::triggered, this,
            [this] { Guard([this] { actAddToMenuExecute(); }); });
    connect(FSelectAll, &QAction::triggered, FList, &QTreeWidget::selectAll);
    FOnStartDetached = [this](const QString &program, const QStringList &arguments, QString &error,
                              const std::function<void(const QString &)> &started) {
        return StartDetached(program, arguments, error, started, this);
    };
    FVelmoraPath = QCoreApplication::applicationFilePath();

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(4, 4, 4, 4);
    buttons->setSpacing(6);
    buttons->addWidget(TFormParts::ActionButton(FAdd, this));
    buttons->addWidget(TFormParts::ActionButton(FEdit, this));
    buttons->addWidget(TFormParts::ActionButton(FDelete, this));
    buttons->addSpacing(12);
    buttons->addWidget(TFormParts::ActionButton(FLaunch, this));
    QPushButton *toMenu = TFormParts::ActionButton(FAddToMenu, this);
    // Its caption is longer than the others': room for it and the theme's padding.
    toMenu->setFixedWidth(std::max({toMenu->width(), toMenu->sizeHint().width(),
                                    toMenu->fontMetrics().horizontalAdvance(toMenu->text()) + 30}));
    buttons->addWidget(toMenu);
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
    // A program that would not reach its chain is marked red, as the program
    // dialog shows its warning, in a red that reads on the list's background.
    const QColor marked = TTextContrast::WarningOn(FList->palette().color(QPalette::Base));
    FList->clear();
    const TProgramChains chains = TProgramChains::FromStore(FStore);
    QList<QTreeWidgetItem *> rows;
    for (const TAnonymProgram &program : FStore.AnonymizedPrograms()) {
        auto *item = new QTreeWidgetItem;
        item->setText(colApplication, program.Filename);
        if (program.NoOfProxy)
            item->setText(colNoOfProxies, QString::number(*program.NoOfProxy));
        item->setData(colApplication, UIDRole, QVariant::fromValue<qint64>(program.UID));
        const TProgramChainView view = chains.View(program);
        item->setText(colChain, view.ChainText);
        item->setText(colPort, view.PortText);
        if (const auto launch = FLaunchStates.find(program.UID); launch != FLaunchStates.end())
            item->setText(colLaunch, launch->second);
        for (int column = 0; column < ColumnCount; ++column) {
            item->setToolTip(column, view.ToolTip);
            if (view.Marked())
                item->setForeground(column, QBrush(marked));
        }
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
    const std::optional<TAnonymProgram> before = TProgramChains::Program(FStore, uids.front());
    if (FOnEditProgram && FOnEditProgram(uids.front())) {
        RefreshList();
        if (FOnHandOff)
            FOnHandOff();
        const std::optional<TAnonymProgram> after = TProgramChains::Program(FStore, uids.front());
        if (before && after) {
            const QString path = TProgramMenuEntry::Follow(
                *before, *after, TProgramChains::FromStore(FStore), FVelmoraPath);
            if (!path.isEmpty())
                Report(QStringLiteral("Menu entry rewritten: %1").arg(path));
        }
    }
}

void TfrmeAnonymize::actDeleteExecute() {
    std::vector<TAnonymProgram> programs;
    const std::vector<int32_t> uids = SelectedUIDs();
    for (int32_t uid : uids) {
        std::optional<TAnonymProgram> program = FStore.FindAnonym(uid);
        if (!program)
            throw EVelmoraError("error Anonymized program data not found");
        programs.push_back(std::move(*program));
    }
    if (programs.empty())
        return;
    // One pass, one save and one hand-off whatever the selection's size.
    FStore.AnonymDeleteAll(uids);
    FStore.AnonymSaveData();
    if (FOnHandOff)
        FOnHandOff();
    // The rows are gone whatever becomes of their menu entries; an entry
    // that stays is named so that it can be removed by hand.
    QStringList failures;
    for (const TAnonymProgram &program : programs) {
        try {
            const QString path = TProgramMenuEntry::RemoveFor(program);
            if (!path.isEmpty())
                Report(QStringLiteral("Menu entry removed: %1").arg(path));
        } catch (const std::exception &e) {
            failures << QString::fromUtf8(e.what());
        }
    }
    RefreshList();
    if (!failures.isEmpty())
        throw EVelmoraError(failures.join(u'\n'));
}

void TfrmeAnonymize::ForEachSelectedProgram(
    const QString &deed,
    const std::function<void(const TAnonymProgram &, const TProgramChains &)> &act) {
    const TProgramChains chains = TProgramChains::FromStore(FStore);
    QStringList refusals;
    for (int32_t uid : SelectedUIDs()) {
        const std::optional<TAnonymProgram> program = TProgramChains::Program(FStore, uid);
        if (!program)
            throw EVelmoraError("error Anonymized program data not found");
        if (chains.View(*program).Marked())
            refusals << chains.Refusal(*program, deed);
        else
            act(*program, chains);
    }
    if (!refusals.isEmpty() && FOnMessage)
        FOnMessage(refusals.join(u'\n'));
}

void TfrmeAnonymize::actLaunchExecute() {
    ForEachSelectedProgram(QStringLiteral("launched"), [this](const TAnonymProgram &program,
                                                              const TProgramChains &chains) {
        const TProgramChainView view = chains.View(program);
        const QString launched = QStringLiteral("Launched \"%1\" through chain \"%2\" (port %3)")
                                     .arg(program.Filename, view.Chain->Name)
                                     .arg(view.Chain->Port);
        const QString failed = QStringLiteral("Could not launch \"%1\": ").arg(program.Filename);
        const int32_t uid = program.UID;
        // Success is told only once `velmora run` says the program runs.
        auto outcome = [this, uid, launched, failed](const QString &failure) {
            if (failure.isEmpty()) {
                ShowLaunch(uid, QStringLiteral("started"));
                Report(launched);
                return;
            }
            ShowLaunch(uid, QStringLiteral("failed: ") + failure);
            Report(failed + failure);
            if (FOnError)
                FOnError(failed + failure);
        };
        ShowLaunch(uid, QStringLiteral("starting"));
        QString error;
        if (!FOnStartDetached ||
            !FOnStartDetached(FVelmoraPath, chains.RunArguments(program), error, outcome))
            outcome(error.isEmpty() ? QStringLiteral("it could not be started") : error);
    });
}

void TfrmeAnonymize::ShowLaunch(int32_t uid, const QString &state) {
    FLaunchStates[uid] = state;
    for (int i = 0; i < FList->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = FList->topLevelItem(i);
        if (item->data(colApplication, UIDRole).toLongLong() == uid)
            item->setText(colLaunch, state);
    }
}

void TfrmeAnonymize::actAddToMenuExecute() {
    ForEachSelectedProgram(
        QStringLiteral("added to the menu"),
        [this](const TAnonymProgram &program, const TProgramChains &chains) {
            const QString path = TProgramMenuEntry::Path(program.Filename);
            if (TProgramMenuEntry::OwnerOf(program) == TProgramMenuEntry::TOwner::oOther &&
                !(FOnAsk && FOnAsk(QStringLiteral("%1 exists and is not the menu entry of \"%2\". "
                                                  "Replace it?")
                                       .arg(path, program.Filename))))
                return;
            TProgramMenuEntry::Write(program, chains, FVelmoraPath);
            Report(QStringLiteral("Menu entry written: %1").arg(path));
        });
}

void TfrmeAnonymize::UpdateActions() {
    const bool any = !FList->selectedItems().isEmpty();
    FEdit->setEnabled(any);
    FDelete->setEnabled(any);
    FLaunch->setEnabled(any);
    FAddToMenu->setEnabled(any);
}

void TfrmeAnonymize::Report(const QString &line) {
    if (FOnActivity)
        FOnActivity(line);
}

void TfrmeAnonymize::Guard(const std::function<void()> &command) {
    try {
        command();
    } catch (const std::exception &e) {
        if (FOnError)
            FOnError(QString::fromUtf8(e.what()));
    }
}
