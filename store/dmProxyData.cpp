#include "store/dmProxyData.h"

#include "platform/Clock.h"
#include "platform/DataFolder.h"
#include "platform/Error.h"
#include "store/DataPacketWriter.h"
#include "store/DateTimeCodec.h"
#include "store/StoreSchemas.h"
#include "store/Win1252.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <unordered_set>

const QString TdmProxyData::ProxiesFileName = QStringLiteral("Proxies.cds");
const QString TdmProxyData::ChainsFileName = QStringLiteral("ChainedProxies.cds");
const QString TdmProxyData::ChainItemsFileName = QStringLiteral("ChainedProxyProxies.cds");
const QString TdmProxyData::SettingsFileName = QStringLiteral("settings.cds");
const QString TdmProxyData::AnonymizedFileName = QStringLiteral("AnonymizedList.cds");

namespace {

int Field(const TDataTable &table, const char *name) {
    const int i = table.FieldIndex(QString::fromLatin1(name));
    Q_ASSERT(i >= 0);
    return i;
}

// Restores a table's filter switch when leaving a scope, also on failure.
class TFilterSwitchGuard {
public:
    TFilterSwitchGuard(TDataTable &table) : FTable(table), FWas(table.Filtered()) {}
    ~TFilterSwitchGuard() {
        try {
            FTable.SetFiltered(FWas);
        } catch (...) {
        }
    }

private:
    TDataTable &FTable;
    bool FWas;
};

} // namespace

TdmProxyData::TdmProxyData(QString dataFolder)
    : FDataFolder(std::move(dataFolder)), FProxies(TStoreSchemas::Proxies()),
      FChains(TStoreSchemas::ChainedProxies()), FItems(TStoreSchemas::ChainedProxyProxies()),
      FSettings(TStoreSchemas::Settings()), FAnonymized(TStoreSchemas::AnonymizedList()),
      FProxiesFile(FProxies, ProxiesFileName), FChainsFile(FChains, ChainsFileName),
      FItemsFile(FItems, ChainItemsFileName), FSettingsFile(FSettings, SettingsFileName),
      FAnonymizedFile(FAnonymized, AnonymizedFileName) {
    FP = {Field(FProxies, "IPAddress"),   Field(FProxies, "HostName"), Field(FProxies, "UID"),
          Field(FProxies, "LastChecked"), Field(FProxies, "Status"),   Field(FProxies, "HostType"),
          Field(FProxies, "Port"),        Field(FProxies, "Speed")};
    FC = {Field(FChains, "UID"),
          Field(FChains, "Desc"),
          Field(FChains, "LastChecked"),
          Field(FChains, "LocalServerPort"),
          Field(FChains, "AutoCreateChain"),
          Field(FChains, "NoOfProxies"),
          Field(FChains, "Hidden"),
          Field(FChains, "Status"),
          Field(FChains, "ChangeEvery")};
    FI = {Field(FItems, "ChainUID"), Field(FItems, "ProxyUID"), Field(FItems, "UID"),
          Field(FItems, "IPaddrLookup"), Field(FItems, "portlookup")};
    FS = {Field(FSettings, "AllowLocalHostOnly"), Field(FSettings, "TimeOut"),
          Field(FSettings, "SessionsTimeOut")};
    FA = {Field(FAnonymized, "UID"), Field(FAnonymized, "Filename"), Field(FAnonymized, "ChainUID"),
          Field(FAnonymized, "ChainPort"), Field(FAnonymized, "NoOfProxy")};
    InstallHooks();
}

void TdmProxyData::InstallHooks() {
    // New proxies and chains start as "Not Checked".
    FProxies.FOnNewRecord = [this](TDataTable &t) { t.SetValue(FP.Status, int64_t(0)); };
    FChains.FOnNewRecord = [this](TDataTable &t) { t.SetValue(FC.Status, int64_t(0)); };
    FProxies.FOnChange = [this](TDataTable &, TDataTable::TChange change,
                                const TDataTable::TRow *row) {
        // By index: a watcher may add or take off watchers.
        for (size_t i = 0; i < FProxiesWatchers.size(); ++i) {
            const TProxiesWatcher watcher = FProxiesWatchers[i].second;
            watcher(change, row);
        }
    };
    // The chain items follow the current chain.
    FChains.FAfterScroll = [this](TDataTable &t) {
        if (t.State() != TDataTable::TState::dsInsert)
            FilterChainItems();
    };

    auto statusText = [](const TFieldValue &v, QString &text) {
        ProxyStatusToText(Int32Value(v), text);
    };
    FProxies.SetGetTextHook(FP.Status, statusText);
    FProxies.SetGetTextHook(FP.HostType, [](const TFieldValue &v, QString &text) {
        ProxyTypeToText(Int32Value(v), text);
    });
    FChains.SetGetTextHook(FC.Status, statusText);
    FChains.SetGetTextHook(FC.LastChecked, [](const TFieldValue &, QString &) {});

    for (const char *name : {"UID", "SSLSupport", "HostName", "Enabled"})
        FProxies.SetFieldVisible(Field(FProxies, name), false);
    for (const char *name : {"UID", "Enabled"})
        FChains.SetFieldVisible(Field(FChains, name), false);

    // Looked up from the proxies table without moving its cursor.
    FItems.SetCalcHook(FI.IPaddrLookup, [this](const TDataTable::TRow &row) -> TFieldValue {
        const TFieldValue &uid = row.Values[FI.ProxyUID];
        const TDataTable::TRow *proxy =
            IsNullValue(uid) ? nullptr : FProxies.FindUID(Int32Value(uid));
        return proxy ? proxy->Values[FP.IPAddress] : TFieldValue();
    });
    FItems.SetCalcHook(FI.portlookup, [this](const TDataTable::TRow &row) -> TFieldValue {
        const TFieldValue &uid = row.Values[FI.ProxyUID];
        const TDataTable::TRow *proxy =
            IsNullValue(uid) ? nullptr : FProxies.FindUID(Int32Value(uid));
        if (!proxy || IsNullValue(proxy->Values[FP.Port]))
            return TFieldValue();
        return QByteArray::number(Int32Value(proxy->Values[FP.Port]));
    });

    auto notice = [this](const QString &text) {
        if (FOnNotice)
            FOnNotice(text);
    };
    for (TTableFile *f :
         {&FProxiesFile, &FChainsFile, &FItemsFile, &FSettingsFile, &FAnonymizedFile})
        f->FOnNotice = notice;
}

// ---- data folder ------------------------------------------------------------

QString TdmProxyData::DataFolder() const {
    QString folder = FDataFolder.isEmpty() ? TDataFolder::GetDataFolder() : FDataFolder;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

void TdmProxyData::SetDataFolder(const QString &folder) {
    FDataFolder = folder;
}

bool TdmProxyData::ProvisionDataFolder(const QString &folder) {
    if (QFileInfo::exists(folder))
        return false;
    if (!QDir().mkpath(folder))
        throw EVelmoraError(QStringLiteral("Cannot create the data folder \"%1\".")
                                .arg(QDir::toNativeSeparators(folder)));
    QString base = folder;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    const std::pair<const QString &, TTableSchema> tables[] = {
        {ProxiesFileName, TStoreSchemas::Proxies()},
        {ChainsFileName, TStoreSchemas::ChainedProxies()},
        {ChainItemsFileName, TStoreSchemas::ChainedProxyProxies()},
        {SettingsFileName, TStoreSchemas::Settings()},
        {AnonymizedFileName, TStoreSchemas::AnonymizedList()},
    };
    for (const auto &[name, schema] : tables) {
        TDataPacket empty;
        empty.Columns = schema.PacketColumns();
        empty.Properties = schema.PacketProperties(1);
        TTableFile::WriteFile(base + name,
                              [&](QIODevice &device) { TDataPacketWriter::Write(empty, device); });
    }
    return true;
}

bool TdmProxyData::ProvisionDataFolder() {
    return ProvisionDataFolder(DataFolder());
}

// ---- loading and saving -----------------------------------------------------

void TdmProxyData::CheckFolderFile(const QString &fileName, const char *message) const {
    if (!QFileInfo::exists(DataFolder() + fileName))
        throw EVelmoraError(message);
}

void TdmProxyData::LoadData() {
    const QString folder = DataFolder();
    ProvisionDataFolder(folder);
    CheckFolderFile(ProxiesFileName, "Proxies.cds file not found");
    Loadsettings();
    FProxiesFile.Load(folder);
    FChainsFile.Load(folder);
    FItemsFile.Load(folder);
    FAnonymizedFile.Load(folder);
    if (FChains.AllRows().empty())
        CreateDefaultSocksChain();
}

void TdmProxyData::Loadsettings() {
    CheckFolderFile(SettingsFileName, "settings file not found");
    FSettingsFile.Load(DataFolder());
    if (FSettings.AllRows().empty()) {
        // Kept in memory only until a setting changes. Local-only is on
        // until the user turns it off: nothing is served to other machines
        // unasked. A stored row keeps what it holds.
        FSettings.Append();
        FSettings.SetValue(FS.TimeOut, int64_t(0));
        FSettings.SetValue(FS.AllowLocalHostOnly, true);
        FSettings.SetValue(FS.SessionsTimeOut, int64_t(0));
        FSettings.Post();
    }
}

void TdmProxyData::SaveData() {
    const QString folder = DataFolder();
    FProxiesFile.Save(folder);
    FChainsFile.Save(folder);
    FItemsFile.Save(folder);
    FUnsaved = false;
    FHeldChange = false;
    ++FSaveCount;
    FLastSaveTick = TClock::TickMs();
}

void TdmProxyData::SaveConfigs() {
    FSettingsFile.Save(DataFolder());
}

void TdmProxyData::AnonymSaveData() {
    FAnonymizedFile.Save(DataFolder());
}

void TdmProxyData::ReloadChains() {
    const QString folder = DataFolder();
    FChains.Cancel();
    FItems.Cancel();
    FChainsFile.Load(folder);
    FItemsFile.Load(folder);
}

void TdmProxyData::CreateDefaultSocksChain() {
    FChains.Append();
    FChains.Fields(FC.Desc).SetAsString(QStringLiteral("Default"));
    FChains.SetValue(FC.AutoCreateChain, false);
    FChains.SetValue(FC.Hidden, false);
    FChains.SetValue(FC.NoOfProxies, int64_t(3));
    FChains.SetValue(FC.LocalServerPort, int64_t(1080));
    FChains.Post();
    SaveData();
}

// ---- settings ---------------------------------------------------------------

int32_t TdmProxyData::SettingsInt(int field) const {
    return Int32Value(FSettings.Value(field));
}

void TdmProxyData::SetSetting(int field, TFieldValue value) {
    FSettings.Edit(); // appends the row when there is none
    FSettings.SetValue(field, std::move(value));
    FSettings.Post();
    SaveConfigs();
}

bool TdmProxyData::AllowLocalHostOnly() const {
    const TFieldValue v = FSettings.Value(FS.AllowLocalHostOnly);
    const auto *b = std::get_if<bool>(&v);
    return b && *b;
}

void TdmProxyData::SetAllowLocalHostOnly(bool value) {
    SetSetting(FS.AllowLocalHostOnly, value);
}
int32_t TdmProxyData::Timeout() const {
    return SettingsInt(FS.TimeOut);
}
void TdmProxyData::SetTimeout(int32_t value) {
    SetSetting(FS.TimeOut, int64_t(value));
}
int32_t TdmProxyData::SessionsTimeout() const {
    return SettingsInt(FS.SessionsTimeOut);
}
void TdmProxyData::SetSessionsTimeout(int32_t value) {
    SetSetting(FS.SessionsTimeOut, int64_t(value));
}

// ---- chain items filter -----------------------------------------------------

void TdmProxyData::FilterItemsTo(int64_t chainUID) {
    FItems.SetFiltered(false);
    FItems.SetFilter(QStringLiteral("ChainUID=%1").arg(chainUID));
    FItems.SetFiltered(true);
}

void TdmProxyData::FilterChainItems() {
    const TFieldValue uid = FChains.Value(FC.UID);
    if (IsNullValue(uid))
        return;
    FilterItemsTo(std::get<int64_t>(uid));
}

// ---- lookups ----------------------------------------------------------------

bool TdmProxyData::LocateProxyRecord(int32_t AUID) {
    return FProxies.LocateUID(AUID);
}

bool TdmProxyData::LocateChainRecord(int32_t AUID) {
    if (!FChains.LocateUID(AUID))
        throw EVelmoraError("chain record not found");
    return true;
}

bool TdmProxyData::LocateAnonymRec(int32_t AID) {
    return FAnonymized.LocateUID(AID);
}

// ---- readers ----------------------------------------------------------------

TProxData &TdmProxyData::GetProxyRecord(TProxData &AProxRec) {
    TDataTable &t = FProxies;
    AProxRec.FHostName = t.Fields(FP.HostName).AsString();
    AProxRec.FIPAddress = t.Fields(FP.IPAddress).AsString();
    AProxRec.FProxyType = static_cast<TProxyType>(t.Fields(FP.HostType).AsInteger() & 0xFF);
    AProxRec.FUID = t.Fields(FP.UID).AsInteger();
    AProxRec.FPort = t.Fields(FP.Port).AsInteger();
    AProxRec.FStatus = static_cast<TProxyStatus>(t.Fields(FP.Status).AsInteger() & 0xFF);
    AProxRec.FLastChecked = t.Fields(FP.LastChecked).AsDateTime();
    AProxRec.FSpeed = t.Fields(FP.Speed).AsFloat();
    AProxRec.FCurrHostNameType = hntIPAddress;
    return AProxRec;
}

TProxData *TdmProxyData::GetProxyRecord(int32_t AUID, TProxData *AProxRec) {
    if (!AProxRec)
        throw EVelmoraError("error , instance must be created");
    if (AUID != -1 && !LocateProxyRecord(AUID))
        return nullptr;
    return &GetProxyRecord(*AProxRec);
}

TChainedProxyData &TdmProxyData::GetChainedProxyRecord(int32_t AUID,
                                                       TChainedProxyData &AChainedProxData) {
    if (AUID != -1)
        LocateChainRecord(AUID);
    else if (FChains.IsEmpty())
        throw EVelmoraError("chain record not found");
    TDataTable &c = FChains;
    AChainedProxData.FUID = c.Fields(FC.UID).AsInteger();
    AChainedProxData.FDesc = c.Fields(FC.Desc).AsString();
    AChainedProxData.FHidden = c.Fields(FC.Hidden).AsBoolean();
    AChainedProxData.FPort = c.Fields(FC.LocalServerPort).AsInteger();
    AChainedProxData.FLastChecked = c.Fields(FC.LastChecked).AsDateTime();
    if (c.Fields(FC.UID).IsNull())
        return AChainedProxData; // a chain being inserted has no items yet
    FilterChainItems();
    for (FItems.First(); !FItems.Eof(); FItems.Next()) {
        if (!LocateProxyRecord(FItems.Fields(FI.ProxyUID).AsInteger()))
            continue; // a dangling item
        auto rec = std::make_unique<TProxData>();
        GetProxyRecord(*rec);
        AChainedProxData.AddItem(std::move(rec));
    }
    return AChainedProxData;
}

TChainedProxyData *TdmProxyData::GetChainedProxyRecord(int32_t AUID,
                                                       TChainedProxyData *AChainedProxData) {
    if (!AChainedProxData)
        throw EVelmoraError("error , instance must be created");
    return &GetChainedProxyRecord(AUID, *AChainedProxData);
}

bool TdmProxyData::VerifyChainedProxyItems(int32_t AUID) {
    LocateChainRecord(AUID);
    FilterChainItems();
    if (FItems.RecordCount() == 0)
        return false;
    for (FItems.First(); !FItems.Eof(); FItems.Next()) {
        if (!LocateProxyRecord(FItems.Fields(FI.ProxyUID).AsInteger()))
            return false;
        const auto status =
            static_cast<TProxyStatus>(FProxies.Fields(FP.Status).AsInteger() & 0xFF);
        if (status != TProxyStatus::psAvailable)
            return false;
    }
    return true;
}

// ---- writers ----------------------------------------------------------------

void TdmProxyData::AddProxy(const QString &AIPAddress, int32_t APort, TProxyType AType) {
    FProxies.Append();
    FProxies.Fields(FP.IPAddress).SetAsString(AIPAddress);
    FProxies.SetValue(FP.Port, int64_t(APort));
    FProxies.SetValue(FP.HostType, int64_t(static_cast<uint8_t>(AType)));
    FProxies.Post();
}

bool TdmProxyData::DeleteProxy(int32_t AUID) {
    if (!LocateProxyRecord(AUID))
        return true;
    {
        // Every chain's items, whatever the filter; the switch comes back after.
        TFilterSwitchGuard guard(FItems);
        FItems.SetFiltered(false);
        FItems.First();
        while (!FItems.Eof()) {
            if (FItems.Fields(FI.ProxyUID).AsInteger() == AUID &&
                !FItems.Fields(FI.ProxyUID).IsNull())
                FItems.Delete();
            else
                FItems.Next();
        }
    }
    LocateProxyRecord(AUID);
    FProxies.Delete();
    SaveIfAuto();
    return true;
}

int TdmProxyData::CountProxiesWithStatus(TProxyStatus AStatus) const {
    const int64_t status = static_cast<uint8_t>(AStatus);
    int count = 0;
    for (const TDataTable::TRow *row : FProxies.AllRows())
        if (!IsNullValue(row->Values[FP.Status]) &&
            (Int32Value(row->Values[FP.Status]) & 0xFF) == status)
            ++count;
    return count;
}

int TdmProxyData::DeleteProxiesWithStatus(TProxyStatus AStatus) {
    const int64_t status = static_cast<uint8_t>(AStatus);
    std::unordered_set<int64_t> gone;
    for (const TDataTable::TRow *row : FProxies.AllRows())
        if (!IsNullValue(row->Values[FP.Status]) &&
            (Int32Value(row->Values[FP.Status]) & 0xFF) == status)
            gone.insert(Int32Value(row->Values[FP.UID]));
    return DeleteWithItems(FProxies, FP.UID, FI.ProxyUID, gone);
}

int TdmProxyData::DeleteProxies(const std::vector<int32_t> &AUIDs) {
    return DeleteWithItems(FProxies, FP.UID, FI.ProxyUID,
                           std::unordered_set<int64_t>(AUIDs.begin(), AUIDs.end()));
}

int TdmProxyData::DeleteWithItems(TDataTable &ATable, int AUIDField, int AItemField,
                                  const std::unordered_set<int64_t> &AGone) {
    if (AGone.empty())
        return 0;
    FItems.DeleteWhere([&](const TDataTable::TRow &item) {
        const TFieldValue &owner = item.Values[AItemField];
        return !IsNullValue(owner) && AGone.count(Int32Value(owner)) > 0;
    });
    const int count = ATable.DeleteWhere([&](const TDataTable::TRow &row) {
        return AGone.count(Int32Value(row.Values[AUIDField])) > 0;
    });
    SaveIfAuto();
    return count;
}

int TdmProxyData::WatchProxies(TProxiesWatcher AWatcher) {
    const int id = FNextWatcherId++;
    FProxiesWatchers.emplace_back(id, std::move(AWatcher));
    return id;
}

void TdmProxyData::UnwatchProxies(int AId) {
    for (auto it = FProxiesWatchers.begin(); it != FProxiesWatchers.end(); ++it)
        if (it->first == AId) {
            FProxiesWatchers.erase(it);
            return;
        }
}

void TdmProxyData::UpdateProxyStatus(const TProxData &AData, TProxyStatus AStatus) {
    if (!LocateProxyRecord(AData.FUID))
        return;
    FProxies.Edit();
    FProxies.Fields(FP.LastChecked).SetAsDateTime(TClock::Now());
    FProxies.SetValue(FP.Status, int64_t(static_cast<uint8_t>(AStatus)));
    FProxies.SetValue(FP.Speed, AData.FSpeed);
    FProxies.Post();
    SaveIfAuto();
}

void TdmProxyData::UpdateProxyType(const TProxData &AData) {
    if (!LocateProxyRecord(AData.FUID))
        return;
    FProxies.Edit();
    FProxies.SetValue(FP.HostType, int64_t(static_cast<uint8_t>(AData.FProxyType)));
    FProxies.Post();
    SaveIfAuto();
}

bool TdmProxyData::UpdateChainStatus(int32_t AUID, TProxyStatus AStatus) {
    if (!FChains.LocateUID(AUID))
        return false;
    FChains.Edit();
    FChains.Fields(FC.LastChecked).SetAsDateTime(TClock::Now());
    FChains.SetValue(FC.Status, int64_t(static_cast<uint8_t>(AStatus)));
    FChains.Post();
    SaveIfAuto();
    return true;
}

int32_t TdmProxyData::PutProxy(const TProxyChange &AChange) {
    if (AChange.UID == 0)
        FProxies.Append();
    else if (LocateProxyRecord(AChange.UID))
        FProxies.Edit();
    else
        return 0;
    try {
        FProxies.Fields(FP.IPAddress).SetAsString(AChange.IPAddress);
        FProxies.Fields(FP.HostName).SetAsString(AChange.HostName);
        FProxies.Fields(FP.Port).SetAsInteger(AChange.Port);
        FProxies.Fields(FP.HostType).SetAsInteger(AChange.HostType);
        FProxies.Post();
    } catch (...) {
        FProxies.Cancel();
        throw;
    }
    return FProxies.Fields(FP.UID).AsInteger();
}

int32_t TdmProxyData::PutAnonym(const TAnonymProgram &AProgram) {
    if (AProgram.UID == 0)
        FAnonymized.Append();
    else if (LocateAnonymRec(AProgram.UID))
        FAnonymized.Edit();
    else
        return 0;
    try {
        FAnonymized.Fields(FA.Filename).SetAsString(AProgram.Filename);
        if (AProgram.NoOfProxy)
            FAnonymized.Fields(FA.NoOfProxy).SetAsInteger(*AProgram.NoOfProxy);
        if (AProgram.ChainUID)
            FAnonymized.Fields(FA.ChainUID).SetAsInteger(*AProgram.ChainUID);
        FAnonymized.Fields(FA.ChainPort).SetAsInteger(AProgram.ChainPort);
        FAnonymized.Post();
    } catch (...) {
        FAnonymized.Cancel();
        throw;
    }
    return FAnonymized.Fields(FA.UID).AsInteger();
}

bool TdmProxyData::AnonymDelete(int32_t AID) {
    if (!LocateAnonymRec(AID))
        return false;
    FAnonymized.Delete();
    return true;
}

int TdmProxyData::AnonymDeleteAll(const std::vector<int32_t> &AIDs) {
    const std::unordered_set<int64_t> gone(AIDs.begin(), AIDs.end());
    return FAnonymized.DeleteWhere([&](const TDataTable::TRow &program) {
        return gone.count(Int32Value(program.Values[FA.UID])) > 0;
    });
}

std::vector<int32_t> TdmProxyData::ChainUIDs() {
    std::vector<int32_t> uids;
    const int uidField = FChains.FieldIndex(QStringLiteral("UID"));
    for (const TDataTable::TRow *row : FChains.VisibleRows()) {
        const TFieldValue uid = FChains.RowValue(*row, uidField);
        if (const auto *v = std::get_if<int64_t>(&uid))
            uids.push_back(static_cast<int32_t>(*v));
    }
    return uids;
}
