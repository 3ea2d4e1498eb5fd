#pragma once
// A store working on a temporary data folder filled with one of the sample
// sets of tests/data.

#include "TsvRender.h"

#include "platform/Error.h"
#include "store/dmProxyData.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

inline const QStringList &TableFiles() {
    static const QStringList names = {
        QStringLiteral("Proxies.cds"), QStringLiteral("ChainedProxies.cds"),
        QStringLiteral("ChainedProxyProxies.cds"), QStringLiteral("settings.cds"),
        QStringLiteral("AnonymizedList.cds")};
    return names;
}

class StoreFixture : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Tmp.isValid());
        Folder = Tmp.path() + QStringLiteral("/data/");
    }

    // Copies the five files of tests/data/<set> into the data folder and
    // dates them back, so that a rewrite shows in their times.
    void Fill(const QString &set) {
        QDir().mkpath(Folder);
        for (const QString &name : TableFiles()) {
            const QString target = Folder + name;
            QFile::remove(target);
            ASSERT_TRUE(QFile::copy(tsv::DataPath(set + QLatin1Char('/') + name), target));
            QFile f(target);
            f.setPermissions(f.permissions() | QFileDevice::WriteOwner);
            ASSERT_TRUE(f.open(QIODevice::ReadWrite));
            f.setFileTime(Old(), QFileDevice::FileModificationTime);
        }
    }
    void Open() { Store = std::make_unique<TdmProxyData>(Folder); }
    void LoadSet(const QString &set) {
        Fill(set);
        Open();
        Store->LoadData();
    }

    static QDateTime Old() { return QDateTime(QDate(2001, 1, 1), QTime(0, 0)); }
    bool Rewritten(const QString &name) const {
        return QFileInfo(Folder + name).lastModified() != Old();
    }
    QByteArray Bytes(const QString &name) const { return tsv::ReadFile(Folder + name); }
    QStringList FolderEntries() const {
        return QDir(Folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    QTemporaryDir Tmp;
    QString Folder;
    std::unique_ptr<TdmProxyData> Store;
};

inline QString MessageOf(const std::function<void()> &action) {
    try {
        action();
    } catch (const EVelmoraError &e) {
        return e.Message();
    }
    return {};
}
