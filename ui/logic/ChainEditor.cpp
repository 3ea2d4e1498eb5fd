#include "ui/logic/ChainEditor.h"

#include "check/BulkIntake.h"
#include "engine/chain/ChainManager.h"
#include "platform/Error.h"
#include "store/ChainedProxyData.h"
#include "store/dmProxyData.h"

namespace {

int32_t ReadInteger(const QString &text) {
    const auto value = TBulkIntake::StrToInt(text);
    if (!value)
        throw EVelmoraError(TBulkIntake::InvalidIntegerMessage(text));
    return *value;
}

} // namespace

TChainEditor::TChainEditor(TdmProxyData &store, TChainManager &chains)
    : FStore(store), FChains(chains) {}

TChainForm TChainEditor::Add() {
    FStore.FAutoSave = false;
    FPortChanged = false;
    FProxyItemsChanged = false;
    FUID = 0;
    FDataMode = TDataMode::dtmAdd;
    TChainForm form;
    form.Interval = QStringLiteral("5");
    return form;
}

bool TChainEditor::Edit(int32_t AUID, TChainForm &form) {
    FPortChanged = false;
    FProxyItemsChanged = false;
    FStore.FAutoSave = false;
    FUID = AUID;
    try {
        FStore.LocateChainRecord(AUID);
    } catch (const EVelmoraError &) {
        return false;
    }
    FDataMode = TDataMode::dtmEdit;
    TDataTable &chains = FStore.cdsChainedProxies();
    form.Name = chains.FieldByName(QStringLiteral("Desc")).AsString();
    form.Port = QString::number(chains.FieldByName(QStringLiteral("LocalServerPort")).AsInteger());
    form.Interval = QString::number(chains.FieldByName(QStringLiteral("ChangeEvery")).AsInteger());
    form.AutoCreate = chains.FieldByName(QStringLiteral("AutoCreateChain")).AsBoolean();
    return true;
}

void TChainEditor::SaveChainRecord(const TChainForm &form) {
    // Read everything first, so that a bad number changes nothing.
    const int32_t port = ReadPort(form.Port);
    const bool hasInterval = !form.Interval.isEmpty();
    const int32_t interval = hasInterval ? ReadInteger(form.Interval) : 0;
    TDataTable &chains = FStore.cdsChainedProxies();
    if (FDataMode == TDataMode::dtmEdit) {
        FStore.LocateChainRecord(FUID);
        chains.Edit();
    } else {
        chains.Append();
        chains.FieldByName(QStringLiteral("Hidden")).SetAsBoolean(false);
    }
    chains.FieldByName(QStringLiteral("Desc")).SetAsString(form.Name);
    chains.FieldByName(QStringLiteral("LocalServerPort")).SetAsInteger(port);
    chains.FieldByName(QStringLiteral("AutoCreateChain")).SetAsBoolean(form.AutoCreate);
    if (hasInterval)
        chains.FieldByName(QStringLiteral("ChangeEvery")).SetAsInteger(interval);
    chains.Post();
    FUID = chains.FieldByName(QStringLiteral("UID")).AsInteger();
    FDataMode = TDataMode::dtmEdit;
}

void TChainEditor::LoadChainItems(TChainedProxyData &items) {
    if (FDataMode != TDataMode::dtmEdit)
        return;
    FStore.GetChainedProxyRecord(FUID, items);
}

void TChainEditor::AddPicked(const TChainForm &form, const std::vector<int32_t> &proxyUIDs) {
    if (FDataMode == TDataMode::dtmAdd)
        SaveChainRecord(form);
    if (FDataMode != TDataMode::dtmEdit)
        return;
    for (int32_t proxyUID : proxyUIDs) {
        FStore.AddChainedItem(FUID, proxyUID);
        FProxyItemsChanged = true;
    }
}

void TChainEditor::RemoveItem(int32_t proxyUID) {
    if (FDataMode != TDataMode::dtmEdit)
        return;
    if (FStore.RemoveChainedItem(FUID, proxyUID))
        FProxyItemsChanged = true;
}

TChainEditor::TOkResult TChainEditor::Ok(const TChainForm &form, bool hasItems, QString &message) {
    if (FDataMode == TDataMode::dtmNone)
        return TOkResult::Ignored;
    if (form.Name.isEmpty() || form.Port.isEmpty()) {
        message = QStringLiteral("Name and port must be entered");
        return TOkResult::Refused;
    }
    if (!form.AutoCreate && !hasItems) {
        message = QStringLiteral("Chain must has at least one proxy");
        return TOkResult::Refused;
    }
    if (form.AutoCreate)
        return TOkResult::StayOpen;

    const int32_t oldUID = FUID;
    const int32_t port = ReadPort(form.Port);
    if (FDataMode == TDataMode::dtmEdit) {
        FStore.LocateChainRecord(FUID);
        if (port !=
            FStore.cdsChainedProxies().FieldByName(QStringLiteral("LocalServerPort")).AsInteger())
            FPortChanged = true;
    }
    SaveChainRecord(form);
    FStore.SaveData();
    FStore.FAutoSave = true;

    if (FChains.Add(FUID) >= 0) {
        FChains.StartAService(oldUID ? oldUID : FUID, false);
    } else if (FProxyItemsChanged || FPortChanged) {
        FChains.StopAService(FUID, false);
        if (FChains.Add(FUID) >= 0)
            FChains.StartAService(FUID, true);
    }
    return TOkResult::Accepted;
}

void TChainEditor::Cancel() {
    TDataTable &chains = FStore.cdsChainedProxies();
    if (chains.State() != TDataTable::TState::dsBrowse)
        chains.Cancel();
    else
        FStore.ReloadChains();
}

void TChainEditor::Closed() {
    FStore.FAutoSave = true;
}

bool TChainEditor::AddEnabled(const TChainForm &form) {
    return !form.AutoCreate && !form.Name.isEmpty() && !form.Port.isEmpty();
}

bool TChainEditor::ItemCommandsEnabled(const TChainForm &form, bool rowSelected) {
    return rowSelected && !form.AutoCreate;
}

int32_t TChainEditor::ReadPort(const QString &text) {
    const QString trimmed = text.trimmed();
    const int32_t port = ReadInteger(trimmed);
    if (port < 1 || port > 65535)
        throw EVelmoraError(QStringLiteral("Port must be a number from 1 to 65535"));
    return port;
}
