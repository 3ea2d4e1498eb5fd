#pragma once
// The dialogs that the main window's commands open, each made once for the
// whole run and shown modally: the proxy record, the bulk list, the chain
// and the anonymized program. Each call prepares its dialog, shows it and
// returns true when it closed with OK.

#include <cstdint>

class TMainDialogs {
public:
    virtual ~TMainDialogs() = default;
    virtual bool AddProxy() = 0;
    virtual bool EditProxy(int32_t AUID) = 0;
    virtual bool AddBulkProxy() = 0;
    virtual bool AddSocksChain() = 0;
    virtual bool EditSocksChain(int32_t AUID) = 0;
    virtual bool AddAnonymProgram() = 0;
    virtual bool EditAnonymProgram(int32_t AUID) = 0;
};
