#pragma once

#include "store/FieldValue.h"
#include "store/ProxyTypes.h"
#include "store/TableSchema.h"

#include <QByteArray>
#include <QString>

class TDataTable;

// A handle on one field of a table, reading and writing the current row (or
// the edit buffer). Cheap to copy; valid as long as its table.
class TField {
public:
    TField(TDataTable &table, int index) : FTable(&table), FIndex(index) {}

    int Index() const { return FIndex; }
    const QString &FieldName() const;
    const TFieldDef &Def() const;
    bool IsNull() const;
    TFieldValue Value() const;
    // Null reads as 0, false or empty text.
    int32_t AsInteger() const;
    bool AsBoolean() const;
    double AsFloat() const;
    TDateTime AsDateTime() const;
    QString AsString() const;
    QByteArray AsBytes() const; // text columns as stored (Windows-1252)
    QString DisplayText() const;

    void SetValue(TFieldValue value);
    void SetAsInteger(int32_t value);
    void SetAsBoolean(bool value);
    void SetAsFloat(double value);
    void SetAsDateTime(TDateTime value);
    // Text columns keep the Windows-1252 form cut to the column width.
    void SetAsString(const QString &value);
    void Clear();

    bool Visible() const;
    void SetVisible(bool visible);
    int DisplayWidth() const;

private:
    TDataTable *FTable;
    int FIndex;
};
