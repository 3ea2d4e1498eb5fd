#include "anonymize/AnonymHandOff.h"
#include "platform/Error.h"
#include "platform/KeyValueStore.h"
#include "store/dmProxyData.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class AnonymHandOffTest : public ::testing::Test {
protected:
    QTemporaryDir Config;
    QTemporaryDir Data;
    std::unique_ptr<TdmProxyData> Store;

    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Config.path());
        const QString folder = Data.path() + "/VelmoraAnonymizer/";
        TdmProxyData::ProvisionDataFolder(folder);
        Store = std::make_unique<TdmProxyData>(folder);
        Store->LoadData();
    }

    void AddProgram(const QString &file, int32_t port) {
        TDataTable &t = Store->cdsAnonymizedList();
        t.Append();
        t.FieldByName("Filename").SetAsString(file);
        t.FieldByName("NoOfProxy").SetAsInteger(2);
        if (port >= 0)
            t.FieldByName("ChainPort").SetAsInteger(port);
        t.Post();
    }

    std::map<QString, int32_t> Key() {
        TKeyValueStore key(TAnonymHandOff::KeyPath);
        std::map<QString, int32_t> out;
        for (const QString &name : key.ValueNames())
            out[name] = key.ReadInteger(name).value_or(-999);
        return out;
    }
};

TEST_F(AnonymHandOffTest, KeyMirrorsTheTable) {
    {
        // Something another writer put there, and a sub-key, which stays.
        TKeyValueStore key(TAnonymHandOff::KeyPath);
        key.WriteInteger("stale.exe", 1);
        key.Flush();
        QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "VelmoraAnonumizer",
                      "AnonymList");
        raw.setValue("Sub/inner", 5);
    }
    AddProgram("x.exe", 9050);
    AddProgram("y.exe", -1); // no port: written as 0
    EXPECT_TRUE(TAnonymHandOff::WriteAnonymListToRegistry(*Store));
    EXPECT_EQ(Key(), (std::map<QString, int32_t>{{"x.exe", 9050}, {"y.exe", 0}}));
    QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "VelmoraAnonumizer", "AnonymList");
    EXPECT_EQ(raw.value("Sub/inner").toInt(), 5);
    EXPECT_TRUE(TAnonymHandOff::Location().endsWith("VelmoraAnonumizer/AnonymList.conf"))
        << TAnonymHandOff::Location().toStdString();

    // Deleting rows removes their values at the next hand-off.
    ASSERT_TRUE(Store->AnonymDelete(1));
    TAnonymHandOff::WriteAnonymListToRegistry(*Store);
    EXPECT_EQ(Key(), (std::map<QString, int32_t>{{"y.exe", 0}}));
}

TEST_F(AnonymHandOffTest, NamesDifferingInCaseGiveOneValueLaterRowWins) {
    AddProgram("Browser.exe", 1080);
    AddProgram("BROWSER.EXE", 9050);
    TAnonymHandOff::WriteAnonymListToRegistry(*Store);
    const auto key = Key();
    ASSERT_EQ(key.size(), 1u);
    EXPECT_EQ(key.begin()->second, 9050);
}

TEST_F(AnonymHandOffTest, ProgramTypedWithItsFolderIsNamedByItsFileName) {
    AddProgram("/usr/bin/firefox", 1080);
    TAnonymHandOff::WriteAnonymListToRegistry(*Store);
    EXPECT_EQ(Key(), (std::map<QString, int32_t>{{"firefox", 1080}}));
    QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "VelmoraAnonumizer", "AnonymList");
    EXPECT_EQ(raw.allKeys(), QStringList({"firefox"})); // no sub-key "usr/bin"

    // Removed from the table, nothing of it is left in the key.
    ASSERT_TRUE(Store->AnonymDelete(1));
    TAnonymHandOff::WriteAnonymListToRegistry(*Store);
    raw.sync();
    EXPECT_TRUE(raw.allKeys().isEmpty()) << raw.allKeys().join('|').toStdString();
}

TEST_F(AnonymHandOffTest, FolderAndCaseDoNotMakeTwoValues) {
    AddProgram("/usr/bin/Firefox", 1080);
    AddProgram("firefox", 9050);
    AddProgram("/opt/tools/", 4000); // a folder, no program: no value
    TAnonymHandOff::WriteAnonymListToRegistry(*Store);
    EXPECT_EQ(Key(), (std::map<QString, int32_t>{{"Firefox", 9050}}));
}

TEST_F(AnonymHandOffTest, UnwritableKeyRaises) {
    // The key's folder cannot be made: a plain file stands where it would go.
    QFile blocker(Config.path() + "/blocked");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, blocker.fileName());
    AddProgram("x.exe", 9050);
    EXPECT_THROW(TAnonymHandOff::WriteAnonymListToRegistry(*Store), EVelmoraError);
    EXPECT_EQ(Store->cdsAnonymizedList().RecordCount(), 1); // the table is unaffected
}

} // namespace
