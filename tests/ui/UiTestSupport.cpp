#include "tests/ui/UiTestSupport.h"

#include "ui/logic/WindowSettings.h"
#include "ui/windows/frmeActivityPanel.h"

#include <QFile>
#include <QRegularExpression>

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
    return WithoutTime(FWindow->frmeActivityPanel()->Lines());
}

QStringList WithoutTime(const QStringList &lines) {
    static const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d "));
    QStringList texts;
    for (const QString &line : lines)
        texts << QString(line).remove(time);
    return texts;
}

} // namespace VelmoraTest
