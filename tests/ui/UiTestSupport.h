#pragma once
// Helpers of the widget tests: the screen-logic helpers (recording prompts, a
// data folder of its own, seeding) and a main window over them on a private
// port for the plain server.

#include "tests/support/Peers.h"
#include "tests/ui/logic/LogicTestSupport.h"
#include "ui/windows/frmMain.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

namespace VelmoraTest {

// Everything a main window needs, on a folder of its own.
class TMainFixture : public TDataFixture {
public:
    // Each fixture starts without the window's settings file and leaves none.
    explicit TMainFixture(TData data = TData::Missing);
    ~TMainFixture() override;

    // Creates the window (and with it the load); services start when events run.
    TfrmMain &Open();
    // Destroys the window (closed or not), so that Open makes a new one.
    void Drop() { FWindow.reset(); }
    TfrmMain &Window() { return *FWindow; }
    // Lines of the activity panel after the queued calls ran, without their time.
    QStringList ActivityLines();

private:
    std::unique_ptr<TfrmMain> FWindow;
};

// Seeds the chain "Live" on `port` with one SOCKS 5 proxy marked working,
// 127.0.0.1:`proxyPort` (by default a port where nothing listens); its UID.
int32_t SeedLiveChain(TDataFixture &f, uint16_t port, uint16_t proxyPort = 1);

// A chain "Live" on a free port through microsocks to an echo server, seeded
// into a fixture before its window opens (the window starts it). Hold opens
// one more client connection through it and waits until the chain counts it; the
// connections still held close with the object.
class TLiveChain {
public:
    static bool Available() { return TMicrosocksPeer::Available(); }
    explicit TLiveChain(TMainFixture &f);
    ~TLiveChain();
    uint16_t Port() const { return FPort; }
    int32_t UID() const { return FUID; }
    // The connection's socket, or -1 when it could not be opened or counted.
    int Hold();
    // True when a round trip through the held connection still works.
    static bool Alive(int fd);

private:
    TMainFixture &FFixture;
    TMicrosocksPeer FHop;
    TEchoServer FEcho;
    uint16_t FPort;
    int32_t FUID = 0;
    std::vector<int> FHeld;
};

// The tests of a started window over a live chain (closing it while the
// chain carries connections, the tray): the fixture and the chain are ready,
// the window opens with OpenStarted. Skipped where microsocks is missing.
class TLiveWindowTest : public testing::Test {
protected:
    void SetUp() override;
    // Opens the window, shows it and waits until its services started.
    TfrmMain &OpenStarted();
    // Opens a started window, holds a connection and closes the window with
    // `choice` and "don't ask again": it closes when `closes`, and the answer
    // is kept as `kept`. The window is dropped after.
    void CloseKeepingAnswer(TCloseChoice choice, bool closes, const char *kept);

    TMainFixture Main;
    std::optional<TLiveChain> Chain;
};

// The activity panel's lines without the time in front ("HH:MM:SS ").
QStringList WithoutTime(const QStringList &lines);

} // namespace VelmoraTest
