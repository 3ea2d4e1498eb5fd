#pragma once
// The columns, index and file properties of one in-memory table.

#include "store/DataPacket.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

enum class TFieldKind : uint8_t {
    ftString,   // 8-bit text (Windows-1252) of at most Size bytes
    ftInteger,  // 32-bit signed
    ftAutoInc,  // 32-bit signed, assigned by the table on insert, read-only
    ftBoolean,  // 16-bit 0/1 in the file
    ftFloat,    // 64-bit IEEE
    ftDateTime, // 64-bit float of milliseconds in the file (TDateTimeCodec)
};

struct TFieldDef {
    QString Name;
    TFieldKind Kind = TFieldKind::ftInteger;
    int Size = 0;            // width in bytes of a string column
    int DisplayWidth = 0;    // characters in table views; 0: the kind's default
    bool Visible = true;     // shown by table views bound to the table
    bool Calculated = false; // computed in memory by a hook, never in the file
};

struct TIndexDef {
    QString Name;
    QStringList Fields;
    bool Unique = false;
};

class TTableSchema {
public:
    QString Name;                   // component name, e.g. "cdsProxies"
    std::vector<TFieldDef> Fields;  // stored fields first, calculated ones after them
    std::optional<TIndexDef> Index; // none: rows stay in insertion order
    bool DefaultOrder = false;      // the file carries an empty DEFAULT_ORDER property

    int FieldIndex(const QString &name) const;
    int AutoIncField() const; // -1 when the table has none
    int StoredFieldCount() const;
    // Column descriptors as the file carries them (calculated fields left out).
    std::vector<TPacketColumn> PacketColumns() const;
    // Table properties for a file whose next auto-increment value is `autoInc`.
    std::vector<TPacketProperty> PacketProperties(int64_t autoInc) const;
    // What the file's column type must be to load into a field of `kind`.
    static bool Accepts(TFieldKind kind, const TPacketColumn &column);
    static QString KindName(TFieldKind kind);
    static int DefaultDisplayWidth(const TFieldDef &field);
};
