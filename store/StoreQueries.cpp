// The store's readers that work from the rows themselves: detached values,
// no cursor moved, no filter changed.

#include "store/dmProxyData.h"

#include "platform/Error.h"
#include "store/DateTimeCodec.h"
#include "store/Win1252.h"

#include <algorithm>

namespace {

QString Text(const TFieldValue &v) {
    const auto *bytes = std::get_if<QByteArray>(&v);
    return bytes ? TWin1252::ToUnicode(*bytes) : QString();
}

TDateTime DateTime(const TFieldValue &v) {
    const auto *ms = std::get_if<double>(&v);
    return ms ? TDateTimeCodec::FromMSecs(*ms) : 0;
}

std::optional<int32_t> OptionalInt(const TFieldValue &v) {
    if (IsNullValue(v))
        return std::nullopt;
    return Int32Value(v);
}

} // namespace

TProxData TdmProxyData::RecordOf(const TDataTable::TRow &row) const {
    // As GetProxyRecord reads the current row, straight from the row.
    auto real = [](const TFieldValue &v) {
        if (const auto *d = std::get_if<double>(&v))
            return *d;
        if (const auto *i = std::get_if<int64_t>(&v))
            return static_cast<double>(*i);
        return 0.0;
    };
    const auto &v = row.Values;
    TProxData rec;
    rec.FHostName = Text(v[FP.HostName]);
    rec.FIPAddress = Text(v[FP.IPAddress]);
    rec.FProxyType = static_cast<TProxyType>(Int32Value(v[FP.HostType]) & 0xFF);
    rec.FUID = Int32Value(v[FP.UID]);
    rec.FPort = Int32Value(v[FP.Port]);
    rec.FStatus = static_cast<TProxyStatus>(Int32Value(v[FP.Status]) & 0xFF);
    rec.FLastChecked = DateTime(v[FP.LastChecked]);
    rec.FSpeed = real(v[FP.Speed]);
    rec.FCurrHostNameType = hntIPAddress;
    return rec;
}

void TdmProxyData::GetAllProxyRecords(std::vector<std::unique_ptr<TProxData>> &ALst) {
    // Straight from the rows (a check of 100,000 proxies starts with this);
    // the cursor ends on the last row, as a walk to the end would leave it.
    FProxies.CheckBrowseMode();
    const std::vector<const TDataTable::TRow *> rows = FProxies.VisibleRows();
    ALst.reserve(ALst.size() + rows.size());
    for (const TDataTable::TRow *row : rows)
        ALst.push_back(std::make_unique<TProxData>(RecordOf(*row)));
    if (!rows.empty())
        FProxies.Last();
}

size_t TdmProxyData::GetProxyRecords(const std::vector<int32_t> &AUIDs, size_t AFrom, size_t ACount,
                                     std::vector<std::unique_ptr<TProxData>> &ALst) {
    FProxies.CheckBrowseMode();
    const size_t end = std::min(AUIDs.size(), AFrom + ACount);
    size_t added = 0;
    for (size_t i = AFrom; i < end; ++i) {
        if (const TDataTable::TRow *row = FProxies.FindUID(AUIDs[i])) {
            ALst.push_back(std::make_unique<TProxData>(RecordOf(*row)));
            ++added;
        }
    }
    return added;
}

std::optional<TProxData> TdmProxyData::FindProxy(int32_t uid) const {
    if (const TDataTable::TRow *row = FProxies.FindUID(uid))
        return RecordOf(*row);
    return std::nullopt;
}

std::optional<TChainedProxyData> TdmProxyData::FindChain(int32_t uid) const {
    const TDataTable::TRow *row = FChains.FindUID(uid);
    if (!row)
        return std::nullopt;
    // As GetChainedProxyRecord fills the record, straight from the rows.
    const auto &v = row->Values;
    TChainedProxyData chain;
    chain.FUID = Int32Value(v[FC.UID]);
    chain.FDesc = Text(v[FC.Desc]);
    const auto *hidden = std::get_if<bool>(&v[FC.Hidden]);
    chain.FHidden = hidden && *hidden;
    chain.FPort = Int32Value(v[FC.LocalServerPort]);
    chain.FLastChecked = DateTime(v[FC.LastChecked]);
    chain.FStatus = static_cast<TProxyStatus>(Int32Value(v[FC.Status]) & 0xFF);
    for (const TDataTable::TRow *item : FItems.AllRows()) {
        const TFieldValue &chainUID = item->Values[FI.ChainUID];
        const TFieldValue &proxyUID = item->Values[FI.ProxyUID];
        if (IsNullValue(chainUID) || Int32Value(chainUID) != uid)
            continue;
        if (const TDataTable::TRow *proxy = FProxies.FindUID(Int32Value(proxyUID)))
            chain.AddItem(std::make_unique<TProxData>(RecordOf(*proxy)));
    }
    return chain;
}

TChainedProxyData TdmProxyData::GetChain(int32_t uid) const {
    std::optional<TChainedProxyData> chain = FindChain(uid);
    if (!chain)
        throw EVelmoraError("chain record not found");
    return std::move(*chain);
}

TStoredChain TdmProxyData::StoredChainOf(const TDataTable::TRow &row) const {
    const auto &v = row.Values;
    TStoredChain chain;
    chain.UID = Int32Value(v[FC.UID]);
    chain.Name = Text(v[FC.Desc]);
    chain.Port = Int32Value(v[FC.LocalServerPort]);
    const auto *rotating = std::get_if<bool>(&v[FC.AutoCreateChain]);
    chain.Rotating = rotating && *rotating;
    chain.ChangeEvery = Int32Value(v[FC.ChangeEvery]);
    chain.NoOfProxies = OptionalInt(v[FC.NoOfProxies]);
    return chain;
}

std::vector<TStoredChain> TdmProxyData::Chains() const {
    std::vector<TStoredChain> chains;
    for (const TDataTable::TRow *row : FChains.AllRows())
        chains.push_back(StoredChainOf(*row));
    return chains;
}

std::optional<TStoredChain> TdmProxyData::FindStoredChain(int32_t uid) const {
    if (const TDataTable::TRow *row = FChains.FindUID(uid))
        return StoredChainOf(*row);
    return std::nullopt;
}

TAnonymProgram TdmProxyData::AnonymOf(const TDataTable::TRow &row) const {
    const auto &v = row.Values;
    TAnonymProgram program;
    program.UID = Int32Value(v[FA.UID]);
    program.Filename = Text(v[FA.Filename]);
    program.ChainUID = OptionalInt(v[FA.ChainUID]);
    program.ChainPort = Int32Value(v[FA.ChainPort]);
    program.NoOfProxy = OptionalInt(v[FA.NoOfProxy]);
    return program;
}

std::optional<TAnonymProgram> TdmProxyData::FindAnonym(int32_t uid) const {
    if (const TDataTable::TRow *row = FAnonymized.FindUID(uid))
        return AnonymOf(*row);
    return std::nullopt;
}

std::vector<TAnonymProgram> TdmProxyData::AnonymizedPrograms() const {
    std::vector<TAnonymProgram> programs;
    for (const TDataTable::TRow *row : FAnonymized.AllRows())
        programs.push_back(AnonymOf(*row));
    return programs;
}
