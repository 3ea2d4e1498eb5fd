#pragma once
// The chain page's rules without its widgets: how a chain row shows its live
// state (text, background, tooltip), when each chain command is enabled, and
// the caption of the proxy page's "Stop All" / "Start All".

#include "engine/chain/ChainState.h"

#include <QColor>
#include <QString>

// The chain list's selection as the enabled rules see it.
struct TChainSelection {
    int Selected = 0;            // rows selected
    int Running = 0;             // of them, chains running
    bool TestUnderWay = false;   // "Test Chain" runs (on any chain)
    bool TestedSelected = false; // the chain under test is among the selected
};

class TChainPageLogic {
public:
    // A running chain like a proxy with status "OK", one not started like
    // "TIME OUT", a stopped one like "Not Checked" (the window background,
    // an invalid colour), all as the main proxy list colours them.
    static QColor StateColour(TChainRunState state);
    // Why it is not running, or the hops new connections take now (a chain
    // that draws its hops: they change while it runs); empty otherwise.
    static QString StateToolTip(const TChainState &state);

    // "Start": a selected chain is not running.
    static bool StartEnabled(const TChainSelection &s);
    // "Stop": a selected chain runs, and the chain under test is not selected
    // (its server must outlive the test).
    static bool StopEnabled(const TChainSelection &s);
    // "Restart": any chain selected, the one under test not among them.
    static bool RestartEnabled(const TChainSelection &s);
    // "Test Chain": a chain selected and no test under way.
    static bool TestEnabled(const TChainSelection &s);

    // "Stop All" while any chain runs, else "Start All".
    static QString StopAllCaption(bool anyRunning);
    // "Stop All" would end the chain under test; "Start All" never stops one.
    static bool StopAllEnabled(bool anyRunning, bool testUnderWay);
};
