#include "tests/ui/logic/LogicTestSupport.h"

#include "ui/logic/ActivityChainLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

namespace VelmoraTest {

void PumpFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ::usleep(1000);
    }
}

void Idle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

TDataFixture::TDataFixture(TData data) {
    const QString folder = Folder();
    if (data != TData::Missing)
        QDir().mkpath(folder);
    if (data == TData::Sample) {
        const QDir sample(QStringLiteral(VELMORA_TEST_DATA "/store"));
        for (const QString &name : sample.entryList({QStringLiteral("*.cds")}, QDir::Files)) {
            QFile::copy(sample.filePath(name), folder + name);
            QFile(folder + name).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        }
    }
    // A plain port chosen by the system as it binds: one probed beforehand
    // may be taken by a test running beside this one in the meantime.
    FServices = std::make_unique<TdmSocksMgr>(0);
    FStore = std::make_unique<TdmProxyData>(folder);
    FServices->ChainMgr().SetStore(FStore.get());
}

TDataFixture::~TDataFixture() {
    ReleaseServices();
}

void TDataFixture::ReleaseServices() {
    FServices.reset();
    FStore.reset();
}

void TDataFixture::Seed(const std::function<void(TdmProxyData &)> &fill) {
    TdmProxyData seed(Folder());
    seed.LoadData();
    fill(seed);
    seed.SaveData();
}

int32_t AddProxy(TdmProxyData &store, uint16_t port, TProxyType type, TProxyStatus status,
                 const QString &address) {
    return SeedProxy(store, port, type, status, address,
                     status == TProxyStatus::psAvailable ? 250 : 0);
}

QStringList TextOf(const TActivityLog &log) {
    QStringList lines;
    for (const TActivityTextLine &line : log.Text())
        lines << line.Text;
    return lines;
}

void ExpectConsistent(const TActivityLog &log, const QStringList &visible) {
    ASSERT_EQ(TextOf(log), visible);
    for (const auto &chainLog : log.ChainLogs()) {
        const int first = chainLog->FindFirstLine();
        ASSERT_GE(first, 0);
        EXPECT_EQ(log.Text()[first].Log, chainLog.get());
        for (int i = first + 1; i < first + chainLog->NoOfLines(); ++i)
            EXPECT_EQ(log.Text()[i].Log, nullptr);
    }
}

} // namespace VelmoraTest
