#pragma once
// The table of the in-memory table tests: items ordered by Group then UID
// (not unique), a short text, and "Twice", a calculated field.

#include "store/TableSchema.h"

inline TTableSchema ItemSchema() {
    TTableSchema s;
    s.Name = QStringLiteral("cdsItems");
    s.Fields = {{QStringLiteral("Group"), TFieldKind::ftInteger, 0, 0, true, false},
                {QStringLiteral("Name"), TFieldKind::ftString, 5, 0, true, false},
                {QStringLiteral("UID"), TFieldKind::ftAutoInc, 0, 0, true, false},
                {QStringLiteral("Twice"), TFieldKind::ftInteger, 0, 0, true, true}};
    s.Index =
        TIndexDef{QStringLiteral("idx"), {QStringLiteral("Group"), QStringLiteral("UID")}, false};
    return s;
}
