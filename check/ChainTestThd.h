#pragma once
// "Test Chain" on a worker thread of its own, so that the window never waits
// for it: TChainTest::Run through a running chain, the result handed to the
// user-interface thread.
//
// Create with new, set FChain, FTimeoutMs and OnTestDone, Start(). The
// handler runs exactly once, on the user-interface thread; the task then
// deletes itself. The task holds a share of the chain object, so a stop of
// the chain meanwhile only makes the test fail.

#include "check/ChainTest.h"
#include "platform/WorkerThread.h"

#include <functional>
#include <memory>

class TProxyChain;

class TChainTestThd : public TWorkerThread {
public:
    TChainTestThd() = default;

    std::shared_ptr<TProxyChain> FChain; // TChainManager::Share
    int FTimeoutMs = 30000;
    std::function<void(const TChainTestResult &result)> OnTestDone;

protected:
    ~TChainTestThd() override = default;
    void Execute() override;
    void StartFailed() override;

private:
    void Done();

    TChainTestResult FResult;
};
