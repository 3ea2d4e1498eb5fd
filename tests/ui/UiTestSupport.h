#pragma once
// Helpers of the widget tests: the screen-logic helpers (recording prompts, a
// data folder of its own, seeding) and a main window over them on a private
// port for the plain server.

#include "tests/ui/logic/LogicTestSupport.h"
#include "ui/windows/frmMain.h"

#include <QStringList>
#include <memory>

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

// The activity panel's lines without the time in front ("HH:MM:SS ").
QStringList WithoutTime(const QStringList &lines);

} // namespace VelmoraTest
