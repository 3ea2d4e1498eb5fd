#include "ui/logic/ChainEditor.h"

#include "check/BulkIntake.h"
#include "engine/chain/ChainManager.h"
#include "engine/chain/ProxyChain.h"
#include "platform/Error.h"
#include "store/ChainedProxyData.h"
#include "store/dmProxyData.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace {

const QString IntervalMessage =
    QStringLiteral("Change the Chain every: enter a whole number of seconds, 0 or more "
                   "(0: a new chain at every start)");
const QString CountMessage =
    QStringLiteral("Proxies in the chain: enter a whole number from 1 to 10");

std::optional<int32_t> WholeNumber(const QString &text) {
    return TBulkIntake::StrToInt(text.trimmed());
}

int32_t ReadInteger(const QString &text) {
    const auto value = WholeNumber(text);
    if (!value)
        throw EVelmoraError(TBulkIntake::InvalidIntegerMessage(text.trimmed()));
    return *value;
}

std::optional<int32_t> ReadInterval(const QString &text) {
    const auto value = WholeNumber(text);
    if (!value || *value < 0)
        return std::nullopt;
    return value;
}

std::optional<int32_t> ReadCount(const QString &text) {
    const auto value = WholeNumber(text);
    if (!value || *value < 1 || *value > 10)
        return std::nullopt;
    return value;
}

} // namespace

TChainEditor::TChainEditor(TdmProxyData &store, TChainManager &chains)
    : FStore(store), FChains(chains) {}

void TChainEditor::HoldSaves() {
    if (!FHold)
        FHold.emplace(FStore);
}

TChainForm TChainEditor::Add() {
    HoldSaves();
    FPortChanged = false;
    FProxyItemsChanged = false;
    FUID = 0;
    FDataMode = TDataMode::dtmAdd;
    TChainForm form;
    form.Interval = QStringLiteral("5");
    form.Count = QStringLiteral("3");
    return form;
}

bool TChainEditor::Edit(int32_t AUID, TChainForm &form) {
    FPortChanged = false;
    FProxyItemsChanged = false;
    HoldSaves();
    FUID = AUID;
    const std::optional<TChainedProxyData> chain = FStore.FindChain(AUID);
    if (!chain)
        return false;
    FDataMode = TDataMode::dtmEdit;
    const TRotationSettings rotation = ReadRotationSettings(FStore, AUID);
    form.Name = chain->FDesc;
    form.Port = QString::number(chain->FPort);
    form.Interval = QString::number(rotation.ChangeEvery);
    form.AutoCreate = rotation.AutoCreate;
    form.Count = QString::number(rotation.NoOfProxies);
    return true;
}

QString TChainEditor::FormProblem(const TChainForm &form) const {
    if (form.Name.isEmpty() || form.Port.isEmpty())
        return QStringLiteral("Name and port must be entered");
    const auto port = WholeNumber(form.Port);
    if (!port)
        return TBulkIntake::InvalidIntegerMessage(form.Port.trimmed());
    const QString portProblem =
        FChains.PortProblem(FDataMode == TDataMode::dtmEdit ? FUID : 0, *port);
    if (!portProblem.isEmpty())
        return portProblem;
    if (!ReadInterval(form.Interval))
        return IntervalMessage;
    if (!ReadCount(form.Count))
        return CountMessage;
    return {};
}

void TChainEditor::SaveChainRecord(const TChainForm &form) {
    // Read everything first, so that a bad number changes nothing.
    const int32_t port = ReadPort(form.Port);
    const auto interval = ReadInterval(form.Interval);
    if (!interval)
        throw EVelmoraError(IntervalMessage);
    const auto count = ReadCount(form.Count);
    if (!count)
        throw EVelmoraError(CountMessage);
    TChainChange change{.Desc = form.Name,
                        .Port = port,
                        .AutoCreate = form.AutoCreate,
                        .ChangeEvery = *interval,
                        .NoOfProxies = *count};
    if (FDataMode == TDataMode::dtmEdit)
        change.UID = FUID;
    else
        change.Hidden = false;
    FUID = FStore.PutChain(change);
    FDataMode = TDataMode::dtmEdit;
}

void TChainEditor::LoadChainItems(TChainedProxyData &items) {
    if (FDataMode != TDataMode::dtmEdit)
        return;
    items = FStore.GetChain(FUID);
}

void TChainEditor::AddPicked(const TChainForm &form, const std::vector<int32_t> &proxyUIDs) {
    if (FDataMode == TDataMode::dtmAdd) {
        const QString problem = FormProblem(form);
        if (!problem.isEmpty())
            throw EVelmoraError(problem);
        SaveChainRecord(form);
    }
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

void TChainEditor::RemoveItems(const std::vector<int32_t> &proxyUIDs) {
    for (int32_t proxyUID : proxyUIDs)
        RemoveItem(proxyUID);
}

bool TChainEditor::MoveItems(const std::vector<int32_t> &proxyUIDs, int delta) {
    if (FDataMode != TDataMode::dtmEdit || delta == 0)
        return false;
    const TChainedProxyData chain = FStore.GetChain(FUID);
    std::vector<int32_t> order;
    std::vector<char> picked; // not vector<bool>: its elements are swapped
    for (const auto &item : chain.FChainedItems) {
        order.push_back(item->FUID);
        picked.push_back(std::find(proxyUIDs.begin(), proxyUIDs.end(), item->FUID) !=
                         proxyUIDs.end());
    }
    const int n = static_cast<int>(order.size());
    bool moved = false;
    auto swap = [&](int i, int j) { // j = i + step, i picked and j not
        FStore.MoveChainedItem(FUID, order[i], j - i);
        std::swap(order[i], order[j]);
        std::swap(picked[i], picked[j]);
        moved = true;
    };
    for (int step = 0; step < std::abs(delta); ++step) {
        if (delta < 0) {
            for (int i = 1; i < n; ++i)
                if (picked[i] && !picked[i - 1])
                    swap(i, i - 1);
        } else {
            for (int i = n - 2; i >= 0; --i)
                if (picked[i] && !picked[i + 1])
                    swap(i, i + 1);
        }
    }
    if (moved)
        FProxyItemsChanged = true;
    return moved;
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
    message = FormProblem(form);
    if (!message.isEmpty())
        return TOkResult::Refused;

    // What a running chain would have to be restarted for: its port, its
    // hops, its rotation. A new name alone leaves it running.
    const int32_t port = ReadPort(form.Port);
    bool rotationChanged = false;
    if (FDataMode == TDataMode::dtmEdit) {
        if (port != FStore.GetChain(FUID).FPort)
            FPortChanged = true;
        const TRotationSettings before = ReadRotationSettings(FStore, FUID);
        rotationChanged = before.AutoCreate != form.AutoCreate ||
                          (form.AutoCreate && (before.ChangeEvery != *ReadInterval(form.Interval) ||
                                               before.NoOfProxies != *ReadCount(form.Count)));
    }
    SaveChainRecord(form);
    FStore.SaveData();
    FHold.reset();

    // Whatever stopped the chain before, it runs as it is now saved.
    const bool running = FChains.State(FUID).State == TChainRunState::Running;
    if (!running || FPortChanged || FProxyItemsChanged || rotationChanged)
        FChains.RestartChain(FUID);
    return TOkResult::Accepted;
}

void TChainEditor::Cancel() {
    if (FHold)
        FHold->Discard();
    TDataTable &chains = FStore.cdsChainedProxies();
    if (chains.State() != TDataTable::TState::dsBrowse)
        chains.Cancel();
    else
        FStore.ReloadChains();
}

void TChainEditor::Closed() {
    FHold.reset();
}

bool TChainEditor::AddEnabled(const TChainForm &form) {
    return !form.Name.isEmpty() && !form.Port.isEmpty();
}

bool TChainEditor::ItemCommandsEnabled(const TChainForm &, bool rowSelected) {
    return rowSelected;
}

int32_t TChainEditor::ReadPort(const QString &text) {
    const QString trimmed = text.trimmed();
    const int32_t port = ReadInteger(trimmed);
    if (port < 1 || port > 65535)
        throw EVelmoraError(QStringLiteral("Port must be a number from 1 to 65535"));
    return port;
}

QString TChainEditor::LastHopWarning(const TChainedProxyData &items) {
    if (items.FChainedItems.empty() ||
        items.FChainedItems.back()->FProxyType != TProxyType::ptSOCKS4)
        return {};
    return QStringLiteral("The last proxy of this chain is SOCKS 4. Destinations given by name "
                          "are passed to it to look up (SOCKS 4a) and never looked up on this "
                          "machine; a SOCKS 4 proxy that cannot look names up refuses them.");
}
