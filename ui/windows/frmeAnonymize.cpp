#include "ui/windows/frmeAnonymize.h"

#include "platform/Error.h"
#include "platform/FdLimit.h"
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
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

namespace {

constexpr int UIDRole = Qt::UserRole + 1;

bool StartDetached(const QString &program, const QStringList &arguments, QString &error) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    // The program it runs gets the descriptor limit the user had, not the
    // one this process raised for its checks.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(DescriptorLimitVariable),
                       QString::number(UserDescriptorLimit()));
    process.setProcessEnvironment(environment);
    if (process.startDetached())
        return true;
    error = process.errorString();
    return false;
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
                            QStringLiteral("Port"), QStringLiteral("No. Of Proxies")});
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
    FOnStartDetached = StartDetached;
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
    QStringList failures;
    for (int32_t uid : SelectedUIDs()) {
        const std::optional<TAnonymProgram> program = FStore.FindAnonym(uid);
        if (!program)
            throw EVelmoraError("error Anonymized program data not found");
        FStore.AnonymDelete(uid);
        FStore.AnonymSaveData();
        if (FOnHandOff)
            FOnHandOff();
        // The row is gone whatever becomes of its menu entry; an entry that
        // stays is named so that it can be removed by hand.
        try {
            const QString path = program ? TProgramMenuEntry::RemoveFor(*program) : QString();
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
        const QStringList arguments = chains.RunArguments(program);
        QString error;
        if (FOnStartDetached && FOnStartDetached(FVelmoraPath, arguments, error))
            Report(QStringLiteral("Launched \"%1\" through chain \"%2\" (port %3)")
                       .arg(program.Filename, view.Chain->Name)
                       .arg(view.Chain->Port));
        else
            Report(QStringLiteral("Could not launch \"%1\": %2").arg(program.Filename, error));
    });
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
