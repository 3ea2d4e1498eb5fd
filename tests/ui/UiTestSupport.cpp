#include "tests/ui/UiTestSupport.h"

#include "ui/windows/frmeActivityPanel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
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

TMainFixture::TMainFixture(TData data) {
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
    FServices = std::make_unique<TdmSocksMgr>(FreeLoopbackPort());
    FStore = std::make_unique<TdmProxyData>(folder);
    FServices->ChainMgr().SetStore(FStore.get());
}

TMainFixture::~TMainFixture() {
    FWindow.reset();
    FServices.reset();
    FStore.reset();
}

void TMainFixture::Seed(const std::function<void(TdmProxyData &)> &fill) {
    TdmProxyData seed(Folder());
    seed.LoadData();
    fill(seed);
    seed.SaveData();
}

TfrmMain &TMainFixture::Open() {
    FWindow = std::make_unique<TfrmMain>(*FServices, *FStore, FPrompts);
    return *FWindow;
}

QStringList TMainFixture::ActivityLines() {
    FWindow->frmeActivityPanel()->Flush();
    return FWindow->frmeActivityPanel()->Lines();
}

int32_t AddProxy(TdmProxyData &store, uint16_t port, TProxyType type, TProxyStatus status,
                 const QString &address) {
    return SeedProxy(store, port, type, status, address,
                     status == TProxyStatus::psAvailable ? 250 : 0);
}

} // namespace VelmoraTest
