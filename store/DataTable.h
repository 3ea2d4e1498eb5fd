#pragma once
// An in-memory table in the manner of a client dataset: typed columns that
// may be null, rows kept in index order, a current row with navigation, an
// edit buffer for Append/Edit followed by Post or Cancel, a simple
// "Field=value" filter, an auto-increment key with lookups by key that do not
// scan, and hooks for new rows, scrolling, display texts, computed columns
// and change notification. Everything runs on one thread.

#include "store/DataPacket.h"
#include "store/Field.h"
#include "store/FieldValue.h"
#include "store/ProxyTypes.h"
#include "store/TableSchema.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

class QIODevice;

class TDataTable {
public:
    enum class TState : uint8_t { dsBrowse, dsEdit, dsInsert };
    enum class TChange : uint8_t { Reset, Inserted, Changed, Deleted };

    struct TRow {
        std::vector<TFieldValue> Values; // one per field; calculated ones stay null
        uint64_t Seq = 0;                // insertion order, the tie-break of the index
    };

    // Display text of a non-null value; the hook sets `text` (it starts empty).
    using TGetTextHook = std::function<void(const TFieldValue &value, QString &text)>;
    // Value of a calculated field for a row.
    using TCalcHook = std::function<TFieldValue(const TRow &row)>;

    explicit TDataTable(TTableSchema schema);
    ~TDataTable();
    TDataTable(const TDataTable &) = delete;
    TDataTable &operator=(const TDataTable &) = delete;

    const TTableSchema &Schema() const { return FSchema; }
    const QString &Name() const { return FSchema.Name; }
    int FieldCount() const { return static_cast<int>(FSchema.Fields.size()); }
    int FieldIndex(const QString &name) const { return FSchema.FieldIndex(name); }
    // Throws "Field 'X' not found" for an unknown name.
    TField FieldByName(const QString &name);
    TField Fields(int index);

    // Navigation over the rows that pass the filter, in index order. Moving
    // posts a pending edit first.
    void First();
    void Last();
    void Next();
    void Prior();
    bool Eof() const { return FEof; }
    bool Bof() const { return FBof; }
    bool IsEmpty() const { return FCurrent == nullptr && FState != TState::dsInsert; }
    int RecordCount() const; // rows passing the filter
    int RecNo() const;       // 1-based position of the current row among them, 0 if none
    // Makes the row whose auto-increment key is `uid` current, if it passes
    // the filter; a hash lookup, no scan.
    bool LocateUID(int64_t uid);
    // Makes the first passing row whose field equals `value` current (a scan).
    bool Locate(const QString &field, const TFieldValue &value);
    const TRow *CurrentRow() const { return FCurrent; }

    // Changes.
    TState State() const { return FState; }
    void Append();
    void Edit(); // on an empty table: Append
    void Post();
    void Cancel();
    void Delete(); // the current row; in insert state the same as Cancel
    // Deletes every posted row for which `doomed` holds, in one pass over the
    // rows (a pending change is posted first), and tells FOnChange once
    // (Reset) when any went. Returns how many went.
    int DeleteWhere(const std::function<bool(const TRow &)> &doomed);
    void CheckBrowseMode(); // posts a pending change

    // Filter: "Field=123" or "Field='text'"; applies while Filtered is on.
    void SetFilter(const QString &text);
    const QString &Filter() const { return FFilterText; }
    void SetFiltered(bool on);
    bool Filtered() const { return FFiltered; }

    // Values of the current row, or of the edit buffer while editing.
    TFieldValue Value(int field) const;
    void SetValue(int field, TFieldValue value);
    // Values of any row, without moving the cursor.
    TFieldValue RowValue(const TRow &row, int field) const;
    QString DisplayText(const TRow &row, int field) const;
    QString DisplayText(const TFieldValue &value, int field) const;
    std::vector<const TRow *> VisibleRows() const;
    std::vector<const TRow *> AllRows() const; // every row in index order, filter ignored
    const TRow *FindUID(int64_t uid) const;    // filter ignored, cursor untouched

    // Whole table.
    int64_t AutoIncValue() const { return FAutoInc; }
    TDataPacket ToPacket() const; // every posted row, whatever the filter
    TDataPacket Metadata() const; // columns and properties, no rows
    // Writes the table file form of ToPacket() without copying the rows.
    void WriteTo(QIODevice &device) const;
    // Replaces the content; throws (content unchanged) when the packet's
    // columns do not suit this table or its keys repeat.
    void LoadFromPacket(TDataPacket packet);

    void SetGetTextHook(int field, TGetTextHook hook);
    void SetCalcHook(int field, TCalcHook hook);
    bool FieldVisible(int field) const { return FSchema.Fields[field].Visible; }
    void SetFieldVisible(int field, bool visible) { FSchema.Fields[field].Visible = visible; }
    int DisplayWidth(int field) const;

    std::function<void(TDataTable &)> FOnNewRecord;
    std::function<void(TDataTable &)> FAfterScroll;
    // Told after every change: the row inserted or changed; for Deleted the
    // row that goes, still readable during the call and freed right after;
    // null for Reset (the content was replaced or many rows went at once).
    std::function<void(TDataTable &, TChange, const TRow *)> FOnChange;

private:
    using TRows = std::vector<std::unique_ptr<TRow>>;

    bool KeyLess(const TRow &a, const TRow &b) const;
    size_t PosOf(const TRow *row) const;
    size_t InsertPos(const TRow &row) const;
    bool Passes(const TRow &row) const;
    TRow *NextPassing(size_t from) const;    // first passing row at or after `from`
    TRow *PriorPassing(size_t before) const; // last passing row before `before`
    void Settle(TRow *preferred);            // preferred if it passes, else a neighbour
    void Scrolled();
    void Changed(TChange change, const TRow *row);
    void CheckField(int field) const;
    TRow *Take(size_t pos);
    int64_t KeyOf(const TRow &row) const;

    TTableSchema FSchema;
    std::vector<int> FIndexFields;
    int FAutoIncField = -1;
    int FStoredFields = 0;
    TRows FRows;
    std::unordered_map<int64_t, TRow *> FByUID;
    TRow *FCurrent = nullptr;
    bool FEof = true;
    bool FBof = true;
    TState FState = TState::dsBrowse;
    std::optional<TRow> FBuffer;
    int64_t FAutoInc = 1;
    uint64_t FNextSeq = 1;
    QString FFilterText;
    bool FFiltered = false;
    int FFilterField = -1;
    TFieldValue FFilterValue;
    std::vector<TGetTextHook> FGetText;
    std::vector<TCalcHook> FCalc;
};
