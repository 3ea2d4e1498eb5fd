#pragma once
// "Test Chain" on a worker thread of its own, so that the window never waits
// for it: TChainTest::Run through a running chain, the result handed to the
// user-interface thread.
//
// Create with new, set FChain, FTimeoutMs and OnTestDone, Start(). The
// handler runs exactly once, on the user-interface thread; the task then
// deletes itself. The chain object must live until the handler has run:
// whoever starts the test keeps it from being stopped meanwhile.

#include "check/ChainTest.h"
#include "platform/WorkerThread.h"

#include <functional>

class TProxyChain;

class TChainTestThd : public TWorkerThread {
public:
    TChainTestThd() = default;

    TProxyChain *FChain = nullptr;
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
