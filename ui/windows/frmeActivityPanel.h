#pragma once
// The activity panel below the pages: a read-only text area whose lines are
// plain messages and one block per open connection (see TActivityLog), each
// line with its time, the last 10,000 lines kept. Every call may come from
// any thread: it is queued and run on the user-interface thread in the order
// it was raised; the caller never waits. The view follows new lines while it
// is scrolled to the bottom only. Its context menu clears the lines or saves
// them to a file; a log file, when set, gets every line as it comes.

#include "ui/logic/ActivityLog.h"
#include "ui/logic/ActivityQueue.h"

#include <QFrame>
#include <functional>
#include <memory>

class QAction;
class QFile;
class QPlainTextEdit;

class TfrmeActivityPanel : public QFrame {
public:
    explicit TfrmeActivityPanel(QWidget *parent = nullptr);
    ~TfrmeActivityPanel() override;

    // Any thread.
    void AddMessage(const QString &AMsg) { FQueue->AddMessage(AMsg); }
    void CreateChainLog(int32_t AChainUID, int32_t AContextID, const QString &AActivityMsg) {
        FQueue->CreateChainLog(AChainUID, AContextID, AActivityMsg);
    }
    void WriteChainLog(int32_t AChainUID, int32_t AContextID, const QString &AActivityMsg) {
        FQueue->WriteChainLog(AChainUID, AContextID, AActivityMsg);
    }
    void DeleteChainLog(int32_t AContextID, const QString &AActivityMsg) {
        FQueue->DeleteChainLog(AContextID, AActivityMsg);
    }
    // The bytes a connection moved, said right before its DeleteChainLog.
    void RecordBytes(int32_t AContextID, uint64_t ABytes) {
        FQueue->RecordBytes(AContextID, ABytes);
    }
    // The queue itself, for handlers that may outlive the panel.
    std::shared_ptr<TActivityQueue> Queue() const { return FQueue; }

    // User-interface thread: runs the calls still queued.
    void Flush() { FQueue->Drain(); }
    // The visible lines, and the logic behind them.
    QStringList Lines() const;
    const TActivityLog &Log() const { return *FLog; }
    TActivityLog &Log() { return *FLog; }
    // The context menu's commands: Clear keeps the open connections' blocks;
    // Save As asks for a file (FOnAskFileName) and writes the lines as shown.
    QAction *actClear() const { return FClear; }
    QAction *actSaveAs() const { return FSaveAs; }
    // Appends every new line to `path` from now on; empty: to no file. False
    // (and no file) when it cannot be opened (FOnError said why).
    bool SetLogFile(const QString &path);
    QString LogFile() const;
    // Writes the lines as shown to `path`; false when that failed (FOnError said why).
    bool SaveTo(const QString &path);

    // Asks where to save the lines; empty: cancelled.
    std::function<QString()> FOnAskFileName;
    QPlainTextEdit *mmActivities() const { return FMemo; }

    // A failure while running a queued call ("error get ChainLog").
    std::function<void(const QString &)> FOnError;

private:
    class TMemoLines;
    void Run(const std::vector<TActivityCall> &batch);
    void WriteToLogFile(const QString &line);

    QPlainTextEdit *FMemo;
    std::unique_ptr<TMemoLines> FLines;
    std::unique_ptr<TActivityLog> FLog;
    std::shared_ptr<TActivityQueue> FQueue;
    std::unique_ptr<QFile> FLogFile;
    QAction *FClear;
    QAction *FSaveAs;
};
