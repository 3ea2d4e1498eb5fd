#pragma once
// The data folder's lock file ".lock" (flock(2), so it goes with the
// process however that ends). A running instance (window or --headless)
// holds it shared for its whole life; a command of the command line that
// changes the store holds it exclusive for its whole read-change-write, and
// gets it only while no instance runs (then the instance makes the change).
// The holder writes "PID COMMAND" into the file, so one that waits can say
// who holds it.

#include <QString>

class TDataFolderLock {
public:
    enum class TMode { Shared, Exclusive };
    static const QString FileName; // ".lock"

    // `folder` with a trailing separator; it must exist.
    explicit TDataFolderLock(QString folder);
    ~TDataFolderLock();
    TDataFolderLock(const TDataFolderLock &) = delete;
    TDataFolderLock &operator=(const TDataFolderLock &) = delete;

    // One try without waiting; true when held. `holder` is what the file
    // then names ("velmora import"); empty, the file keeps naming the
    // holder it names (a brief reader beside an instance). Throws when the
    // file cannot be opened.
    bool TryLock(TMode mode, const QString &holder);
    // Tries every 50 ms until held or timeoutMs have passed.
    bool Lock(TMode mode, const QString &holder, int timeoutMs);
    bool Held() const { return FHeld; }
    // "process 123 (velmora import)", as the file names the last holder;
    // "another process" when it names none.
    QString Holder() const;

private:
    QString FPath;
    int FFd = -1;
    bool FHeld = false;
};
