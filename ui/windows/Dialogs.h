#pragma once
// The record dialogs of the run, each made once and shown modally when a
// command needs it: the proxy dialog, the bulk dialog, the chain dialog
// (which opens the proxy dialog for a proxy of its chain) and the program
// dialog.

#include "ui/logic/MainDialogs.h"

#include <QPointer>

class QWidget;
class TChainManager;
class TUiPrompts;
class TdmProxyData;
class TfrmAddBulkProxy;
class TfrmAnonymizedProgram;
class TfrmProxyRecord;
class TfrmSocksChainRecord;

class TDialogs : public TMainDialogs {
public:
    TDialogs(TdmProxyData &store, TChainManager &chains, TUiPrompts &prompts, QWidget *parent);
    ~TDialogs() override;

    bool AddProxy() override;
    bool EditProxy(int32_t AUID) override;
    bool AddBulkProxy() override;
    bool AddSocksChain() override;
    bool EditSocksChain(int32_t AUID) override;
    bool AddAnonymProgram() override;
    bool EditAnonymProgram(int32_t AUID) override;

    TfrmProxyRecord *frmProxyRecord() const;
    TfrmAddBulkProxy *frmAddBulkProxy() const;
    TfrmSocksChainRecord *frmSocksChainRecord() const;
    TfrmAnonymizedProgram *frmAnonymizedProgram() const;

private:
    // Children of the main window: whichever goes first takes them along.
    QPointer<TfrmProxyRecord> FProxyRecord;
    QPointer<TfrmAddBulkProxy> FBulk;
    QPointer<TfrmAnonymizedProgram> FProgram;
    QPointer<TfrmSocksChainRecord> FChainRecord;
};
