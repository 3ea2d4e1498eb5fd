#pragma once
// The tray icon of the main window, made only where the desktop has a tray.
// Its picture and tooltip tell whether chains run; its menu holds "Show
// Window" / "Hide Window", one entry per chain with the chain's state
// (ticked while it runs; a click starts or stops it through FOnToggleChain),
// the window's "Start All" / "Stop All" and "Quit". A left click shows or
// hides the window. Refresh reads the chains' states again; the menu also
// does so each time it opens, for the connection counts.

#include <QSystemTrayIcon>
#include <cstdint>
#include <functional>

class QAction;
class QMenu;
class QWidget;
class TChainManager;

class TTrayIcon : public QSystemTrayIcon {
public:
    // `startStopAll` and `quit` are the window's own actions.
    TTrayIcon(TChainManager &chains, QWidget &window, QAction *startStopAll, QAction *quit);
    ~TTrayIcon() override;

    // The picture: the program's icon while a chain runs, greyed while none
    // does. The one place that names the icon file.
    static QIcon Picture(bool chainsRunning);

    // Picture, tooltip and menu as the chains are now.
    void Refresh();
    // Shows the window when hidden (brought forward), hides it when shown.
    void ToggleWindow();
    // True while the picture says that chains run.
    bool ShowsRunning() const { return FShowsRunning; }

    QMenu *Menu() const { return FMenu; }
    QAction *actToggleWindow() const { return FToggleWindow; }
    // The chain entries, in table order.
    QList<QAction *> ChainActions() const;

    // A chain entry was clicked: start the chain when `start`, else stop it.
    std::function<void(int32_t uid, bool start)> FOnToggleChain;

private:
    void RebuildChainEntries();

    TChainManager &FChains;
    QWidget &FWindow;
    QMenu *FMenu;
    QAction *FToggleWindow;
    QAction *FChainsEnd; // the separator after the chain entries
    bool FShowsRunning = false;
    bool FPictureSet = false;
};
