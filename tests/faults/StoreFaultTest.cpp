// Saving when the data folder cannot take the files: a device that refuses
// writes, a full file system and a read-only one (small tmpfs mounts, when the
// test may mount). Each time: a clear error naming the file, the files on
// disk exactly as before, the change still in memory, and a later save that
// works once the folder is fine again.

#include "platform/Error.h"
#include "store/dmProxyData.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/FailingDevice.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sys/mount.h>
#include <unistd.h>

namespace {

using faults::ReadFile;

std::map<QString, QByteArray> Snapshot(const QString &folder) {
    std::map<QString, QByteArray> files;
    for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        files[name] = ReadFile(folder + name);
    return files;
}

int ProxyCount(const QString &folder) {
    TdmProxyData fresh(folder);
    fresh.LoadData();
    return fresh.cdsProxies().RecordCount();
}

// Adds proxies in memory, saves into a folder that fails, and checks the
// outcome; `expected` is a text the error must contain.
void SaveFailsCleanly(TdmProxyData &store, const QString &folder, int added,
                      const QString &expected) {
    const auto before = Snapshot(folder);
    const int count = store.cdsProxies().RecordCount();
    for (int i = 0; i < added; ++i)
        store.AddProxy(QStringLiteral("10.1.%1.%2").arg(i / 250).arg(i % 250 + 1), 1080 + i,
                       TProxyType::ptSOCKS5);
    try {
        store.SaveData();
        FAIL() << "the save succeeded";
    } catch (const EVelmoraError &e) {
        EXPECT_TRUE(e.Message().contains("Proxies.cds")) << e.Message().toStdString();
        EXPECT_TRUE(e.Message().contains(expected)) << e.Message().toStdString();
    }
    // Nothing on disk changed, no temporary file was left behind.
    EXPECT_EQ(Snapshot(folder), before);
    // The change is kept in memory.
    EXPECT_EQ(store.cdsProxies().RecordCount(), count + added);
}

// A tmpfs of `kb` kilobytes mounted on a fresh folder; unmounted at the end.
class TTinyMount {
public:
    explicit TTinyMount(int kb) {
        FPath = FDir.path() + "/mnt";
        QDir().mkpath(FPath);
        const std::string options = "size=" + std::to_string(kb) + "k";
        FMounted = ::geteuid() == 0 && ::mount("tmpfs", FPath.toLocal8Bit().constData(), "tmpfs", 0,
                                               options.c_str()) == 0;
    }
    ~TTinyMount() {
        if (FMounted)
            ::umount2(FPath.toLocal8Bit().constData(), MNT_DETACH);
    }
    bool Mounted() const { return FMounted; }
    QString Path() const { return FPath; }
    bool Remount(bool readOnly) {
        return ::mount("tmpfs", FPath.toLocal8Bit().constData(), "tmpfs",
                       MS_REMOUNT | (readOnly ? MS_RDONLY : 0), nullptr) == 0;
    }

private:
    QTemporaryDir FDir;
    QString FPath;
    bool FMounted = false;
};

// A store over a provisioned data folder, holding one saved proxy; the
// folder on a temporary folder or on a small tmpfs mount.
class StoreFaults : public testing::Test {
protected:
    // The data folder below `parent`.
    void OpenWithOneProxy(const QString &parent) {
        Folder = parent + "/VelmoraAnonymizer/";
        ASSERT_TRUE(TdmProxyData::ProvisionDataFolder(Folder));
        Store = std::make_unique<TdmProxyData>(Folder);
        Store->LoadData();
        Store->AddProxy("10.0.0.1", 1080, TProxyType::ptSOCKS5);
        Store->SaveData();
    }
    // A tmpfs of `kb` kilobytes; false when it cannot be mounted here.
    bool MountTiny(int kb) {
        Mount = std::make_unique<TTinyMount>(kb);
        return Mount->Mounted();
    }

    QTemporaryDir Dir;
    std::unique_ptr<TTinyMount> Mount;
    QString Folder;
    std::unique_ptr<TdmProxyData> Store;
};

TEST_F(StoreFaults, DeviceRefusingWritesLeavesFilesAndKeepsChange) {
    ASSERT_NO_FATAL_FAILURE(OpenWithOneProxy(Dir.path()));
    const int saved = ProxyCount(Folder);

    for (qint64 room : {qint64(0), qint64(30), qint64(600)}) {
        Store->ProxiesFile().FDeviceWrap = [room](QIODevice &target) {
            return std::make_unique<VelmoraTest::TFailingDevice>(room, &target);
        };
        SaveFailsCleanly(*Store, Folder, 40, QStringLiteral("No space left on device"));
        EXPECT_EQ(ProxyCount(Folder), saved);
    }
    Store->ProxiesFile().FDeviceWrap = {};
    Store->SaveData();
    EXPECT_EQ(ProxyCount(Folder), saved + 120);
}

TEST_F(StoreFaults, FullFileSystemLeavesFilesAndKeepsChange) {
    if (!MountTiny(256))
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    ASSERT_NO_FATAL_FAILURE(OpenWithOneProxy(Mount->Path()));

    // Fill the file system up to the last few hundred bytes.
    const QString filler = Mount->Path() + "/filler";
    {
        QFile f(filler);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (f.write(block) == block.size() && f.flush()) {
        }
        f.close();
    }
    SaveFailsCleanly(*Store, Folder, 300, QStringLiteral("No space left on device"));
    EXPECT_EQ(ProxyCount(Folder), 1);

    ASSERT_TRUE(QFile::remove(filler));
    Store->SaveData();
    EXPECT_EQ(ProxyCount(Folder), 301);
}

TEST_F(StoreFaults, ReadOnlyFileSystemLeavesFilesAndKeepsChange) {
    if (!MountTiny(1024))
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    ASSERT_NO_FATAL_FAILURE(OpenWithOneProxy(Mount->Path()));

    ASSERT_TRUE(Mount->Remount(true));
    SaveFailsCleanly(*Store, Folder, 5, QStringLiteral("is not writable"));
    EXPECT_EQ(ProxyCount(Folder), 1);

    ASSERT_TRUE(Mount->Remount(false));
    Store->SaveData();
    EXPECT_EQ(ProxyCount(Folder), 6);
}

} // namespace
