// Saving when the data folder cannot take the files: a device that refuses
// writes, a full file system and a read-only one (small tmpfs mounts, when the
// test may mount). Each time: a clear error naming the file, the files on
// disk exactly as before, the change still in memory, and a later save that
// works once the folder is fine again.

#include "platform/Error.h"
#include "store/dmProxyData.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const QStringList kTables = {"Proxies.cds", "ChainedProxies.cds", "ChainedProxyProxies.cds",
                             "settings.cds", "AnonymizedList.cds"};

QByteArray ReadFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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

// A device that takes `room` bytes and then refuses, as a full disk does.
class TFullDevice : public QIODevice {
public:
    TFullDevice(QIODevice &target, qint64 room) : FTarget(target), FRoom(room) {
        open(QIODevice::WriteOnly);
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override {
        if (size > FRoom) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        FRoom -= size;
        return FTarget.write(data, size);
    }

private:
    QIODevice &FTarget;
    qint64 FRoom;
};

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

TEST(StoreFaults, DeviceRefusingWritesLeavesFilesAndKeepsChange) {
    QTemporaryDir dir;
    const QString folder = dir.path() + "/VelmoraAnonymizer/";
    ASSERT_TRUE(TdmProxyData::ProvisionDataFolder(folder));
    TdmProxyData store(folder);
    store.LoadData();
    store.AddProxy("10.0.0.1", 1080, TProxyType::ptSOCKS5);
    store.SaveData();
    const int saved = ProxyCount(folder);

    for (qint64 room : {qint64(0), qint64(30), qint64(600)}) {
        store.ProxiesFile().FDeviceWrap = [room](QIODevice &target) {
            return std::make_unique<TFullDevice>(target, room);
        };
        SaveFailsCleanly(store, folder, 40, QStringLiteral("No space left on device"));
        EXPECT_EQ(ProxyCount(folder), saved);
    }
    store.ProxiesFile().FDeviceWrap = {};
    store.SaveData();
    EXPECT_EQ(ProxyCount(folder), saved + 120);
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

TEST(StoreFaults, FullFileSystemLeavesFilesAndKeepsChange) {
    TTinyMount mount(256);
    if (!mount.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const QString folder = mount.Path() + "/VelmoraAnonymizer/";
    ASSERT_TRUE(TdmProxyData::ProvisionDataFolder(folder));
    TdmProxyData store(folder);
    store.LoadData();
    store.AddProxy("10.0.0.1", 1080, TProxyType::ptSOCKS5);
    store.SaveData();

    // Fill the file system up to the last few hundred bytes.
    const QString filler = mount.Path() + "/filler";
    {
        QFile f(filler);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (f.write(block) == block.size() && f.flush()) {
        }
        f.close();
    }
    SaveFailsCleanly(store, folder, 300, QStringLiteral("No space left on device"));
    EXPECT_EQ(ProxyCount(folder), 1);

    ASSERT_TRUE(QFile::remove(filler));
    store.SaveData();
    EXPECT_EQ(ProxyCount(folder), 301);
}

TEST(StoreFaults, ReadOnlyFileSystemLeavesFilesAndKeepsChange) {
    TTinyMount mount(1024);
    if (!mount.Mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const QString folder = mount.Path() + "/VelmoraAnonymizer/";
    ASSERT_TRUE(TdmProxyData::ProvisionDataFolder(folder));
    TdmProxyData store(folder);
    store.LoadData();
    store.AddProxy("10.0.0.1", 1080, TProxyType::ptSOCKS5);
    store.SaveData();

    ASSERT_TRUE(mount.Remount(true));
    SaveFailsCleanly(store, folder, 5, QStringLiteral("is not writable"));
    EXPECT_EQ(ProxyCount(folder), 1);

    ASSERT_TRUE(mount.Remount(false));
    store.SaveData();
    EXPECT_EQ(ProxyCount(folder), 6);
}

} // namespace
