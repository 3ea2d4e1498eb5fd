#include "check/ChainTestThd.h"

#include "engine/chain/ProxyChain.h"
#include "platform/UiThread.h"

namespace {

// A result that says only why the test did not run.
void Failed(TChainTestResult &result, const TProxyChain *chain, const QString &error) {
    result.Ok = false;
    result.Error = error;
    if (chain) {
        result.ChainName = chain->ChainData().FDesc;
        result.Port = chain->Port();
    }
}

} // namespace

void TChainTestThd::Execute() {
    try {
        if (!FChain)
            throw EVelmoraError("error , instance must be created");
        FResult = TChainTest::Run(*FChain, FTimeoutMs);
    } catch (const std::exception &e) {
        Failed(FResult, FChain.get(), QString::fromUtf8(e.what()));
    } catch (...) {
        Failed(FResult, FChain.get(), QStringLiteral("the test failed"));
    }
    try {
        TUiThread::Synchronize([this] { Done(); });
    } catch (...) {
        // The handler's own failure; it has had its one call.
    }
}

void TChainTestThd::StartFailed() {
    Failed(FResult, FChain.get(), QStringLiteral("Could not start a thread."));
    Done();
}

void TChainTestThd::Done() {
    if (OnTestDone)
        OnTestDone(FResult);
}
