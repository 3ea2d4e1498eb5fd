#include "tests/ui/UiTestSupport.h"

#include "ui/logic/WindowSettings.h"
#include "ui/windows/frmeActivityPanel.h"

#include <QFile>
#include <QRegularExpression>
#include <sys/socket.h>
#include <unistd.h>

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

TLiveChain::TLiveChain(TMainFixture &f) : FFixture(f), FPort(FreeLoopbackPort()) {
    FUID = SeedLiveChain(f, FPort, FHop.Port());
}

int32_t SeedLiveChain(TDataFixture &f, uint16_t port, uint16_t proxyPort) {
    int32_t uid = 0;
    f.Seed([&](TdmProxyData &s) {
        const int32_t hop = AddProxy(s, proxyPort, TProxyType::ptSOCKS5, TProxyStatus::psAvailable);
        uid = SeedChain(s, QStringLiteral("Live"), port, {hop});
    });
    return uid;
}

void TLiveWindowTest::SetUp() {
    if (!TLiveChain::Available())
        GTEST_SKIP() << "microsocks is not installed";
    Chain.emplace(Main);
}

TfrmMain &TLiveWindowTest::OpenStarted() {
    TfrmMain &w = Main.Open();
    w.show();
    EXPECT_TRUE(Pump([&] { return w.ServicesStarted(); }));
    return w;
}

void TLiveWindowTest::CloseKeepingAnswer(TCloseChoice choice, bool closes, const char *kept) {
    OpenStarted();
    ASSERT_GE(Chain->Hold(), 0);
    Main.Prompts().CloseAnswer = {choice, true};
    EXPECT_EQ(Main.Window().close(), closes);
    EXPECT_EQ(TWindowSettings().Value(TWindowSettings::CloseAnswer).toString(),
              QString::fromLatin1(kept));
    Main.Drop();
}

TLiveChain::~TLiveChain() {
    for (int fd : FHeld)
        ::close(fd);
}

int TLiveChain::Hold() {
    TChainManager &chains = FFixture.Services().ChainMgr();
    const size_t wanted = chains.State(FUID).Connections + 1;
    const int fd = Socks5Connect(FPort, FEcho.Port());
    if (fd < 0)
        return -1;
    FHeld.push_back(fd);
    if (!Pump([&] { return chains.State(FUID).Connections >= wanted; }))
        return -1;
    return fd;
}

bool TLiveChain::Alive(int fd) {
    const char text[] = "still there";
    if (::send(fd, text, sizeof text, MSG_NOSIGNAL) != ssize_t(sizeof text))
        return false;
    char back[sizeof text] = {};
    return ::recv(fd, back, sizeof back, MSG_WAITALL) == ssize_t(sizeof back) &&
           std::string(back, sizeof back) == std::string(text, sizeof text);
}

QStringList WithoutTime(const QStringList &lines) {
    static const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d "));
    QStringList texts;
    for (const QString &line : lines)
        texts << QString(line).remove(time);
    return texts;
}

} // namespace VelmoraTest
