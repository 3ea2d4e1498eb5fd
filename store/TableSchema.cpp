#include "store/TableSchema.h"

#include <array>

namespace {

// How a field of each kind stands in the file, and its name in messages.
struct TKindInFile {
    uint16_t Size;
    uint16_t Type;
    const char *Name;
};

const TKindInFile &KindInFile(TFieldKind kind) {
    // In the order of TFieldKind.
    static constexpr std::array<TKindInFile, 6> kinds{{
        {1, dsfld::ZSTRING | dsfld::Varying, "string"},
        {4, dsfld::INT, "integer"},
        {4, dsfld::INT, "auto-increment"},
        {2, dsfld::BOOL, "Boolean"},
        {8, dsfld::FLOATIEEE, "float"},
        {8, dsfld::TIMESTAMP, "date-time"},
    }};
    return kinds.at(static_cast<size_t>(kind));
}

} // namespace

int TTableSchema::FieldIndex(const QString &name) const {
    for (size_t i = 0; i < Fields.size(); ++i)
        if (Fields[i].Name.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    return -1;
}

int TTableSchema::AutoIncField() const {
    for (size_t i = 0; i < Fields.size(); ++i)
        if (Fields[i].Kind == TFieldKind::ftAutoInc)
            return static_cast<int>(i);
    return -1;
}

int TTableSchema::StoredFieldCount() const {
    int n = 0;
    for (const TFieldDef &f : Fields)
        if (!f.Calculated)
            ++n;
    return n;
}

std::vector<TPacketColumn> TTableSchema::PacketColumns() const {
    std::vector<TPacketColumn> out;
    for (const TFieldDef &f : Fields) {
        if (f.Calculated)
            continue;
        TPacketColumn c;
        c.Name = f.Name.toLatin1();
        c.Size = KindInFile(f.Kind).Size;
        c.Type = KindInFile(f.Kind).Type;
        if (f.Kind == TFieldKind::ftString)
            c.Properties.push_back(TPacketProperty::Integer("WIDTH", 2, dsfld::UINT, f.Size));
        if (f.Kind == TFieldKind::ftAutoInc) {
            c.Attributes = 0x0002; // read-only
            c.Properties.push_back(
                TPacketProperty::Text("SUBTYPE", 2, QByteArray("Autoinc", 8))); // zero included
        }
        out.push_back(std::move(c));
    }
    return out;
}

std::vector<TPacketProperty> TTableSchema::PacketProperties(int64_t autoInc) const {
    std::vector<TPacketProperty> out;
    if (AutoIncField() >= 0)
        out.push_back(TPacketProperty::Integer("AUTOINCVALUE", 4, dsfld::INT, autoInc));
    if (DefaultOrder)
        out.push_back(TPacketProperty::IntegerArray("DEFAULT_ORDER", 2, dsfld::UINT, {}));
    return out;
}

bool TTableSchema::Accepts(TFieldKind kind, const TPacketColumn &column) {
    if (column.IsArray())
        return false;
    const uint16_t k = column.Kind();
    if (kind == TFieldKind::ftInteger || kind == TFieldKind::ftAutoInc)
        return (k == dsfld::INT || (k == dsfld::UINT && column.Size < 4)) && column.Size <= 4;
    return k == (KindInFile(kind).Type & dsfld::KindMask);
}

QString TTableSchema::KindName(TFieldKind kind) {
    return QString::fromLatin1(KindInFile(kind).Name);
}

int TTableSchema::DefaultDisplayWidth(const TFieldDef &field) {
    if (field.DisplayWidth > 0)
        return field.DisplayWidth;
    switch (field.Kind) {
    case TFieldKind::ftString:
        return field.Size;
    case TFieldKind::ftBoolean:
        return 5;
    case TFieldKind::ftDateTime:
        return 18;
    default:
        return 10;
    }
}
