#include "tests/ui/UiTestSupport.h"

#include "ui/logic/WindowSettings.h"
#include "ui/windows/frmeActivityPanel.h"

#include <QFile>

namespace VelmoraTest {

TMainFixture::TMainFixture(TData data) : TDataFixture(data) {
    QFile::remove(TWindowSettings::FileName());
}

TMainFixture::~TMainFixture() {
    // The window goes before the services and the store it shows.
    FWindow.reset();
    ReleaseServices();
    QFile::remove(TWindowSettings::FileName());
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
