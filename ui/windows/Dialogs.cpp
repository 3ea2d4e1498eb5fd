#include "ui/windows/Dialogs.h"

#include "ui/windows/frmAddBulkProxy.h"
#include "ui/windows/frmAnonymizedProgram.h"
#include "ui/windows/frmProxyRecord.h"
#include "ui/windows/frmSocksChainRecord.h"

TDialogs::TDialogs(TdmProxyData &store, TChainManager &chains, TUiPrompts &prompts, QWidget *parent)
    : FProxyRecord(new TfrmProxyRecord(store, prompts, parent)),
      FBulk(new TfrmAddBulkProxy(store, prompts, parent)),
      FProgram(new TfrmAnonymizedProgram(store, prompts, parent)),
      FChainRecord(new TfrmSocksChainRecord(store, chains, prompts, parent)) {
    FChainRecord->FOnEditProxy = [this](int32_t uid) { return EditProxy(uid); };
}

TDialogs::~TDialogs() {
    delete FChainRecord.data();
    delete FProgram.data();
    delete FBulk.data();
    delete FProxyRecord.data();
}

TfrmProxyRecord *TDialogs::frmProxyRecord() const {
    return FProxyRecord;
}
TfrmAddBulkProxy *TDialogs::frmAddBulkProxy() const {
    return FBulk;
}
TfrmSocksChainRecord *TDialogs::frmSocksChainRecord() const {
    return FChainRecord;
}
TfrmAnonymizedProgram *TDialogs::frmAnonymizedProgram() const {
    return FProgram;
}

bool TDialogs::AddProxy() {
    FProxyRecord->Add();
    return FProxyRecord->exec() == QDialog::Accepted;
}

bool TDialogs::EditProxy(int32_t AUID) {
    if (!FProxyRecord->Edit(AUID))
        return false;
    return FProxyRecord->exec() == QDialog::Accepted;
}

bool TDialogs::AddBulkProxy() {
    return FBulk->exec() == QDialog::Accepted;
}

bool TDialogs::AddSocksChain() {
    FChainRecord->Add();
    return FChainRecord->exec() == QDialog::Accepted;
}

bool TDialogs::EditSocksChain(int32_t AUID) {
    if (!FChainRecord->Edit(AUID)) {
        FChainRecord->Editor().Closed();
        return false;
    }
    return FChainRecord->exec() == QDialog::Accepted;
}

bool TDialogs::AddAnonymProgram() {
    FProgram->Add();
    return FProgram->exec() == QDialog::Accepted;
}

bool TDialogs::EditAnonymProgram(int32_t AUID) {
    FProgram->Edit(AUID);
    return FProgram->exec() == QDialog::Accepted;
}
