#pragma once
// Helpers of the screen-logic tests (no widgets, no QApplication): prompts
// that record what the logic asks, event pumping, a data folder of its own
// with a store and the services over it, seeding, and loopback probes. The
// widget tests build their main-window fixture on top of these.

#include "engine/chain/dmSocksMgr.h"
#include "store/dmProxyData.h"
#include "tests/support/CheckTestSupport.h" // PrintTo for QString
#include "tests/support/Loopback.h"
#include "tests/support/StoreSeed.h"
#include "tests/support/Wait.h"
#include "ui/logic/ActivityLog.h"
#include "ui/logic/UiPrompts.h"

#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <functional>
#include <memory>
#include <vector>

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
    QString AskSaveFileName(const QString &caption, const QString &) override {
        SaveQuestions << caption;
        return SaveFileName;
    }

    QStringList Messages;
    QStringList Errors;
    QStringList Questions;
    QList<QUrl> Urls;
    bool Answer = true;
    QStringList SaveQuestions;
    QString SaveFileName; // the answer to AskSaveFileName; empty: cancelled

    TCloseAnswer AskClose(int openConnections, bool trayAvailable) override {
        CloseQuestions.push_back({openConnections, trayAvailable});
        return CloseAnswer;
    }
    struct TCloseQuestion {
        int OpenConnections;
        bool TrayAvailable;
    };
    std::vector<TCloseQuestion> CloseQuestions;
    TCloseAnswer CloseAnswer; // Cancel unless a test scripts another
};

// Handles events until done() or the bound; returns done().
inline bool Pump(const std::function<bool()> &done, int timeoutMs = 10000) {
    return PumpUntil(done, timeoutMs);
}
// Handles pending events for a short while.
void PumpFor(int ms);
// Runs an event loop for a short while, so that it also falls idle.
void Idle(int ms = 30);

// A store and the services over it, on a data folder of its own.
class TDataFixture {
public:
    enum class TData { Missing, EmptyFolder, Sample };
    explicit TDataFixture(TData data = TData::Missing);
    virtual ~TDataFixture();
    TDataFixture(const TDataFixture &) = delete;
    TDataFixture &operator=(const TDataFixture &) = delete;

    QString Folder() const { return FDir.path() + QStringLiteral("/VelmoraAnonymizer/"); }
    TdmProxyData &Store() { return *FStore; }
    TdmSocksMgr &Services() { return *FServices; }
    TRecordingPrompts &Prompts() { return FPrompts; }
    // Writes data into the folder before anything loads it: a store of its
    // own loads the folder (creating it when missing), runs `fill`, saves.
    void Seed(const std::function<void(TdmProxyData &)> &fill);

protected:
    // Services first, then the store they use.
    void ReleaseServices();

private:
    QTemporaryDir FDir;
    TRecordingPrompts FPrompts;
    std::unique_ptr<TdmSocksMgr> FServices;
    std::unique_ptr<TdmProxyData> FStore;
};

// A proxy for seeding; one that is "OK" was checked in 250 ms. Chains are
// seeded with SeedChain.
int32_t AddProxy(TdmProxyData &store, uint16_t port, TProxyType type, TProxyStatus status,
                 const QString &address = QStringLiteral("127.0.0.1"));
// Socks5Connect and Accepting: tests/support/Loopback.h.

// The texts of an activity log's lines.
QStringList TextOf(const TActivityLog &log);
// The log's lines and the visible lines agree; each live block is contiguous
// and starts at the entry that refers to it.
void ExpectConsistent(const TActivityLog &log, const QStringList &visible);

} // namespace VelmoraTest
