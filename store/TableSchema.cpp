#include "store/TableSchema.h"

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
        switch (f.Kind) {
        case TFieldKind::ftString:
            c.Size = 1;
            c.Type = dsfld::ZSTRING | dsfld::Varying;
            c.Properties.push_back(TPacketProperty::Integer("WIDTH", 2, dsfld::UINT, f.Size));
            break;
        case TFieldKind::ftInteger:
            c.Size = 4;
            c.Type = dsfld::INT;
            break;
        case TFieldKind::ftAutoInc:
            c.Size = 4;
            c.Type = dsfld::INT;
            c.Attributes = 0x0002; // read-only
            c.Properties.push_back(
                TPacketProperty::Text("SUBTYPE", 2, QByteArray("Autoinc", 8))); // zero included
            break;
        case TFieldKind::ftBoolean:
            c.Size = 2;
            c.Type = dsfld::BOOL;
            break;
        case TFieldKind::ftFloat:
            c.Size = 8;
            c.Type = dsfld::FLOATIEEE;
            break;
        case TFieldKind::ftDateTime:
            c.Size = 8;
            c.Type = dsfld::TIMESTAMP;
            break;
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
    switch (kind) {
    case TFieldKind::ftString:
        return k == dsfld::ZSTRING;
    case TFieldKind::ftInteger:
    case TFieldKind::ftAutoInc:
        return (k == dsfld::INT || (k == dsfld::UINT && column.Size < 4)) && column.Size <= 4;
    case TFieldKind::ftBoolean:
        return k == dsfld::BOOL;
    case TFieldKind::ftFloat:
        return k == dsfld::FLOATIEEE;
    case TFieldKind::ftDateTime:
        return k == dsfld::TIMESTAMP;
    }
    return false;
}

QString TTableSchema::KindName(TFieldKind kind) {
    switch (kind) {
    case TFieldKind::ftString:
        return QStringLiteral("string");
    case TFieldKind::ftInteger:
        return QStringLiteral("integer");
    case TFieldKind::ftAutoInc:
        return QStringLiteral("auto-increment");
    case TFieldKind::ftBoolean:
        return QStringLiteral("Boolean");
    case TFieldKind::ftFloat:
        return QStringLiteral("float");
    case TFieldKind::ftDateTime:
        return QStringLiteral("date-time");
    }
    return {};
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
