#pragma once
// The activity panel below the pages: a read-only text area whose lines are
// plain messages and one block per open connection (see TActivityLog). Every
// call may come from any thread: it is queued and run on the user-interface
// thread in the order it was raised; the caller never waits.

#include "ui/logic/ActivityLog.h"
#include "ui/logic/ActivityQueue.h"

#include <QFrame>
#include <functional>
#include <memory>

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
    // The queue itself, for handlers that may outlive the panel.
    std::shared_ptr<TActivityQueue> Queue() const { return FQueue; }

    // User-interface thread: runs the calls still queued.
    void Flush() { FQueue->Drain(); }
    // The visible lines, and the logic behind them.
    QStringList Lines() const;
    const TActivityLog &Log() const { return *FLog; }
    QPlainTextEdit *mmActivities() const { return FMemo; }

    // A failure while running a queued call ("error get ChainLog").
    std::function<void(const QString &)> FOnError;

private:
    class TMemoLines;
    void Run(const std::vector<TActivityCall> &batch);

    QPlainTextEdit *FMemo;
    std::unique_ptr<TMemoLines> FLines;
    std::unique_ptr<TActivityLog> FLog;
    std::shared_ptr<TActivityQueue> FQueue;
};
