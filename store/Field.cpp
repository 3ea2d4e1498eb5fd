#include "store/Field.h"

#include "platform/Error.h"
#include "store/DataTable.h"
#include "store/DateTimeCodec.h"
#include "store/Win1252.h"

#include <cmath>

const QString &TField::FieldName() const {
    return Def().Name;
}
const TFieldDef &TField::Def() const {
    return FTable->Schema().Fields[FIndex];
}
bool TField::IsNull() const {
    return IsNullValue(FTable->Value(FIndex));
}
TFieldValue TField::Value() const {
    return FTable->Value(FIndex);
}

int32_t TField::AsInteger() const {
    const TFieldValue v = Value();
    if (const auto *i = std::get_if<int64_t>(&v))
        return static_cast<int32_t>(*i);
    if (const auto *b = std::get_if<bool>(&v))
        return *b ? 1 : 0;
    if (const auto *d = std::get_if<double>(&v))
        return static_cast<int32_t>(std::llround(*d));
    if (const auto *s = std::get_if<QByteArray>(&v)) {
        if (s->trimmed().isEmpty())
            return 0;
        bool ok = false;
        const int n = s->trimmed().toInt(&ok);
        if (!ok)
            throw EVelmoraError(
                QStringLiteral("'%1' is not a valid integer value").arg(TWin1252::ToUnicode(*s)));
        return n;
    }
    return 0;
}

bool TField::AsBoolean() const {
    const TFieldValue v = Value();
    if (const auto *b = std::get_if<bool>(&v))
        return *b;
    if (const auto *i = std::get_if<int64_t>(&v))
        return *i != 0;
    return false;
}

double TField::AsFloat() const {
    const TFieldValue v = Value();
    if (const auto *d = std::get_if<double>(&v))
        return Def().Kind == TFieldKind::ftDateTime ? TDateTimeCodec::FromMSecs(*d) : *d;
    if (const auto *i = std::get_if<int64_t>(&v))
        return static_cast<double>(*i);
    return 0;
}

TDateTime TField::AsDateTime() const {
    const TFieldValue v = Value();
    if (const auto *d = std::get_if<double>(&v))
        return Def().Kind == TFieldKind::ftDateTime ? TDateTimeCodec::FromMSecs(*d) : *d;
    return 0;
}

QString TField::AsString() const {
    const TFieldValue v = Value();
    if (const auto *s = std::get_if<QByteArray>(&v))
        return TWin1252::ToUnicode(*s);
    if (IsNullValue(v))
        return {};
    if (const auto *b = std::get_if<bool>(&v))
        return *b ? QStringLiteral("True") : QStringLiteral("False");
    if (const auto *i = std::get_if<int64_t>(&v))
        return QString::number(*i);
    return FTable->DisplayText(v, FIndex);
}

QByteArray TField::AsBytes() const {
    const TFieldValue v = Value();
    const auto *s = std::get_if<QByteArray>(&v);
    return s ? *s : QByteArray();
}

QString TField::DisplayText() const {
    return FTable->DisplayText(Value(), FIndex);
}

void TField::SetValue(TFieldValue value) {
    FTable->SetValue(FIndex, std::move(value));
}

void TField::SetAsInteger(int32_t value) {
    switch (Def().Kind) {
    case TFieldKind::ftString:
        SetValue(QByteArray::number(value));
        return;
    case TFieldKind::ftBoolean:
        SetValue(value != 0);
        return;
    case TFieldKind::ftFloat:
        SetValue(static_cast<double>(value));
        return;
    default:
        SetValue(static_cast<int64_t>(value));
    }
}

void TField::SetAsBoolean(bool value) {
    if (Def().Kind == TFieldKind::ftInteger)
        SetValue(static_cast<int64_t>(value ? 1 : 0));
    else
        SetValue(value);
}

void TField::SetAsFloat(double value) {
    switch (Def().Kind) {
    case TFieldKind::ftInteger:
        SetValue(static_cast<int64_t>(std::llround(value)));
        return;
    case TFieldKind::ftDateTime:
        SetAsDateTime(value);
        return;
    default:
        SetValue(value);
    }
}

void TField::SetAsDateTime(TDateTime value) {
    if (Def().Kind == TFieldKind::ftDateTime)
        SetValue(TDateTimeCodec::ToMSecs(value));
    else
        SetValue(value);
}

void TField::SetAsString(const QString &value) {
    switch (Def().Kind) {
    case TFieldKind::ftString:
        SetValue(TWin1252::FromUnicode(value, Def().Size));
        return;
    case TFieldKind::ftInteger: {
        if (value.trimmed().isEmpty()) {
            Clear();
            return;
        }
        bool ok = false;
        const int n = value.trimmed().toInt(&ok);
        if (!ok)
            throw EVelmoraError(QStringLiteral("'%1' is not a valid integer value").arg(value));
        SetValue(static_cast<int64_t>(n));
        return;
    }
    default:
        throw EVelmoraError(QStringLiteral("Field '%1' cannot be set from text").arg(FieldName()));
    }
}

void TField::Clear() {
    SetValue(TFieldValue());
}

bool TField::Visible() const {
    return FTable->FieldVisible(FIndex);
}
void TField::SetVisible(bool visible) {
    FTable->SetFieldVisible(FIndex, visible);
}
int TField::DisplayWidth() const {
    return FTable->DisplayWidth(FIndex);
}
