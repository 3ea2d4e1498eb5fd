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
    explicit TMainFixture(TData data = TData::Missing) : TDataFixture(data) {}
    ~TMainFixture() override;

    // Creates the window (and with it the load); services start when events run.
    TfrmMain &Open();
    TfrmMain &Window() { return *FWindow; }
    // Lines of the activity panel after the queued calls ran.
    QStringList ActivityLines();

private:
    std::unique_ptr<TfrmMain> FWindow;
};

} // namespace VelmoraTest
