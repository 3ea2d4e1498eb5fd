#include "store/DataTable.h"

#include "platform/Error.h"
#include "store/DateTimeCodec.h"
#include "store/TablePacket.h"
#include "store/Win1252.h"

#include <QLocale>
#include <QRegularExpression>
#include <algorithm>

namespace {

// Order of two values of one column: null first, then by value.
int CompareValues(const TFieldValue &a, const TFieldValue &b) {
    const bool an = IsNullValue(a), bn = IsNullValue(b);
    if (an || bn)
        return an == bn ? 0 : (an ? -1 : 1);
    if (const auto *x = std::get_if<int64_t>(&a))
        if (const auto *y = std::get_if<int64_t>(&b))
            return *x < *y ? -1 : (*x > *y ? 1 : 0);
    if (const auto *x = std::get_if<QByteArray>(&a)) {
        if (const auto *y = std::get_if<QByteArray>(&b))
            return x->compare(*y) < 0 ? -1 : (x->compare(*y) > 0 ? 1 : 0);
        return 1;
    }
    if (std::holds_alternative<QByteArray>(b))
        return -1;
    auto num = [](const TFieldValue &v) -> double {
        if (const auto *i = std::get_if<int64_t>(&v))
            return static_cast<double>(*i);
        if (const auto *d = std::get_if<double>(&v))
            return *d;
        if (const auto *f = std::get_if<bool>(&v))
            return *f ? 1 : 0;
        return 0;
    };
    const double x = num(a), y = num(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

bool Suits(TFieldKind kind, const TFieldValue &v) {
    if (IsNullValue(v))
        return true;
    switch (kind) {
    case TFieldKind::ftString:
        return std::holds_alternative<QByteArray>(v);
    case TFieldKind::ftInteger:
    case TFieldKind::ftAutoInc:
        return std::holds_alternative<int64_t>(v);
    case TFieldKind::ftBoolean:
        return std::holds_alternative<bool>(v);
    case TFieldKind::ftFloat:
    case TFieldKind::ftDateTime:
        return std::holds_alternative<double>(v);
    }
    return false;
}

const TFieldValue kNull;

} // namespace

TDataTable::TDataTable(TTableSchema schema) : FSchema(std::move(schema)) {
    FAutoIncField = FSchema.AutoIncField();
    FStoredFields = FSchema.StoredFieldCount();
    if (FSchema.Index)
        for (const QString &name : FSchema.Index->Fields)
            FIndexFields.push_back(FSchema.FieldIndex(name));
    FGetText.resize(FSchema.Fields.size());
    FCalc.resize(FSchema.Fields.size());
}

TDataTable::~TDataTable() = default;

TField TDataTable::FieldByName(const QString &name) {
    const int i = FieldIndex(name);
    if (i < 0)
        throw EVelmoraError(QStringLiteral("%1: Field '%2' not found").arg(Name(), name));
    return TField(*this, i);
}

TField TDataTable::Fields(int index) {
    CheckField(index);
    return TField(*this, index);
}

void TDataTable::CheckField(int field) const {
    if (field < 0 || field >= FieldCount())
        throw EVelmoraError(
            QStringLiteral("%1: field index %2 out of range").arg(Name()).arg(field));
}

// ---- order and filter -------------------------------------------------------

bool TDataTable::KeyLess(const TRow &a, const TRow &b) const {
    for (int f : FIndexFields) {
        const int c = CompareValues(a.Values[f], b.Values[f]);
        if (c != 0)
            return c < 0;
    }
    return a.Seq < b.Seq;
}

size_t TDataTable::InsertPos(const TRow &row) const {
    const auto it = std::lower_bound(
        FRows.begin(), FRows.end(), row,
        [this](const std::unique_ptr<TRow> &r, const TRow &key) { return KeyLess(*r, key); });
    return static_cast<size_t>(it - FRows.begin());
}

size_t TDataTable::PosOf(const TRow *row) const {
    const size_t pos = InsertPos(*row);
    if (pos < FRows.size() && FRows[pos].get() == row)
        return pos;
    // Not reached while the rows stay sorted; a linear search keeps it safe.
    for (size_t i = 0; i < FRows.size(); ++i)
        if (FRows[i].get() == row)
            return i;
    return FRows.size();
}

int64_t TDataTable::KeyOf(const TRow &row) const {
    return std::get<int64_t>(row.Values[FAutoIncField]);
}

bool TDataTable::Passes(const TRow &row) const {
    if (!FFiltered || FFilterField < 0)
        return true;
    const TFieldValue v = RowValue(row, FFilterField);
    return !IsNullValue(v) && CompareValues(v, FFilterValue) == 0;
}

TDataTable::TRow *TDataTable::NextPassing(size_t from) const {
    for (size_t i = from; i < FRows.size(); ++i)
        if (Passes(*FRows[i]))
            return FRows[i].get();
    return nullptr;
}

TDataTable::TRow *TDataTable::PriorPassing(size_t before) const {
    for (size_t i = std::min(before, FRows.size()); i-- > 0;)
        if (Passes(*FRows[i]))
            return FRows[i].get();
    return nullptr;
}

void TDataTable::Settle(TRow *preferred) {
    if (preferred && Passes(*preferred)) {
        FCurrent = preferred;
    } else if (preferred) {
        const size_t pos = PosOf(preferred);
        TRow *next = NextPassing(pos + 1);
        FCurrent = next ? next : PriorPassing(pos);
    } else {
        FCurrent = NextPassing(0);
    }
    FEof = FBof = FCurrent == nullptr;
}

void TDataTable::Scrolled() {
    if (FAfterScroll)
        FAfterScroll(*this);
}

void TDataTable::Changed(TChange change, const TRow *row) {
    if (FOnChange)
        FOnChange(*this, change, row);
}

// ---- navigation -------------------------------------------------------------

void TDataTable::First() {
    CheckBrowseMode();
    FCurrent = NextPassing(0);
    FBof = true;
    FEof = FCurrent == nullptr;
    Scrolled();
}

void TDataTable::Last() {
    CheckBrowseMode();
    FCurrent = PriorPassing(FRows.size());
    FEof = true;
    FBof = FCurrent == nullptr;
    Scrolled();
}

void TDataTable::Next() {
    CheckBrowseMode();
    TRow *next = FCurrent ? NextPassing(PosOf(FCurrent) + 1) : nullptr;
    if (!next) {
        FEof = true;
        return;
    }
    FCurrent = next;
    FBof = FEof = false;
    Scrolled();
}

void TDataTable::Prior() {
    CheckBrowseMode();
    TRow *prior = FCurrent ? PriorPassing(PosOf(FCurrent)) : nullptr;
    if (!prior) {
        FBof = true;
        return;
    }
    FCurrent = prior;
    FBof = FEof = false;
    Scrolled();
}

int TDataTable::RecordCount() const {
    if (!FFiltered || FFilterField < 0)
        return static_cast<int>(FRows.size());
    int n = 0;
    for (const auto &r : FRows)
        if (Passes(*r))
            ++n;
    return n;
}

int TDataTable::RecNo() const {
    if (!FCurrent)
        return 0;
    const size_t pos = PosOf(FCurrent);
    if (!FFiltered || FFilterField < 0)
        return static_cast<int>(pos) + 1;
    int n = 0;
    for (size_t i = 0; i <= pos; ++i)
        if (Passes(*FRows[i]))
            ++n;
    return n;
}

bool TDataTable::LocateUID(int64_t uid) {
    CheckBrowseMode();
    const auto it = FByUID.find(uid);
    if (it == FByUID.end() || !Passes(*it->second))
        return false;
    FCurrent = it->second;
    FBof = FEof = false;
    Scrolled();
    return true;
}

bool TDataTable::Locate(const QString &field, const TFieldValue &value) {
    const int f = FieldIndex(field);
    if (f < 0)
        throw EVelmoraError(QStringLiteral("%1: Field '%2' not found").arg(Name(), field));
    CheckBrowseMode();
    for (const auto &r : FRows) {
        if (!Passes(*r))
            continue;
        const TFieldValue v = RowValue(*r, f);
        if (IsNullValue(v) == IsNullValue(value) && CompareValues(v, value) == 0) {
            FCurrent = r.get();
            FBof = FEof = false;
            Scrolled();
            return true;
        }
    }
    return false;
}

// ---- changes ----------------------------------------------------------------

void TDataTable::CheckBrowseMode() {
    if (FState != TState::dsBrowse)
        Post();
}

void TDataTable::Append() {
    CheckBrowseMode();
    FBuffer = TRow{std::vector<TFieldValue>(FSchema.Fields.size()), 0};
    FState = TState::dsInsert;
    if (FOnNewRecord)
        FOnNewRecord(*this);
    Scrolled();
}

void TDataTable::Edit() {
    if (FState != TState::dsBrowse)
        return;
    if (!FCurrent) {
        Append();
        return;
    }
    FBuffer = *FCurrent;
    FState = TState::dsEdit;
}

void TDataTable::Post() {
    if (FState == TState::dsBrowse)
        return;
    TRow values = std::move(*FBuffer);
    FBuffer.reset();
    for (size_t f = FStoredFields; f < values.Values.size(); ++f)
        values.Values[f] = TFieldValue();
    if (FState == TState::dsInsert) {
        FState = TState::dsBrowse;
        if (FAutoIncField >= 0)
            values.Values[FAutoIncField] = FAutoInc++;
        values.Seq = FNextSeq++;
        auto row = std::make_unique<TRow>(std::move(values));
        TRow *raw = row.get();
        FRows.insert(FRows.begin() + static_cast<ptrdiff_t>(InsertPos(*raw)), std::move(row));
        if (FAutoIncField >= 0)
            FByUID[KeyOf(*raw)] = raw;
        Settle(raw);
        Changed(TChange::Inserted, raw);
        return;
    }
    FState = TState::dsBrowse;
    TRow *row = FCurrent;
    bool keyChanged = false;
    for (int f : FIndexFields)
        if (CompareValues(row->Values[f], values.Values[f]) != 0 ||
            IsNullValue(row->Values[f]) != IsNullValue(values.Values[f]))
            keyChanged = true;
    if (keyChanged) {
        const size_t pos = PosOf(row);
        std::unique_ptr<TRow> owned = std::move(FRows[pos]);
        FRows.erase(FRows.begin() + static_cast<ptrdiff_t>(pos));
        owned->Values = std::move(values.Values);
        FRows.insert(FRows.begin() + static_cast<ptrdiff_t>(InsertPos(*owned)), std::move(owned));
    } else {
        row->Values = std::move(values.Values);
    }
    Settle(row);
    Changed(TChange::Changed, row);
}

void TDataTable::Cancel() {
    if (FState == TState::dsBrowse)
        return;
    const bool inserting = FState == TState::dsInsert;
    FBuffer.reset();
    FState = TState::dsBrowse;
    if (inserting)
        Scrolled();
}

TDataTable::TRow *TDataTable::Take(size_t pos) {
    TRow *row = FRows[pos].release();
    FRows.erase(FRows.begin() + static_cast<ptrdiff_t>(pos));
    if (FAutoIncField >= 0 && !IsNullValue(row->Values[FAutoIncField]))
        FByUID.erase(KeyOf(*row));
    return row;
}

void TDataTable::Delete() {
    if (FState == TState::dsInsert) {
        Cancel();
        return;
    }
    FBuffer.reset();
    FState = TState::dsBrowse;
    if (!FCurrent)
        throw EVelmoraError(
            QStringLiteral("%1: Cannot perform this operation on an empty dataset").arg(Name()));
    const size_t pos = PosOf(FCurrent);
    TRow *next = NextPassing(pos + 1);
    TRow *prior = PriorPassing(pos);
    std::unique_ptr<TRow> gone(Take(pos));
    FCurrent = next ? next : prior;
    FEof = next == nullptr;
    FBof = FCurrent == nullptr;
    Changed(TChange::Deleted, gone.get());
    Scrolled();
}

int TDataTable::DeleteWhere(const std::function<bool(const TRow &)> &doomed) {
    CheckBrowseMode();
    TRows kept;
    kept.reserve(FRows.size());
    bool currentGone = false;
    int gone = 0;
    for (auto &row : FRows) {
        if (!doomed(*row)) {
            kept.push_back(std::move(row));
            continue;
        }
        if (FAutoIncField >= 0 && !IsNullValue(row->Values[FAutoIncField]))
            FByUID.erase(KeyOf(*row));
        currentGone = currentGone || row.get() == FCurrent;
        ++gone;
    }
    // Every row that stays has moved to `kept`, also when none went.
    FRows.swap(kept);
    if (gone == 0)
        return 0;
    // The current row, when it went, gives way to the first passing row.
    TRow *current = currentGone ? nullptr : FCurrent;
    kept.clear(); // frees the rows that went
    Settle(current);
    Changed(TChange::Reset, nullptr);
    Scrolled();
    return gone;
}

// ---- filter -----------------------------------------------------------------

void TDataTable::SetFilter(const QString &text) {
    int field = -1;
    TFieldValue value;
    if (!text.trimmed().isEmpty()) {
        static const QRegularExpression re(QStringLiteral("^\\s*(\\w+)\\s*=\\s*(.*?)\\s*$"));
        const auto m = re.match(text);
        if (!m.hasMatch())
            throw EVelmoraError(QStringLiteral("%1: invalid filter \"%2\"").arg(Name(), text));
        field = FieldIndex(m.captured(1));
        if (field < 0)
            throw EVelmoraError(
                QStringLiteral("%1: Field '%2' not found").arg(Name(), m.captured(1)));
        const QString literal = m.captured(2);
        bool ok = false;
        const qlonglong number = literal.toLongLong(&ok);
        if (literal.size() >= 2 && literal.startsWith(QLatin1Char('\'')) &&
            literal.endsWith(QLatin1Char('\'')))
            value = TWin1252::FromUnicode(literal.mid(1, literal.size() - 2));
        else if (ok)
            value = static_cast<int64_t>(number);
        else
            throw EVelmoraError(QStringLiteral("%1: invalid filter \"%2\"").arg(Name(), text));
    }
    CheckBrowseMode();
    FFilterText = text;
    FFilterField = field;
    FFilterValue = value;
    if (FFiltered) {
        First();
        Changed(TChange::Reset, nullptr);
    }
}

void TDataTable::SetFiltered(bool on) {
    if (FFiltered == on)
        return;
    CheckBrowseMode();
    FFiltered = on;
    First();
    Changed(TChange::Reset, nullptr);
}

// ---- values -----------------------------------------------------------------

TFieldValue TDataTable::Value(int field) const {
    CheckField(field);
    if (FState != TState::dsBrowse) {
        if (FSchema.Fields[field].Calculated)
            return RowValue(*FBuffer, field);
        return FBuffer->Values[field];
    }
    return FCurrent ? RowValue(*FCurrent, field) : kNull;
}

void TDataTable::SetValue(int field, TFieldValue value) {
    CheckField(field);
    const TFieldDef &def = FSchema.Fields[field];
    if (FState == TState::dsBrowse)
        throw EVelmoraError(QStringLiteral("%1: Dataset not in edit or insert mode").arg(Name()));
    if (def.Calculated || def.Kind == TFieldKind::ftAutoInc)
        throw EVelmoraError(QStringLiteral("Field '%1' cannot be modified").arg(def.Name));
    if (!Suits(def.Kind, value))
        throw EVelmoraError(QStringLiteral("Field '%1': value of the wrong type").arg(def.Name));
    if (def.Kind == TFieldKind::ftString)
        if (auto *bytes = std::get_if<QByteArray>(&value); bytes && bytes->size() > def.Size)
            bytes->truncate(def.Size);
    if (def.Kind == TFieldKind::ftInteger)
        if (auto *i = std::get_if<int64_t>(&value))
            *i = static_cast<int32_t>(*i);
    FBuffer->Values[field] = std::move(value);
}

TFieldValue TDataTable::RowValue(const TRow &row, int field) const {
    if (FSchema.Fields[field].Calculated)
        return FCalc[field] ? FCalc[field](row) : TFieldValue();
    return row.Values[field];
}

QString TDataTable::DisplayText(const TRow &row, int field) const {
    CheckField(field);
    return DisplayText(RowValue(row, field), field);
}

QString TDataTable::DisplayText(const TFieldValue &value, int field) const {
    CheckField(field);
    if (IsNullValue(value))
        return {};
    QString text;
    if (FGetText[field]) {
        FGetText[field](value, text);
        return text;
    }
    if (const auto *s = std::get_if<QByteArray>(&value))
        return TWin1252::ToUnicode(*s);
    if (const auto *b = std::get_if<bool>(&value))
        return *b ? QStringLiteral("True") : QStringLiteral("False");
    if (const auto *i = std::get_if<int64_t>(&value))
        return QString::number(*i);
    const double d = std::get<double>(value);
    if (FSchema.Fields[field].Kind == TFieldKind::ftDateTime)
        return QLocale().toString(TDateTimeCodec::MSecsToQDateTime(d), QLocale::ShortFormat);
    return QLocale().toString(d, 'g', 15);
}

std::vector<const TDataTable::TRow *> TDataTable::VisibleRows() const {
    std::vector<const TRow *> out;
    out.reserve(FRows.size());
    for (const auto &r : FRows)
        if (Passes(*r))
            out.push_back(r.get());
    return out;
}

std::vector<const TDataTable::TRow *> TDataTable::AllRows() const {
    std::vector<const TRow *> out;
    out.reserve(FRows.size());
    for (const auto &r : FRows)
        out.push_back(r.get());
    return out;
}

const TDataTable::TRow *TDataTable::FindUID(int64_t uid) const {
    const auto it = FByUID.find(uid);
    return it == FByUID.end() ? nullptr : it->second;
}

void TDataTable::SetGetTextHook(int field, TGetTextHook hook) {
    CheckField(field);
    FGetText[field] = std::move(hook);
}

void TDataTable::SetCalcHook(int field, TCalcHook hook) {
    CheckField(field);
    FCalc[field] = std::move(hook);
}

int TDataTable::DisplayWidth(int field) const {
    CheckField(field);
    return TTableSchema::DefaultDisplayWidth(FSchema.Fields[field]);
}

// ---- whole table ------------------------------------------------------------

TDataPacket TDataTable::Metadata() const {
    return TTablePacket(FSchema).Metadata(FAutoInc);
}

void TDataTable::WriteTo(QIODevice &device) const {
    TTablePacket(FSchema).Write(FRows, FAutoInc, device);
}

TDataPacket TDataTable::ToPacket() const {
    return TTablePacket(FSchema).ToPacket(FRows, FAutoInc);
}

void TDataTable::LoadFromPacket(TDataPacket packet) {
    TTablePacket::TContent content = TTablePacket(FSchema).Load(
        std::move(packet), [this](const TRow &a, const TRow &b) { return KeyLess(a, b); });
    FBuffer.reset();
    FState = TState::dsBrowse;
    FRows.swap(content.Rows);
    FByUID.swap(content.ByUID);
    FAutoInc = content.AutoInc;
    FNextSeq = content.NextSeq;
    FCurrent = NextPassing(0);
    FBof = true;
    FEof = FCurrent == nullptr;
    Changed(TChange::Reset, nullptr);
    Scrolled();
}
