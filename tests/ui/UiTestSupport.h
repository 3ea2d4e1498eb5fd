#pragma once
// Helpers of the widget tests: prompts that record what the windows ask, a
// data folder of its own (empty, missing, or a copy of the filled sample
// tables), and a main window on a private port for the plain server.

#include "engine/chain/dmSocksMgr.h"
#include "store/dmProxyData.h"
#include "tests/support/CheckTestSupport.h" // PrintTo for QString
#include "tests/support/Loopback.h"
#include "tests/support/StoreSeed.h"
#include "tests/support/Wait.h"
#include "ui/logic/UiPrompts.h"
#include "ui/windows/frmMain.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <functional>
#include <memory>
#include <ostream>

namespace VelmoraTest {

class TRecordingPrompts : public TUiPrompts {
public:
    void ShowMessage(const QString &text) override { Messages << text; }
    void ShowError(const QString &text) override { Errors << text; }
    bool AskYesNo(const QString &text) override {
        Questions << text;
        return Answer;
    }
    void OpenUrl(const QUrl &url) override { Urls << url; }

    QStringList Messages;
    QStringList Errors;
    QStringList Questions;
    QList<QUrl> Urls;
    bool Answer = true;
};

// Handles events until done() or the bound; returns done().
inline bool Pump(const std::function<bool()> &done, int timeoutMs = 10000) {
    return PumpUntil(done, timeoutMs);
}
// Handles pending events for a short while.
void PumpFor(int ms);
// Runs an event loop for a short while, so that it also falls idle.
void Idle(int ms = 30);

// Everything a main window needs, on a folder of its own.
class TMainFixture {
public:
    enum class TData { Missing, EmptyFolder, Sample };
    explicit TMainFixture(TData data = TData::Missing);
    ~TMainFixture();

    QString Folder() const { return FDir.path() + QStringLiteral("/VelmoraAnonymizer/"); }
    TdmProxyData &Store() { return *FStore; }
    TdmSocksMgr &Services() { return *FServices; }
    TRecordingPrompts &Prompts() { return FPrompts; }
    // Writes data into the folder before the window loads it: a store of its
    // own loads the folder (creating it when missing), runs `fill`, saves.
    void Seed(const std::function<void(TdmProxyData &)> &fill);
    // Creates the window (and with it the load); services start when events run.
    TfrmMain &Open();
    TfrmMain &Window() { return *FWindow; }
    // Lines of the activity panel after the queued calls ran.
    QStringList ActivityLines();

private:
    QTemporaryDir FDir;
    TRecordingPrompts FPrompts;
    std::unique_ptr<TdmSocksMgr> FServices;
    std::unique_ptr<TdmProxyData> FStore;
    std::unique_ptr<TfrmMain> FWindow;
};

// A proxy for seeding; one that is "OK" was checked in 250 ms. Chains are
// seeded with SeedChain.
int32_t AddProxy(TdmProxyData &store, uint16_t port, TProxyType type, TProxyStatus status,
                 const QString &address = QStringLiteral("127.0.0.1"));
// Socks5Connect and Accepting: tests/support/Loopback.h.

} // namespace VelmoraTest
