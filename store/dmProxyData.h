#pragma once
// The proxy store: the five tables of the data folder and every operation
// that reads or changes proxies, chains, chain items, the settings row and
// the anonymized programs. The queries hand out detached values and move no
// cursor; writers find rows by UID, change them and save the three main table
// files at once, unless a TBatch or BeginBatch holds the saves back. Lives on
// the user-interface thread; no locks.

#include "store/ChainedProxyData.h"
#include "store/DataTable.h"
#include "store/ProxData.h"
#include "store/ProxyTypes.h"
#include "store/StoreRows.h"
#include "store/TableFile.h"

#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

class TdmProxyData {
public:
    // `dataFolder` with or without a trailing separator; empty means the
    // per-user data folder, computed anew on every use.
    explicit TdmProxyData(QString dataFolder = {});
    TdmProxyData(const TdmProxyData &) = delete;
    TdmProxyData &operator=(const TdmProxyData &) = delete;

    // ---- data folder and files ----
    QString DataFolder() const; // with a trailing separator
    void SetDataFolder(const QString &folder);
    // First run: when `folder` does not exist at all, creates it with the
    // five empty table files and returns true. An existing folder is left
    // alone, whatever it lacks.
    static bool ProvisionDataFolder(const QString &folder);
    bool ProvisionDataFolder();

    static const QString ProxiesFileName;    // "Proxies.cds"
    static const QString ChainsFileName;     // "ChainedProxies.cds"
    static const QString ChainItemsFileName; // "ChainedProxyProxies.cds"
    static const QString SettingsFileName;   // "settings.cds"
    static const QString AnonymizedFileName; // "AnonymizedList.cds"

    // ---- tables ----
    TDataTable &cdsProxies() { return FProxies; }
    TDataTable &cdsChainedProxies() { return FChains; }
    TDataTable &cdsChainedProxyProxies() { return FItems; }
    TDataTable &cdsSettings() { return FSettings; }
    TDataTable &cdsAnonymizedList() { return FAnonymized; }
    TTableFile &ProxiesFile() { return FProxiesFile; }
    TTableFile &ChainsFile() { return FChainsFile; }
    TTableFile &ChainItemsFile() { return FItemsFile; }
    TTableFile &SettingsFile() { return FSettingsFile; }
    TTableFile &AnonymizedFile() { return FAnonymizedFile; }
    // Read-only views, for listing rows without a cursor.
    const TDataTable &cdsProxies() const { return FProxies; }
    const TDataTable &cdsChainedProxies() const { return FChains; }
    const TDataTable &cdsAnonymizedList() const { return FAnonymized; }

    // ---- loading and saving ----
    // Start-up load: provisions a data folder that does not exist, then
    // "Proxies.cds file not found" / "settings file not found" for those two
    // files, the settings row, the other tables in order (a missing or
    // unreadable file stops there), and the "Default" chain when there is
    // no chain.
    void LoadData();
    void Loadsettings();
    void SaveData();       // Proxies.cds, ChainedProxies.cds, ChainedProxyProxies.cds
    void SaveConfigs();    // settings.cds
    void AnonymSaveData(); // AnonymizedList.cds
    // Rereads both chain files, dropping unsaved changes of those tables.
    void ReloadChains();
    void CreateDefaultSocksChain();

    // ---- settings (writing edits the row, posts and saves settings.cds) ----
    bool AllowLocalHostOnly() const;
    void SetAllowLocalHostOnly(bool value);
    int32_t Timeout() const;
    void SetTimeout(int32_t value);
    int32_t SessionsTimeout() const;
    void SetSessionsTimeout(int32_t value);

    // ---- holding saves back until a group of changes is complete ----
    // While a TBatch lives, no operation saves by itself (nor do the timed
    // saves of BeginBatch): an operation that would save only notes that
    // something changed. When the outermost TBatch ends, the three main
    // files are saved once if anything changed under it and no save
    // happened since (SaveData and Commit count), unless it was discarded.
    // It ends the same way when an exception leaves its scope, so changes
    // made up to the failure are not lost silently; a caller that wants them
    // dropped calls Discard and reloads. A save that fails in the destructor
    // is not thrown: it goes to FOnSaveError and the store stays Unsaved(),
    // so the next save writes it. Operations marked "no save" below never
    // note a change: their caller saves (SaveData) or commits.
    class TBatch {
    public:
        explicit TBatch(TdmProxyData &store);
        ~TBatch();
        TBatch(const TBatch &) = delete;
        TBatch &operator=(const TBatch &) = delete;
        // Saves the three main files now; a failure is thrown. The end then
        // has nothing left to save.
        void Commit();
        // This batch's end saves nothing; what changed stays in memory,
        // unsaved. Only the outermost batch's end saves, so an inner batch's
        // Discard leaves the decision to the outer one.
        void Discard() { FDiscarded = true; }

    private:
        TdmProxyData &FStore;
        bool FDiscarded = false;
    };
    bool SavesHeld() const { return FHoldDepth > 0; }

    // ---- timed batches of changes ----
    // Between BeginBatch and EndBatch (they nest), an operation that would
    // save marks the store unsaved instead, and a timer on this thread saves
    // the three main files at most once per FBatchSaveIntervalMs, so a batch
    // of thousands of changes writes each file about once a second and a
    // crash loses at most the last interval. The last EndBatch saves what is
    // left (and raises that save's error). A timed save that fails is
    // reported to FOnSaveError and tried again at the next change or the end.
    void BeginBatch();
    void EndBatch();
    bool InBatch() const { return FBatchDepth > 0; }
    bool Unsaved() const { return FUnsaved; }
    int FBatchSaveIntervalMs = 1000;
    std::function<void(const QString &)> FOnSaveError;
    // How many times SaveData wrote the three main files (for benchmarks).
    int64_t SaveCount() const { return FSaveCount; }

    // Filters the chain items to the current chain (nothing when its UID is
    // null): "ChainUID=<n>".
    void FilterChainItems();

    // ---- queries: detached values, no cursor moves, no filter change ----
    std::optional<TProxData> FindProxy(int32_t uid) const;
    // The chain's fields (Status too) and its existing proxies in hop order.
    std::optional<TChainedProxyData> FindChain(int32_t uid) const;
    // The same; "chain record not found" for an unknown one.
    TChainedProxyData GetChain(int32_t uid) const;
    // Every chain in table order, and one of them.
    std::vector<TStoredChain> Chains() const;
    std::optional<TStoredChain> FindStoredChain(int32_t uid) const;
    std::optional<TAnonymProgram> FindAnonym(int32_t uid) const;
    // Every anonymized program in table order.
    std::vector<TAnonymProgram> AnonymizedPrograms() const;

    // ---- lookups (they move the cursor) ----
    bool LocateProxyRecord(int32_t AUID);
    bool LocateChainRecord(int32_t AUID); // "chain record not found" instead of false
    bool LocateAnonymRec(int32_t AID);

    // ---- readers ----
    // Fills from the current proxy row and returns the record.
    TProxData &GetProxyRecord(TProxData &AProxRec);
    // "error , instance must be created" when AProxRec is null; -1: the
    // current row; otherwise null (record untouched) for an unknown proxy.
    TProxData *GetProxyRecord(int32_t AUID, TProxData *AProxRec);
    // One new record per proxy, in UID order, appended to ALst.
    void GetAllProxyRecords(std::vector<std::unique_ptr<TProxData>> &ALst);
    // One new record for each of AUIDs[AFrom .. AFrom + ACount) that is a
    // stored proxy (the others are left out), appended to ALst in that
    // order; a hash look-up each, the cursor untouched. Returns how many.
    size_t GetProxyRecords(const std::vector<int32_t> &AUIDs, size_t AFrom, size_t ACount,
                           std::vector<std::unique_ptr<TProxData>> &ALst);
    // Fills the chain fields and appends its existing proxies in hop order;
    // -1: the current chain row. "chain record not found" for an unknown one.
    TChainedProxyData &GetChainedProxyRecord(int32_t AUID, TChainedProxyData &AChainedProxData);
    TChainedProxyData *GetChainedProxyRecord(int32_t AUID, TChainedProxyData *AChainedProxData);
    // True when the chain has items and every item's proxy exists with
    // status OK.
    bool VerifyChainedProxyItems(int32_t AUID);
    // Every chain's UID in table order; the chains table's cursor stays
    // where it is (reading a chain moves it: collect the UIDs first).
    std::vector<int32_t> ChainUIDs();

    // ---- writers ----
    void AddProxy(const QString &AIPAddress, int32_t APort, TProxyType AType); // no save
    bool DeleteProxy(int32_t AUID);
    // Deletes every proxy whose status is AStatus together with every chain
    // item that refers to one of them, each table in one pass, then saves
    // once (as any change does: at once, or with the batch). Returns how
    // many proxies went.
    int DeleteProxiesWithStatus(TProxyStatus AStatus);
    // Deletes the proxies AUIDs (unknown ones are skipped) and every chain
    // item that refers to one of them, each table in one pass, and saves
    // once, as DeleteProxiesWithStatus. Returns how many proxies went.
    int DeleteProxies(const std::vector<int32_t> &AUIDs);
    // Deletes the chains AUIDs and their items in one pass each, and saves
    // once. Returns how many chains went.
    int DeleteChains(const std::vector<int32_t> &AUIDs);
    // How many proxies have status AStatus.
    int CountProxiesWithStatus(TProxyStatus AStatus) const;
    bool DeleteChain(int32_t AUID);
    void AddChainedItem(int32_t AChainUID, int32_t AProxUID);    // no save
    bool RemoveChainedItem(int32_t AChainUID, int32_t AProxUID); // -1: every item
    // Moves the proxy ADelta places in the chain's hop order (negative: to
    // the front) by handing the item rows' ProxyUID on between them, so the
    // rows and their UIDs stay where they are; dangling items keep their
    // places and are not counted. False (nothing changed) when the proxy is
    // not in the chain or the move would leave it. "chain record not found"
    // for an unknown chain. No save.
    bool MoveChainedItem(int32_t AChainUID, int32_t AProxUID, int ADelta);
    void UpdateProxyStatus(const TProxData &AData, TProxyStatus AStatus);
    void UpdateProxyType(const TProxData &AData);
    // A test of the chain ended: its LastChecked becomes now and its Status
    // AStatus ("OK" or "TIME OUT"), as a proxy's check does. False for an
    // unknown chain.
    bool UpdateChainStatus(int32_t AUID, TProxyStatus AStatus);
    // Deletes the anonymized program AID; false when there is none. No save.
    bool AnonymDelete(int32_t AID);
    // Deletes the anonymized programs AIDs in one pass; how many went. No save.
    int AnonymDeleteAll(const std::vector<int32_t> &AIDs);
    // Writes the fields into the chain row (a new one for UID 0) and returns
    // its UID; "chain record not found" for an unknown one. No save.
    int32_t PutChain(const TChainChange &AChange);
    // Writes the proxy's fields (a new row for UID 0) and returns its UID;
    // 0 (nothing changed) for an unknown one. No save.
    int32_t PutProxy(const TProxyChange &AChange);
    // Writes the program's row (a new one for UID 0); a program without a
    // ChainUID keeps the row's chain, one without a NoOfProxy its count. Returns its UID; 0
    // (nothing changed) for an unknown one. No save.
    int32_t PutAnonym(const TAnonymProgram &AProgram);

    // ---- watching the proxies table ----
    // Any number of watchers are told every change of the proxies table (see
    // TDataTable::FOnChange), in the order they were added. The returned
    // number takes the watcher off again.
    using TProxiesWatcher = std::function<void(TDataTable::TChange, const TDataTable::TRow *)>;
    int WatchProxies(TProxiesWatcher AWatcher);
    void UnwatchProxies(int AId);

    // A table file was renamed aside before being replaced (see TTableFile).
    std::function<void(const QString &)> FOnNotice;

private:
    struct TProxyFields {
        int IPAddress, HostName, UID, LastChecked, Status, HostType, Port, Speed;
    };
    struct TChainFields {
        int UID, Desc, LastChecked, LocalServerPort, AutoCreateChain, NoOfProxies, Hidden, Status,
            ChangeEvery;
    };
    struct TItemFields {
        int ChainUID, ProxyUID, UID, IPaddrLookup, portlookup;
    };
    struct TSettingsFields {
        int AllowLocalHostOnly, TimeOut, SessionsTimeOut;
    };
    struct TAnonymFields {
        int UID, Filename, ChainUID, ChainPort, NoOfProxy;
    };

    void InstallHooks();
    // Deletes ATable's rows whose AUIDField is in AGone and the chain items
    // whose AItemField names one of them, one pass each, then saves once.
    int DeleteWithItems(TDataTable &ATable, int AUIDField, int AItemField,
                        const std::unordered_set<int64_t> &AGone);
    TProxData RecordOf(const TDataTable::TRow &row) const;
    TAnonymProgram AnonymOf(const TDataTable::TRow &row) const;
    TStoredChain StoredChainOf(const TDataTable::TRow &row) const;
    void SaveIfAuto();
    void EndHold(bool discarded) noexcept;
    void ScheduleBatchSave();
    void BatchTimerFired();
    void FilterItemsTo(int64_t chainUID);
    int32_t SettingsInt(int field) const;
    void SetSetting(int field, TFieldValue value);
    void CheckFolderFile(const QString &fileName, const char *message) const;

    QString FDataFolder;
    std::vector<std::pair<int, TProxiesWatcher>> FProxiesWatchers;
    int FNextWatcherId = 1;
    int FBatchDepth = 0;
    int FHoldDepth = 0;       // live TBatch objects
    bool FHeldChange = false; // a save was held back by a TBatch
    bool FUnsaved = false;
    int64_t FSaveCount = 0;
    int64_t FLastSaveTick = 0;   // ms of the last SaveData, monotonic
    int64_t FBatchStartTick = 0; // ms when the outermost batch began
    std::unique_ptr<QTimer> FBatchTimer;
    TDataTable FProxies;
    TDataTable FChains;
    TDataTable FItems;
    TDataTable FSettings;
    TDataTable FAnonymized;
    TTableFile FProxiesFile;
    TTableFile FChainsFile;
    TTableFile FItemsFile;
    TTableFile FSettingsFile;
    TTableFile FAnonymizedFile;
    TProxyFields FP{};
    TChainFields FC{};
    TItemFields FI{};
    TSettingsFields FS{};
    TAnonymFields FA{};
};
