#pragma once
// The mapping between a table and a datapacket: the packet a table saves (its
// columns, its properties with the next auto-increment key, every posted row)
// and the rows a table takes over from a packet whose columns may stand in
// another order, be fewer or be more, as long as each one's type suits.

#include "store/DataPacket.h"
#include "store/DataTable.h"
#include "store/TableSchema.h"

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

class QIODevice;

class TTablePacket {
public:
    using TRow = TDataTable::TRow;
    using TRows = std::vector<std::unique_ptr<TRow>>;
    using TKeyLess = std::function<bool(const TRow &, const TRow &)>;

    // What a table takes over from a packet: the rows in index order, the
    // rows by auto-increment key, the next key to hand out and the next
    // insertion number.
    struct TContent {
        TRows Rows;
        std::unordered_map<int64_t, TRow *> ByUID;
        int64_t AutoInc = 1;
        uint64_t NextSeq = 1;
    };

    explicit TTablePacket(const TTableSchema &schema);

    // Columns and properties, no rows.
    TDataPacket Metadata(int64_t autoInc) const;
    // Every row given, stored fields only.
    TDataPacket ToPacket(const TRows &rows, int64_t autoInc) const;
    // The table file form of ToPacket() without copying the rows.
    void Write(const TRows &rows, int64_t autoInc, QIODevice &device) const;
    // The rows of `packet` as this table keeps them, sorted by `keyLess`;
    // throws when a column's type does not suit or a key repeats.
    TContent Load(TDataPacket packet, const TKeyLess &keyLess) const;

private:
    // For each stored field, the packet column it comes from (-1: none).
    std::vector<int> Sources(const TDataPacket &packet) const;
    TRows TakeRows(TDataPacket &packet, const std::vector<int> &sources) const;
    void CutTexts(TRow &row) const;
    // Fills ByUID and AutoInc from the rows and the packet's stored value.
    void IndexKeys(TContent &content, const TDataPacket &packet) const;

    const TTableSchema &FSchema;
    int FStoredFields;
    int FAutoIncField;
};
