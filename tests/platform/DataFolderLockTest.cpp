// The data folder's lock file: instances share it, a command holds it alone,
// and one that waits can say who holds it.
#include "platform/DataFolderLock.h"
#include "platform/Error.h"

#include <QTemporaryDir>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

using TMode = TDataFolderLock::TMode;

class DataFolderLock : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    QString Folder() const { return Dir.path() + QStringLiteral("/"); }
    QString Me(const char *command) const {
        return QStringLiteral("process %1 (%2)").arg(::getpid()).arg(command);
    }
};

// Each lock opens the file anew, so two in one process meet as two
// processes would (flock locks belong to the open file).
TEST_F(DataFolderLock, SharedHoldersKeepACommandOutAndACommandKeepsEveryoneOut) {
    {
        TDataFolderLock instance(Folder()), other(Folder()), command(Folder());
        ASSERT_TRUE(instance.TryLock(TMode::Shared, QStringLiteral("velmora --headless")));
        EXPECT_TRUE(other.TryLock(TMode::Shared, QStringLiteral("velmora window")));
        EXPECT_FALSE(command.TryLock(TMode::Exclusive, QStringLiteral("velmora import")));
        EXPECT_FALSE(command.Held());
        EXPECT_EQ(command.Holder(), Me("velmora window"));
    }
    TDataFolderLock command(Folder()), instance(Folder());
    ASSERT_TRUE(command.TryLock(TMode::Exclusive, QStringLiteral("velmora chain add")));
    for (TMode mode : {TMode::Shared, TMode::Exclusive})
        EXPECT_FALSE(instance.TryLock(mode, QStringLiteral("velmora --headless")));
    EXPECT_EQ(instance.Holder(), Me("velmora chain add"));
}

TEST_F(DataFolderLock, AWaitIsBoundedAndEndsWhenTheHolderLetsGo) {
    auto command = std::make_unique<TDataFolderLock>(Folder());
    ASSERT_TRUE(command->TryLock(TMode::Exclusive, QStringLiteral("velmora check")));
    TDataFolderLock instance(Folder());
    EXPECT_FALSE(instance.Lock(TMode::Shared, QStringLiteral("velmora --headless"), 200));

    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        command.reset();
    });
    EXPECT_TRUE(instance.Lock(TMode::Shared, QStringLiteral("velmora --headless"), 20000));
    release.join();
    EXPECT_EQ(instance.Holder(), Me("velmora --headless"));
}

TEST_F(DataFolderLock, AFileThatNamesNoHolderSaysAnotherProcess) {
    TDataFolderLock lock(Folder());
    EXPECT_EQ(lock.Holder(), QStringLiteral("another process")); // not even opened
    ASSERT_TRUE(lock.TryLock(TMode::Shared, QString()));
    TDataFolderLock other(Folder());
    EXPECT_FALSE(other.TryLock(TMode::Exclusive, QStringLiteral("velmora import")));
    EXPECT_EQ(other.Holder(), QStringLiteral("another process"));
}

TEST_F(DataFolderLock, AReaderBesideAnInstanceLeavesTheInstanceNamed) {
    TDataFolderLock instance(Folder()), reader(Folder()), starting(Folder());
    ASSERT_TRUE(instance.TryLock(TMode::Shared, QStringLiteral("velmora --headless")));
    ASSERT_TRUE(reader.TryLock(TMode::Shared, QString()));
    EXPECT_EQ(starting.Holder(), QStringLiteral("another process")); // not opened yet
    EXPECT_FALSE(starting.TryLock(TMode::Exclusive, QStringLiteral("velmora import")));
    EXPECT_EQ(starting.Holder(), Me("velmora --headless"));
}

TEST_F(DataFolderLock, AFolderThatCannotHoldTheFileIsAnError) {
    TDataFolderLock lock(Dir.path() + QStringLiteral("/missing/"));
    EXPECT_THROW(lock.TryLock(TMode::Exclusive, QStringLiteral("velmora import")), EVelmoraError);
}

} // namespace
