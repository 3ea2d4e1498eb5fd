#include "tests/ui/UiTestSupport.h"

#include "ui/windows/frmeActivityPanel.h"

namespace VelmoraTest {

TMainFixture::~TMainFixture() {
    // The window goes before the services and the store it shows.
    FWindow.reset();
    ReleaseServices();
}

TfrmMain &TMainFixture::Open() {
    FWindow = std::make_unique<TfrmMain>(Services(), Store(), Prompts());
    return *FWindow;
}

QStringList TMainFixture::ActivityLines() {
    FWindow->frmeActivityPanel()->Flush();
    return FWindow->frmeActivityPanel()->Lines();
}

} // namespace VelmoraTest
