#pragma once
// The proxies of the store as a table for the proxy lists: one row per
// stored proxy in the store's order (by UID), the columns "IP/Host", "Port",
// "Status", "Type", "Speed", read from the table's rows when asked, so a row
// costs a pointer and nothing is copied. The model follows the proxies table
// through the store's watchers: an insert, a change or a delete touches one
// row; a reload or a bulk delete is one reset.
//
// On top of the stored values it keeps, by UID:
//   - a check's progress text ("Testing"), shown as the status with speed
//     "0.00" and no colour until the result arrives or the check ends;
//   - the tick of each row (for the picker), when tick boxes are on.
// While coalescing (during a check), changed rows are only marked and told
// to the views in a few ranges at Flush, so thousands of results repaint
// and re-sort the views a few times, not thousands.

#include "store/DataTable.h"
#include "ui/logic/ProxyRowColours.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QString>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class TdmProxyData;

class TProxyTableModel : public QAbstractTableModel {
public:
    enum TColumn { colIPHost = 0, colPort, colStatus, colType, colSpeed, ColumnCount };

    explicit TProxyTableModel(TProxyListKind kind, QObject *parent = nullptr);
    ~TProxyTableModel() override;

    TProxyListKind Kind() const { return FKind; }

    // Shows the store's proxies and follows its changes from now on.
    void Attach(TdmProxyData &store);
    // No rows, no store.
    void Detach();
    bool Attached() const { return FStore != nullptr; }
    // Reads every row anew (one reset).
    void Reload();

    // ---- QAbstractTableModel ----
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // ---- rows (model rows, in the store's order) ----
    int32_t UIDAt(int row) const;
    // The row of this UID; -1 when there is none. A binary search.
    int RowOf(int32_t uid) const;
    QString Text(int row, int column) const;
    // "address:port".
    QString AddressPort(int row) const;
    QColor RowColour(int row) const;
    // Orders two rows by a column as the lists sort it: the address without
    // regard to case, "Port" and "Speed" as numbers, the others by text.
    bool Less(int left, int right, int column) const;

    // ---- a check's progress ----
    void SetProgress(int32_t uid, const QString &text);
    // The same for a whole batch at once; while coalescing, the views hear
    // of it as a change of every row.
    void SetProgress(const std::vector<int32_t> &uids, const QString &text);
    void ClearProgress(int32_t uid);
    // Every row shows its stored values again (a check ended or stopped).
    void ClearAllProgress();
    bool HasProgress(int32_t uid) const { return FProgress.contains(uid); }

    // ---- telling the views ----
    // While coalescing, changed rows wait for Flush (ends nest).
    void BeginCoalescing();
    void EndCoalescing(); // flushes at the outermost end
    bool Coalescing() const { return FCoalescing > 0; }
    // Tells the views every row changed since the last flush, as few
    // ranges as it can; a row that went meanwhile is skipped.
    void Flush();
    size_t PendingChanges() const { return FPending.size(); }
    // When set, a flush of many rows (a quarter of them or more) calls this
    // with the columns that may have changed instead of telling the views
    // of every row: the one view in front (a filter model) knows whether
    // its order or filter can have changed, and otherwise only repaints.
    std::function<void(int firstColumn, int lastColumn)> FOnManyRowsChanged;

    // Around a change of many rows (deleting a selection, say): the views
    // see no rows meanwhile and one reset at the end, whatever the store
    // told in between.
    class TBulkChange {
    public:
        explicit TBulkChange(TProxyTableModel &model);
        ~TBulkChange();
        TBulkChange(const TBulkChange &) = delete;
        TBulkChange &operator=(const TBulkChange &) = delete;

    private:
        TProxyTableModel &FModel;
    };

    // ---- tick boxes ----
    void SetTickBoxes(bool on);
    bool TickBoxes() const { return FTickBoxes; }
    void SetTicked(int32_t uid, bool ticked);
    bool Ticked(int32_t uid) const { return FTicks.count(uid) > 0; }
    // The ticked proxies that have a row, in the store's order.
    std::vector<int32_t> TickedUIDs() const;
    void ClearTicks();
    // A row was ticked or unticked (by SetTicked or through setData).
    std::function<void(int32_t uid, bool ticked)> FOnTickChanged;

private:
    void StoreChanged(TDataTable::TChange change, const TDataTable::TRow *row);
    void ReadRows();
    int PositionOf(int64_t uid) const; // lower bound in FRows
    void RowChanged(int32_t uid, int firstColumn = 0);
    QString StatusText(int row) const;
    const QString *Progress(int row) const;
    int32_t UIDOf(const TDataTable::TRow &row) const;

    TProxyListKind FKind;
    TdmProxyData *FStore = nullptr;
    const TDataTable *FTable = nullptr;
    int FWatcher = 0;
    std::vector<const TDataTable::TRow *> FRows;
    int FIPAddress = -1, FUID = -1, FStatus = -1, FHostType = -1, FPort = -1, FSpeed = -1;

    QHash<int32_t, QString> FProgress; // open addressing: no allocation per row
    std::unordered_set<int32_t> FPending;
    bool FAllPending = false;                  // every row changed since the last flush
    int FPendingFirstColumn = ColumnCount - 1; // the first column changed since then
    int FCoalescing = 0;
    int FBulk = 0;
    bool FTickBoxes = false;
    std::unordered_set<int32_t> FTicks;
};
