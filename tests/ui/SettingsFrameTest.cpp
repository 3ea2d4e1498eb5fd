// The Settings page writes through to "settings.cds" on every change, and
// its local-only tick box holds at once for the servers that run.
#include "platform/ServerSettings.h"
#include "tests/support/Peers.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/logic/WindowSettings.h"
#include "ui/windows/NumberField.h"
#include "ui/windows/frmeSettings.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <arpa/inet.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace VelmoraTest;

namespace {

struct TStoredSettings {
    bool LocalOnly;
    int32_t TimeOut;
    int32_t SessionsTimeOut;
};

// What the file says, read by a store of its own.
TStoredSettings Reread(const QString &folder) {
    TdmProxyData store(folder);
    store.Loadsettings();
    return {store.AllowLocalHostOnly(), store.Timeout(), store.SessionsTimeout()};
}

class SettingsFrame : public testing::Test {
protected:
    SettingsFrame() {
        Fixture.Seed([](TdmProxyData &s) {
            s.SetTimeout(5);
            s.SetSessionsTimeout(30);
        });
        Fixture.Store().LoadData();
        Frame = std::make_unique<TfrmeSettings>(Fixture.Store());
        Frame->FOnError = [this](const QString &text) { Errors << text; };
        Frame->Load();
        Frame->show();
    }
    TMainFixture Fixture{TMainFixture::TData::Missing};
    std::unique_ptr<TfrmeSettings> Frame;
    QStringList Errors;
};

} // namespace

TEST_F(SettingsFrame, LoadShowsTheStoredValues) {
    EXPECT_TRUE(Frame->chkLocalHostOnly()->isChecked()); // a new data folder's
    EXPECT_EQ(Frame->edTimeOut()->Text(), QStringLiteral("5"));
    EXPECT_EQ(Frame->edSessionsTimeOut()->Text(), QStringLiteral("30"));
    EXPECT_EQ(Frame->chkLocalHostOnly()->text(),
              QStringLiteral("Enable connections only from localhost (127.0.0.1)"));
    // What 0 means, on the time-out's line, after the field.
    auto *zero = Frame->findChild<QLabel *>(QStringLiteral("lblTimeOutZero"));
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero->text(), QStringLiteral("(0: 10 s for checks)"));
    EXPECT_GT(zero->x(), Frame->edTimeOut()->x() + Frame->edTimeOut()->width());
    EXPECT_LT(std::abs(zero->y() - Frame->edTimeOut()->y()), Frame->edTimeOut()->height());
}

// Beside the tick, what unticking it exposes; below the time-outs, the
// clients each server serves at once, kept beside the window's settings
// (not in the tables) and passed on to the running servers.
TEST_F(SettingsFrame, NoteOfWhatUntickingExposesAndTheClientsAtOnce) {
    QLabel *note = Frame->lblLocalOnlyNote();
    EXPECT_EQ(note->text(), QStringLiteral("Unticked, other machines on the network can use port "
                                           "9999 and every chain's port."));
    EXPECT_GT(note->y(), Frame->chkLocalHostOnly()->y());
    EXPECT_LT(note->y() + note->height(), Frame->edTimeOut()->y());

    QSpinBox *cap = Frame->edMaxClients();
    EXPECT_EQ(cap->value(), 1024); // nothing stored yet
    std::vector<int> passed;
    Frame->FOnMaxClientsChanged = [&](int n) { passed.push_back(n); };
    cap->setValue(200);
    EXPECT_EQ(TServerSettings::MaxClients(), 200);
    EXPECT_EQ(QFileInfo(TServerSettings::FileName()).absolutePath(),
              QFileInfo(TWindowSettings::FileName()).absolutePath());
    EXPECT_EQ(passed, std::vector<int>{200});
    // Out of range cannot be typed: the box keeps to 1..65535.
    cap->setValue(0);
    EXPECT_EQ(cap->value(), 1);
    EXPECT_THROW(TServerSettings::SetMaxClients(0), EVelmoraError);
    EXPECT_EQ(TServerSettings::MaxClients(), 1);
    Frame->Load();
    EXPECT_EQ(cap->value(), 1);
    EXPECT_TRUE(Errors.isEmpty());
}

TEST_F(SettingsFrame, TickBoxIsWrittenAtOnce) {
    QTest::mouseClick(Frame->chkLocalHostOnly(), Qt::LeftButton);
    EXPECT_FALSE(Reread(Fixture.Folder()).LocalOnly);
    QTest::mouseClick(Frame->chkLocalHostOnly(), Qt::LeftButton);
    EXPECT_TRUE(Reread(Fixture.Folder()).LocalOnly);
}

TEST_F(SettingsFrame, TypedNumberIsStoredAtOnceAndClampedOnLeaving) {
    QLineEdit *edit = Frame->edTimeOut()->Edit();
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, "500");
    EXPECT_EQ(Reread(Fixture.Folder()).TimeOut, 500);
    // The field loses the focus (sent directly: an offscreen window need not
    // have the focus to give away).
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(edit, &out);
    EXPECT_EQ(edit->text(), QStringLiteral("200"));
    EXPECT_EQ(Reread(Fixture.Folder()).TimeOut, 200);
    EXPECT_TRUE(Errors.isEmpty());
}

TEST_F(SettingsFrame, EmptyTextStoresNothingAndBadTextIsReported) {
    QLineEdit *edit = Frame->edSessionsTimeOut()->Edit();
    edit->setFocus();
    edit->clear();
    EXPECT_EQ(Reread(Fixture.Folder()).SessionsTimeOut, 30);
    QTest::keyClicks(edit, "-");
    EXPECT_EQ(Errors, QStringList({"'-' is not a valid integer value"}));
    EXPECT_EQ(Reread(Fixture.Folder()).SessionsTimeOut, 30);
    QTest::keyClicks(edit, "4");
    EXPECT_EQ(Reread(Fixture.Folder()).SessionsTimeOut, -4);
    // Letters are refused; the text stays as it was.
    QTest::keyClicks(edit, "x");
    EXPECT_EQ(edit->text(), QStringLiteral("-4"));
}

TEST_F(SettingsFrame, ArrowsStepWithinTheRange) {
    auto buttons = Frame->edTimeOut()->findChildren<QToolButton *>();
    ASSERT_EQ(buttons.size(), 2);
    QToolButton *up = buttons[0]->arrowType() == Qt::UpArrow ? buttons[0] : buttons[1];
    QToolButton *down = up == buttons[0] ? buttons[1] : buttons[0];
    up->click();
    EXPECT_EQ(Reread(Fixture.Folder()).TimeOut, 6);
    Frame->edTimeOut()->SetText("0");
    down->click();
    EXPECT_EQ(Frame->edTimeOut()->Text(), QStringLiteral("0"));
    Frame->edTimeOut()->SetText("200");
    up->click();
    EXPECT_EQ(Reread(Fixture.Folder()).TimeOut, 200);
}

namespace {

// A SOCKS 5 CONNECT to 127.0.0.1:destPort through the server on
// 127.0.0.1:port, from the client address `from`; the reply code (0:
// served, 2: not allowed), -1 when the stream broke off.
int ConnectFrom(const char *from, uint16_t port, uint16_t destPort) {
    TSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    if (::bind(s.Fd(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (::connect(s.Fd(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        return -1;
    s.SetReadTimeout(5000);
    return Socks5Connect(s, destPort);
}

} // namespace

// The tick box holds at once for the plain server and every running chain:
// a new data folder has it ticked, so a client at 127.0.0.2 is refused and
// 127.0.0.1 served; once it is cleared 127.0.0.2 is served (the control),
// and refused again when it is ticked anew.
TEST(SettingsPage, LocalOnlyTickHoldsAtOnceForEveryRunningServer) {
    if (!TMicrosocksPeer::Available())
        GTEST_SKIP() << "microsocks is not installed";
    TMicrosocksPeer hop;
    TEchoServer echo;
    TMainFixture f;
    const uint16_t chain = FreeLoopbackPort();
    SeedLiveChain(f, chain, hop.Port());
    TfrmMain &w = f.Open();
    w.show();
    ASSERT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    ASSERT_TRUE(Accepting(chain));
    const uint16_t plain = f.Services().tempSocksServer().Port();
    w.actSettings->trigger();
    QCheckBox *box = w.frmeSettings()->chkLocalHostOnly();
    ASSERT_TRUE(box->isChecked());
    for (uint16_t port : {chain, plain}) {
        EXPECT_EQ(ConnectFrom("127.0.0.2", port, echo.Port()), 2) << port;
        EXPECT_EQ(ConnectFrom("127.0.0.1", port, echo.Port()), 0) << port;
    }

    QTest::mouseClick(box, Qt::LeftButton);
    ASSERT_FALSE(box->isChecked());
    for (uint16_t port : {chain, plain})
        EXPECT_EQ(ConnectFrom("127.0.0.2", port, echo.Port()), 0) << port;
    EXPECT_FALSE(Reread(f.Folder()).LocalOnly);

    QTest::mouseClick(box, Qt::LeftButton);
    for (uint16_t port : {chain, plain})
        EXPECT_EQ(ConnectFrom("127.0.0.2", port, echo.Port()), 2) << port;
    EXPECT_TRUE(f.Prompts().Errors.isEmpty());
}
