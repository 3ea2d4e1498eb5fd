#include "store/DataPacket.h"

namespace {

void AppendLE(QByteArray &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

int64_t ReadLE(const char *p, int bytes, bool isSigned) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    if (isSigned && bytes < 8 && (v >> (8 * bytes - 1)) & 1)
        v |= ~uint64_t(0) << (8 * bytes);
    return static_cast<int64_t>(v);
}

const TPacketProperty *FindProperty(const std::vector<TPacketProperty> &props,
                                    const QByteArray &name) {
    for (const auto &p : props)
        if (p.Name == name)
            return &p;
    return nullptr;
}

bool IsIntegerKind(uint16_t type) {
    const uint16_t kind = type & dsfld::KindMask;
    return kind == dsfld::INT || kind == dsfld::UINT;
}

} // namespace

TPacketProperty TPacketProperty::Integer(const QByteArray &name, uint16_t size, uint16_t type,
                                         int64_t value) {
    TPacketProperty p{name, size, type, {}};
    AppendLE(p.Value, static_cast<uint64_t>(value), size);
    return p;
}

TPacketProperty TPacketProperty::Text(const QByteArray &name, uint16_t size,
                                      const QByteArray &text) {
    TPacketProperty p{name, size, static_cast<uint16_t>(dsfld::ZSTRING | dsfld::Varying), {}};
    AppendLE(p.Value, static_cast<uint64_t>(text.size()), size);
    p.Value.append(text);
    return p;
}

TPacketProperty TPacketProperty::IntegerArray(const QByteArray &name, uint16_t size, uint16_t type,
                                              const std::vector<int64_t> &values) {
    TPacketProperty p{name, size, static_cast<uint16_t>(type | dsfld::Array), {}};
    AppendLE(p.Value, values.size(), 4);
    for (int64_t v : values)
        AppendLE(p.Value, static_cast<uint64_t>(v), size);
    return p;
}

std::optional<int64_t> TPacketProperty::AsInteger() const {
    if ((Type & (dsfld::Array | dsfld::Varying)) || !IsIntegerKind(Type))
        return std::nullopt;
    if (Size < 1 || Size > 8 || Value.size() != Size)
        return std::nullopt;
    return ReadLE(Value.constData(), Size, (Type & dsfld::KindMask) == dsfld::INT);
}

QByteArray TPacketProperty::AsText() const {
    if (!(Type & dsfld::Varying) || (Type & dsfld::Array) || Size < 1 || Size > 4 ||
        Value.size() < Size)
        return {};
    QByteArray text = Value.mid(Size);
    if (text.endsWith('\0'))
        text.chop(1);
    return text;
}

std::vector<int64_t> TPacketProperty::AsIntegerArray() const {
    std::vector<int64_t> out;
    if (!(Type & dsfld::Array) || (Type & dsfld::Varying) || !IsIntegerKind(Type) || Size < 1 ||
        Size > 8 || Value.size() < 4)
        return out;
    const auto count = static_cast<uint64_t>(ReadLE(Value.constData(), 4, false));
    if (count * Size != static_cast<uint64_t>(Value.size() - 4))
        return out;
    out.reserve(count);
    const bool isSigned = (Type & dsfld::KindMask) == dsfld::INT;
    for (uint64_t i = 0; i < count; ++i)
        out.push_back(ReadLE(Value.constData() + 4 + i * Size, Size, isSigned));
    return out;
}

const TPacketProperty *TPacketColumn::Property(const QByteArray &name) const {
    return FindProperty(Properties, name);
}

int TPacketColumn::Width() const {
    const TPacketProperty *p = Property("WIDTH");
    if (!p)
        return -1;
    const auto v = p->AsInteger();
    return v ? static_cast<int>(*v) : -1;
}

QByteArray TPacketColumn::SubType() const {
    const TPacketProperty *p = Property("SUBTYPE");
    return p ? p->AsText() : QByteArray();
}

const TPacketProperty *TDataPacket::Property(const QByteArray &name) const {
    return FindProperty(Properties, name);
}

int TDataPacket::ColumnIndex(const QByteArray &name) const {
    for (size_t i = 0; i < Columns.size(); ++i)
        if (Columns[i].Name == name)
            return static_cast<int>(i);
    return -1;
}
