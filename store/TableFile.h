#pragma once
// One table and its file in the data folder: loading, and saving by atomic
// replacement. A file this table does not hold the content of (it could not
// be read, or it was never loaded) is never replaced silently: before the
// first save over it, it is renamed aside and a notice says where. So is a
// file that another program changed since this table read or wrote it (its
// inode, size or modification time differ): the other change is kept, not
// overwritten unseen.

#include <QIODevice>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class TDataTable;

class TTableFile {
public:
    enum class TFileState : uint8_t {
        NotRead,    // no load attempted (or an earlier table's load stopped first)
        Loaded,     // the table holds what the file holds (read or written by us)
        Missing,    // the file did not exist at the last load
        Unreadable, // the file exists but could not be opened or decoded
    };

    TTableFile(TDataTable &table, QString fileName);

    const QString &FileName() const { return FFileName; }
    TDataTable &Table() { return FTable; }
    TFileState State() const { return FState; }
    // Where an unreadable file will be (or was last) kept aside.
    const QString &AsidePath() const { return FAsidePath; }

    // Reads `folder + FileName()` into the table. Missing or unopenable:
    // "Cannot open file "PATH". REASON". Undecodable: a message naming the
    // file, the fault and where the file will be kept. The table keeps its
    // content on every failure.
    void Load(const QString &folder);
    // Writes the whole table to `folder + FileName()` through a temporary file
    // in the same folder that replaces the old file only when complete. A
    // failure leaves the old file as it was and raises the error.
    void Save(const QString &folder);

    // Atomic write to `path` of what `write` puts on the device; `wrap`, when
    // set, stands between the writer and the temporary file (tests use it to
    // fail a write).
    using TDeviceWrap = std::function<std::unique_ptr<QIODevice>(QIODevice &target)>;
    static void WriteFile(const QString &path, const std::function<void(QIODevice &)> &write,
                          const TDeviceWrap &wrap = {});

    std::function<void(const QString &)> FOnNotice; // a file was kept aside
    TDeviceWrap FDeviceWrap;                        // for tests

private:
    QString PlanAside(const QString &path, const char *suffix) const;
    // Renames the file at `path` aside (throws when it cannot) and tells.
    void KeepAside(const QString &path, const QString &aside, const QString &notice);

    // What the file was when this table last read or wrote it.
    struct TStamp {
        uint64_t Inode = 0;
        int64_t Size = -1;
        int64_t MtimeNs = 0;
        bool operator==(const TStamp &) const = default;
    };
    static TStamp StampOf(int fd);
    static TStamp StampOf(const QString &path);

    TDataTable &FTable;
    QString FFileName;
    TFileState FState = TFileState::NotRead;
    QString FAsidePath;
    TStamp FStamp;
};
