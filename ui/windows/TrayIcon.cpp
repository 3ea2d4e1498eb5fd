#include "ui/windows/TrayIcon.h"

#include "ui/windows/Pictures.h"

#include "engine/chain/ChainManager.h"
#include "ui/logic/TrayLogic.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QWidget>

TTrayIcon::TTrayIcon(TChainManager &chains, QWidget &window, QAction *startStopAll, QAction *quit)
    : QSystemTrayIcon(&window), FChains(chains), FWindow(window), FMenu(new QMenu) {
    FMenu->setObjectName(QStringLiteral("mnuTray"));
    FToggleWindow = FMenu->addAction(TTrayLogic::WindowCaption(window.isVisible()));
    FToggleWindow->setObjectName(QStringLiteral("actTrayToggleWindow"));
    FMenu->addSeparator();
    FChainsEnd = FMenu->addSeparator();
    FMenu->addAction(startStopAll);
    FMenu->addSeparator();
    FMenu->addAction(quit);
    setContextMenu(FMenu);

    QObject::connect(FToggleWindow, &QAction::triggered, FMenu, [this] { ToggleWindow(); });
    QObject::connect(FMenu, &QMenu::aboutToShow, FMenu, [this] { Refresh(); });
    QObject::connect(this, &QSystemTrayIcon::activated, FMenu, [this](ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            ToggleWindow();
    });
    Refresh();
}

TTrayIcon::~TTrayIcon() {
    setContextMenu(nullptr);
    delete FMenu;
}

QIcon TTrayIcon::Picture(bool chainsRunning) {
    const QIcon icon = TPictures::Icon(QStringLiteral("appicon"));
    if (chainsRunning)
        return icon;
    // The greyed look, at the sizes trays ask for.
    QIcon idle;
    for (const int side : {16, 22, 24, 32, 48, 64})
        idle.addPixmap(icon.pixmap(QSize(side, side), QIcon::Disabled));
    return idle;
}

void TTrayIcon::Refresh() {
    const std::vector<TChainState> states = FChains.States();
    const bool running = TTrayLogic::RunningCount(states) > 0;
    if (!FPictureSet || running != FShowsRunning) {
        setIcon(Picture(running));
        FShowsRunning = running;
        FPictureSet = true;
    }
    setToolTip(TTrayLogic::ToolTip(states));
    FToggleWindow->setText(TTrayLogic::WindowCaption(FWindow.isVisible()));
    RebuildChainEntries();
}

void TTrayIcon::ToggleWindow() {
    if (FWindow.isVisible()) {
        FWindow.hide();
    } else {
        FWindow.showNormal();
        FWindow.raise();
        FWindow.activateWindow();
    }
    FToggleWindow->setText(TTrayLogic::WindowCaption(FWindow.isVisible()));
}

QList<QAction *> TTrayIcon::ChainActions() const {
    QList<QAction *> entries;
    for (QAction *action : FMenu->actions())
        if (action->property("chainUID").isValid())
            entries << action;
    return entries;
}

void TTrayIcon::RebuildChainEntries() {
    for (QAction *action : ChainActions()) {
        FMenu->removeAction(action);
        action->deleteLater();
    }
    for (const TChainState &state : FChains.States()) {
        auto *entry = new QAction(TTrayLogic::ChainCaption(state), FMenu);
        entry->setProperty("chainUID", state.UID);
        entry->setCheckable(true);
        const bool running = state.State == TChainRunState::Running;
        entry->setChecked(running);
        const int32_t uid = state.UID;
        QObject::connect(entry, &QAction::triggered, FMenu, [this, uid, running] {
            if (FOnToggleChain)
                FOnToggleChain(uid, !running);
        });
        FMenu->insertAction(FChainsEnd, entry);
    }
}
