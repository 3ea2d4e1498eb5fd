#include "check/ChainTest.h"

#include "engine/chain/ProxyChain.h"

// Placeholder until the fetch is written: every test fails plainly.
TChainTestResult TChainTest::Run(TProxyChain &chain, int) {
    TChainTestResult result;
    result.ChainName = chain.ChainData().FDesc;
    result.Port = chain.Port();
    result.Error = QStringLiteral("Test Chain is not available yet");
    return result;
}

QStringList TChainTest::ReportLines(const TChainTestResult &result) {
    return {QStringLiteral("Test of chain \"%1\": %2").arg(result.ChainName, result.Error)};
}

void TChainTest::Record(TdmProxyData &, int32_t, const TChainTestResult &) {}
