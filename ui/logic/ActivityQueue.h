#pragma once
// The bridge from the threads that report activity to the activity panel.
// Any thread may add calls; they are kept in one list in the order they were
// raised and run in that order on the user-interface thread, in batches, when
// its event loop next turns. Adding a call never waits for that thread: a
// connection thread may be the one that user-interface thread is waiting to
// join.
//
// Held by shared pointer: the reporting handlers keep the queue alive, and a
// queue whose panel is gone simply drops what it drains.

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct TActivityCall {
    enum class TKind : uint8_t {
        AddMessage,
        CreateChainLog,
        WriteChainLog,
        DeleteChainLog,
        RecordBytes
    };
    TKind Kind = TKind::AddMessage;
    int32_t ChainUID = 0;
    int32_t ContextID = 0;
    QString Text;
    uint64_t Bytes = 0; // RecordBytes
};

class TActivityQueue : public std::enable_shared_from_this<TActivityQueue> {
public:
    using TSink = std::function<void(const std::vector<TActivityCall> &batch)>;

    static std::shared_ptr<TActivityQueue> Create();

    // Any thread; never blocks on the user-interface thread.
    void AddMessage(const QString &AMsg);
    void CreateChainLog(int32_t AChainUID, int32_t AContextID, const QString &AActivityMsg);
    void WriteChainLog(int32_t AChainUID, int32_t AContextID, const QString &AActivityMsg);
    void DeleteChainLog(int32_t AContextID, const QString &AActivityMsg);
    void RecordBytes(int32_t AContextID, uint64_t ABytes);

    // User-interface thread: where drained calls go; none drops them.
    void SetSink(TSink sink);
    // User-interface thread: runs every pending call now.
    void Drain();
    size_t Pending();

private:
    TActivityQueue() = default;
    void Push(TActivityCall call);

    std::mutex FLock;
    std::vector<TActivityCall> FPending;
    bool FDrainPosted = false;
    TSink FSink;
};
