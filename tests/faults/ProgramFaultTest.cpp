// The real program, started headless over a data folder whose proxy table is
// damaged: it says which file and where it will be kept, leaves the file as
// it is, and serves SOCKS on port 9999 all the same. The first save later
// keeps the damaged bytes aside under the announced name.

#include "platform/Error.h"
#include "store/dmProxyData.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/VelmoraProcess.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using namespace faults;
using VelmoraTest::TVelmoraProcess;

// Port 9999 may be held a while by another copy of the program on this
// machine; true once nothing listens there (bounded).
bool Port9999Free() {
    return VelmoraTest::WaitFor(
        [] {
            try {
                TSocket::Connect("127.0.0.1", 9999, 1000);
                return false;
            } catch (const ESocketError &) {
                return true;
            }
        },
        60000);
}

TEST(ProgramFaults, CorruptProxyTableAtStart) {
    if (!Port9999Free())
        GTEST_SKIP() << "port 9999 is taken by another program";
    QTemporaryDir home;
    const QString folder = home.path() + "/VelmoraAnonymizer/";
    ASSERT_TRUE(TdmProxyData::ProvisionDataFolder(folder));
    {
        TdmProxyData store(folder);
        store.LoadData();
        store.AddProxy("10.0.0.1", 1080, TProxyType::ptSOCKS5);
        store.SaveData();
    }
    // Cut the table off in the middle of its rows.
    const QString path = folder + "Proxies.cds";
    QByteArray damaged = ReadFile(path);
    ASSERT_GT(damaged.size(), 40);
    damaged.chop(7);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(damaged), damaged.size());
    }

    VelmoraTest::TLoopbackServer hello([](TSocket &c) { c.WriteAll("served anyway"); });
    QString announced;
    {
        TVelmoraProcess velmora({"--headless"}, home.path());
        ASSERT_TRUE(velmora.WaitForLine("Services started"))
            << velmora.Lines().join("\n").toStdString();
        QString error;
        for (const QString &line : velmora.Lines())
            if (line.contains("Cannot read the table file"))
                error = line;
        ASSERT_FALSE(error.isEmpty()) << velmora.Lines().join("\n").toStdString();
        EXPECT_TRUE(error.contains(QDir::toNativeSeparators(path))) << error.toStdString();
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("will be kept as \"([^\"]+)\"")).match(error);
        ASSERT_TRUE(m.hasMatch()) << error.toStdString();
        announced = m.captured(1);
        EXPECT_TRUE(announced.startsWith(QDir::toNativeSeparators(path) + ".unreadable-"));

        // Port 9999 serves.
        TSocket s = TSocket::Connect("127.0.0.1", 9999, 5000);
        ASSERT_EQ(Socks5Connect(s, hello.Port()), 0);
        std::string got;
        EXPECT_EQ(ReadToEnd(s, &got, 15000), TEnd::EndOfStream);
        EXPECT_EQ(got, "served anyway");
        EXPECT_EQ(velmora.Terminate(), 0);
    }
    // The damaged file is still there, byte for byte.
    EXPECT_EQ(ReadFile(path), damaged);

    // The next save keeps it aside before writing a new table.
    TdmProxyData store(folder);
    EXPECT_THROW(store.LoadData(), EVelmoraError);
    QStringList notices;
    store.FOnNotice = [&](const QString &line) { notices << line; };
    const QString aside = store.ProxiesFile().AsidePath();
    store.AddProxy("10.0.0.2", 1080, TProxyType::ptSOCKS5);
    store.SaveData();
    EXPECT_EQ(ReadFile(aside), damaged);
    EXPECT_TRUE(notices.join("\n").contains(aside)) << notices.join("\n").toStdString();
    TdmProxyData fresh(folder);
    fresh.LoadData();
    EXPECT_EQ(fresh.cdsProxies().RecordCount(), 1);
}

} // namespace
