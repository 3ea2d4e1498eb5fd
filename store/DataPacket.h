#pragma once
// The content of one binary datapacket (a table file): column descriptors,
// table properties and the current rows, each row one value per column.
// TDataPacketReader fills it from bytes, TDataPacketWriter turns it back.

#include "store/FieldValue.h"

#include <QByteArray>
#include <cstdint>
#include <optional>
#include <vector>

// Value kinds: the low six bits of a type word.
namespace dsfld {
constexpr uint16_t INT = 1;       // signed integer, 1/2/4/8 bytes
constexpr uint16_t UINT = 2;      // unsigned integer, 1/2/4 bytes
constexpr uint16_t BOOL = 3;      // 16-bit 0/1
constexpr uint16_t FLOATIEEE = 4; // IEEE float, 8 (or 4) bytes
constexpr uint16_t BCD = 5;
constexpr uint16_t DATE = 6;      // 32-bit day number, 0001-01-01 is day 1
constexpr uint16_t TIME = 7;      // 32-bit milliseconds since midnight
constexpr uint16_t TIMESTAMP = 8; // 64-bit float of milliseconds, see TDateTimeCodec
constexpr uint16_t ZSTRING = 9;   // 8-bit text
constexpr uint16_t UNICODE = 10;
constexpr uint16_t BYTES = 11; // bytes; varying ones are blobs (SUBTYPE Text: memo)
constexpr uint16_t KindMask = 0x3F;
constexpr uint16_t Varying = 0x40;
constexpr uint16_t Array = 0x80;
} // namespace dsfld

// A named property of a column or of the table.
struct TPacketProperty {
    QByteArray Name;
    uint16_t Size = 0;
    uint16_t Type = 0;
    // The encoded value exactly as it is in the file, its length or count
    // prefix included.
    QByteArray Value;

    static TPacketProperty Integer(const QByteArray &name, uint16_t size, uint16_t type,
                                   int64_t value);
    // A varying text with a `size`-byte length prefix; `text` is stored as given.
    static TPacketProperty Text(const QByteArray &name, uint16_t size, const QByteArray &text);
    // An array of fixed-size elements.
    static TPacketProperty IntegerArray(const QByteArray &name, uint16_t size, uint16_t type,
                                        const std::vector<int64_t> &values);

    // A fixed-size integer value; empty for other shapes.
    std::optional<int64_t> AsInteger() const;
    // A varying value's bytes, without a trailing zero byte.
    QByteArray AsText() const;
    // The elements of an array of fixed-size integers.
    std::vector<int64_t> AsIntegerArray() const;
};

struct TPacketColumn {
    QByteArray Name;
    uint16_t Size = 0;
    uint16_t Type = 0;
    uint16_t Attributes = 0;
    std::vector<TPacketProperty> Properties;

    uint16_t Kind() const { return Type & dsfld::KindMask; }
    bool Varying() const { return (Type & dsfld::Varying) != 0; }
    bool IsArray() const { return (Type & dsfld::Array) != 0; }
    const TPacketProperty *Property(const QByteArray &name) const;
    int Width() const;          // the WIDTH property, or -1
    QByteArray SubType() const; // the SUBTYPE property's text, or empty
};

class TDataPacket {
public:
    std::vector<TPacketColumn> Columns;
    std::vector<TPacketProperty> Properties;
    std::vector<std::vector<TFieldValue>> Rows;

    const TPacketProperty *Property(const QByteArray &name) const;
    int ColumnIndex(const QByteArray &name) const;
};
