#pragma once
// The texts of the tray icon and the rules of the close question, without a
// tray: the icon's tooltip ("Velmora Anonymizer" over "2 chains running"),
// a chain's menu entry, the Show/Hide entry, and what closing the window does
// given the chains' open connections, whether a tray is there and the answer
// stored under TWindowSettings::CloseAnswer.

#include "engine/chain/ChainState.h"
#include "ui/logic/UiPrompts.h"

#include <QString>
#include <vector>

class TTrayLogic {
public:
    // Chains running among `states`.
    static int RunningCount(const std::vector<TChainState> &states);
    // Client connections the running chains carry together.
    static int OpenConnections(const std::vector<TChainState> &states);
    // "Velmora Anonymizer", then "No chain running", "1 chain running",
    // "N chains running".
    static QString ToolTip(const std::vector<TChainState> &states);
    // A chain's menu entry: its name (an "&" in it shown as such, not as a
    // mnemonic), its port and its state: "Work (port 1080): running (2
    // connections)".
    static QString ChainCaption(const TChainState &state);
    // "&Hide Window" while the window is visible, else "&Show Window".
    static QString WindowCaption(bool windowVisible);
};

// What closing the window does.
enum class TCloseStep { Ask, Keep, Quit };

class TCloseLogic {
public:
    // The stored answer's values.
    static constexpr const char *KeepValue = "keep";
    static constexpr const char *QuitValue = "quit";

    // A stored "keep" hides the window while a tray is there; a stored "quit"
    // ends the program. Otherwise open connections are asked about and
    // without any the program ends as it always did.
    static TCloseStep Decide(const QString &storedAnswer, int openConnections, bool trayAvailable);
    // The value "Don't ask again" stores for `choice`; empty for Cancel,
    // which is never stored.
    static QString StoredValue(TCloseChoice choice);
    // "Chains are carrying 3 open connections." with a tray; without one
    // "... Quit and drop them?" follows.
    static QString QuestionText(int openConnections, bool trayAvailable);
};
