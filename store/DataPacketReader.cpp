#include "store/DataPacketReader.h"

#include "platform/Error.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kMagic = 0xBDE01996;
constexpr uint32_t kHeaderSize = 24;
constexpr uint32_t kFlagOffsetValid = 2;

constexpr uint8_t kRowOriginal = 0x01; // replaced by a later version
constexpr uint8_t kRowDeleted = 0x02;
constexpr uint8_t kRowModified = 0x08; // a new version of an earlier row
constexpr int64_t kLogModify = 8;

[[noreturn]] void Fail(const QString &fault) {
    throw EVelmoraError(fault);
}

// Bounded little-endian reads over the packet bytes.
class TByteCursor {
public:
    TByteCursor(const QByteArray &bytes)
        : FData(bytes.constData()), FSize(static_cast<size_t>(bytes.size())) {}

    size_t Pos() const { return FPos; }
    size_t Size() const { return FSize; }
    size_t Left() const { return FSize - FPos; }

    void Need(uint64_t n, const char *what) const {
        if (n > Left())
            Fail(QStringLiteral("%1 runs past the end of the file (needs %2 bytes at offset %3, "
                                "the file has %4)")
                     .arg(QString::fromLatin1(what))
                     .arg(n)
                     .arg(FPos)
                     .arg(FSize));
    }
    uint64_t Unsigned(int bytes, const char *what) {
        Need(bytes, what);
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= static_cast<uint64_t>(static_cast<unsigned char>(FData[FPos + i])) << (8 * i);
        FPos += bytes;
        return v;
    }
    int64_t Signed(int bytes, const char *what) {
        uint64_t v = Unsigned(bytes, what);
        if (bytes < 8 && ((v >> (8 * bytes - 1)) & 1))
            v |= ~uint64_t(0) << (8 * bytes);
        return static_cast<int64_t>(v);
    }
    QByteArray Bytes(uint64_t n, const char *what) {
        Need(n, what);
        QByteArray out(FData + FPos, static_cast<qsizetype>(n));
        FPos += n;
        return out;
    }
    QByteArray Slice(size_t start, size_t end) const {
        return QByteArray(FData + start, static_cast<qsizetype>(end - start));
    }
    double Float64(const char *what) {
        const uint64_t bits = Unsigned(8, what);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    float Float32(const char *what) {
        const auto bits = static_cast<uint32_t>(Unsigned(4, what));
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }

private:
    const char *FData;
    size_t FSize;
    size_t FPos = 0;
};

QByteArray ReadName(TByteCursor &in, const char *what) {
    const auto len = in.Unsigned(1, what);
    return in.Bytes(len, what);
}

// A property value: fixed, varying (length prefix of `size` bytes) or an
// array (4-byte count, then the elements).
TPacketProperty ReadProperty(TByteCursor &in, const char *what) {
    TPacketProperty p;
    p.Name = ReadName(in, what);
    p.Size = static_cast<uint16_t>(in.Unsigned(2, what));
    p.Type = static_cast<uint16_t>(in.Unsigned(2, what));
    const size_t start = in.Pos();
    const bool varying = p.Type & dsfld::Varying;
    if (varying && (p.Size < 1 || p.Size > 4))
        Fail(QStringLiteral("property \"%1\" has a length prefix of %2 bytes")
                 .arg(QString::fromLatin1(p.Name))
                 .arg(p.Size));
    const uint64_t count = (p.Type & dsfld::Array) ? in.Unsigned(4, what) : 1;
    if (varying) {
        // Each element carries its own length prefix, so the walk is bounded
        // by the bytes that are there.
        for (uint64_t i = 0; i < count; ++i)
            in.Bytes(in.Unsigned(p.Size, what), what);
    } else {
        in.Bytes(count * p.Size, what);
    }
    const size_t end = in.Pos();
    // The whole encoded value, prefixes included, kept as it is.
    p.Value = in.Slice(start, end);
    return p;
}

struct TRawRow {
    uint8_t State = 0;
    std::vector<TFieldValue> Values;
    std::vector<bool> NotStored; // empty when every column is stored or null
};

TFieldValue ReadValue(TByteCursor &in, const TPacketColumn &col) {
    static constexpr const char *what = "a row value";
    const int size = col.Size;
    switch (col.Kind()) {
    case dsfld::INT:
        return in.Signed(size, what);
    case dsfld::UINT:
        return static_cast<int64_t>(in.Unsigned(size, what));
    case dsfld::BOOL:
        return in.Unsigned(size, what) != 0;
    case dsfld::FLOATIEEE:
        return size == 8 ? in.Float64(what) : static_cast<double>(in.Float32(what));
    case dsfld::DATE:
    case dsfld::TIME:
        return in.Signed(4, what);
    case dsfld::TIMESTAMP:
        return in.Float64(what);
    case dsfld::ZSTRING: {
        if (col.Varying())
            return in.Bytes(in.Unsigned(size, what), what);
        QByteArray fixed = in.Bytes(size, what);
        const qsizetype zero = fixed.indexOf('\0');
        if (zero >= 0)
            fixed.truncate(zero);
        return fixed;
    }
    case dsfld::BYTES:
        if (col.Varying())
            return in.Bytes(in.Unsigned(size, what), what);
        return in.Bytes(size, what);
    default:
        Fail(QStringLiteral("column \"%1\" has a type this program does not read")
                 .arg(QString::fromLatin1(col.Name)));
    }
}

TPacketColumn ReadColumn(TByteCursor &in) {
    static constexpr const char *what = "a column descriptor";
    TPacketColumn c;
    c.Name = ReadName(in, what);
    c.Size = static_cast<uint16_t>(in.Unsigned(2, what));
    c.Type = static_cast<uint16_t>(in.Unsigned(2, what));
    c.Attributes = static_cast<uint16_t>(in.Unsigned(2, what));
    const auto propCount = in.Unsigned(2, what);
    for (uint64_t i = 0; i < propCount; ++i)
        c.Properties.push_back(ReadProperty(in, "a column property"));
    if (!TDataPacketReader::IsReadableColumn(c.Type, c.Size))
        Fail(QStringLiteral("column \"%1\" has a type this program does not read (%2, type "
                            "word 0x%3, size %4)")
                 .arg(QString::fromLatin1(c.Name), TDataPacketReader::TypeName(c.Type, c.Size))
                 .arg(c.Type, 4, 16, QLatin1Char('0'))
                 .arg(c.Size));
    return c;
}

// Links of the change log: for every row (0-based) the earlier version it
// replaces, or -1.
std::vector<int64_t> ReadChangeLinks(const TDataPacket &packet, size_t rowCount) {
    std::vector<int64_t> earlier(rowCount, -1);
    const TPacketProperty *log = packet.Property("CHANGE_LOG");
    if (!log)
        return earlier;
    const std::vector<int64_t> triples = log->AsIntegerArray();
    if (triples.empty() && log->Value.size() != 4)
        Fail(QStringLiteral("the change log is not an array of integers"));
    if (triples.size() % 3 != 0)
        Fail(QStringLiteral("the change log holds %1 numbers, not a whole number of entries")
                 .arg(triples.size()));
    std::vector<bool> isEarlier(rowCount, false);
    for (size_t i = 0; i < triples.size(); i += 3) {
        const int64_t row = triples[i], prev = triples[i + 1], action = triples[i + 2];
        if (row < 1 || static_cast<uint64_t>(row) > rowCount || prev < 0 ||
            static_cast<uint64_t>(prev) > rowCount)
            Fail(QStringLiteral("the change log names row %1 (earlier row %2), but the file "
                                "has %3 rows")
                     .arg(row)
                     .arg(prev)
                     .arg(rowCount));
        if (!(action & kLogModify) || prev == 0)
            continue;
        if (prev == row)
            Fail(QStringLiteral("the change log makes row %1 a change of itself").arg(row));
        if (earlier[row - 1] >= 0 || isEarlier[prev - 1])
            Fail(QStringLiteral("the change log links row %1 to row %2 twice").arg(row).arg(prev));
        earlier[row - 1] = prev - 1;
        isEarlier[prev - 1] = true;
    }
    return earlier;
}

void ResolveRows(TDataPacket &packet, std::vector<TRawRow> &raw) {
    const size_t n = raw.size();
    const std::vector<int64_t> earlier = ReadChangeLinks(packet, n);
    struct TCurrent {
        size_t Root;
        size_t Row;
    };
    std::vector<TCurrent> current;
    for (size_t i = 0; i < n; ++i) {
        if ((raw[i].State & kRowModified) && earlier[i] < 0)
            Fail(QStringLiteral("row %1 is marked as a change of an earlier row, but the "
                                "change log names none")
                     .arg(i + 1));
        if (raw[i].State & (kRowOriginal | kRowDeleted))
            continue;
        size_t root = i;
        for (size_t steps = 0; earlier[root] >= 0; ++steps) {
            if (steps > n)
                Fail(QStringLiteral("the change log links row %1 in a circle").arg(i + 1));
            root = static_cast<size_t>(earlier[root]);
        }
        current.push_back({root, i});
    }
    std::sort(current.begin(), current.end(),
              [](const TCurrent &a, const TCurrent &b) { return a.Root < b.Root; });
    for (size_t k = 1; k < current.size(); ++k)
        if (current[k].Root == current[k - 1].Root)
            Fail(QStringLiteral("rows %1 and %2 are both the current version of row %3")
                     .arg(current[k - 1].Row + 1)
                     .arg(current[k].Row + 1)
                     .arg(current[k].Root + 1));

    packet.Rows.reserve(current.size());
    for (const TCurrent &c : current) {
        TRawRow &row = raw[c.Row];
        for (size_t col = 0; col < row.NotStored.size(); ++col) {
            if (!row.NotStored[col])
                continue;
            // Left out: the value of the nearest earlier version that has one.
            TFieldValue value;
            for (int64_t e = earlier[c.Row]; e >= 0; e = earlier[e]) {
                const TRawRow &prev = raw[e];
                if (prev.NotStored.empty() || !prev.NotStored[col]) {
                    value = prev.Values[col];
                    break;
                }
            }
            row.Values[col] = std::move(value);
        }
        packet.Rows.push_back(std::move(row.Values));
    }
}

} // namespace

bool TDataPacketReader::IsReadableColumn(uint16_t type, uint16_t size) {
    if (type & dsfld::Array)
        return false;
    const bool varying = type & dsfld::Varying;
    switch (type & dsfld::KindMask) {
    case dsfld::INT:
        return !varying && (size == 1 || size == 2 || size == 4 || size == 8);
    case dsfld::UINT:
        return !varying && (size == 1 || size == 2 || size == 4);
    case dsfld::BOOL:
        return !varying && (size == 1 || size == 2);
    case dsfld::FLOATIEEE:
        return !varying && (size == 4 || size == 8);
    case dsfld::DATE:
    case dsfld::TIME:
        return !varying && size == 4;
    case dsfld::TIMESTAMP:
        return !varying && size == 8;
    case dsfld::ZSTRING:
    case dsfld::BYTES:
        return varying ? (size == 1 || size == 2 || size == 4) : size > 0;
    default:
        return false;
    }
}

QString TDataPacketReader::TypeName(uint16_t type, uint16_t size) {
    if (type & dsfld::Array)
        return QStringLiteral("array");
    switch (type & dsfld::KindMask) {
    case dsfld::INT:
        return QStringLiteral("integer");
    case dsfld::UINT:
        return QStringLiteral("unsigned integer");
    case dsfld::BOOL:
        return QStringLiteral("Boolean");
    case dsfld::FLOATIEEE:
        return QStringLiteral("float");
    case dsfld::BCD:
        return QStringLiteral("BCD");
    case dsfld::DATE:
        return QStringLiteral("date");
    case dsfld::TIME:
        return QStringLiteral("time");
    case dsfld::TIMESTAMP:
        return QStringLiteral("date-time");
    case dsfld::ZSTRING:
        return QStringLiteral("string");
    case dsfld::UNICODE:
        return QStringLiteral("Unicode string");
    case dsfld::BYTES:
        return (type & dsfld::Varying) ? QStringLiteral("blob") : QStringLiteral("bytes");
    case 12:
        return QStringLiteral("ADT");
    case 13:
        return QStringLiteral("array");
    case 14:
        return QStringLiteral("nested table");
    case 15:
        return QStringLiteral("reference");
    default:
        return QStringLiteral("unknown type");
    }
}

namespace {

struct THeader {
    uint64_t ColumnCount = 0;
    uint64_t RowCount = 0;
    uint64_t Flags = 0;
    uint64_t FirstRow = 0;
};

THeader ReadHeader(TByteCursor &in) {
    if (in.Size() < kHeaderSize)
        Fail(QStringLiteral("the file is too short for a table file header (%1 bytes)")
                 .arg(in.Size()));
    if (in.Unsigned(4, "the header") != kMagic)
        Fail(QStringLiteral("this is not a table file (wrong magic number; expected 96 19 E0 BD)"));
    const auto major = in.Unsigned(2, "the header");
    const auto minor = in.Unsigned(2, "the header");
    if (major != 1)
        Fail(QStringLiteral("unsupported file version %1.%2").arg(major).arg(minor));
    const auto headerSize = in.Unsigned(4, "the header");
    if (headerSize != kHeaderSize)
        Fail(QStringLiteral("header size %1, expected %2").arg(headerSize).arg(kHeaderSize));
    THeader header;
    header.ColumnCount = in.Unsigned(2, "the header");
    header.RowCount = in.Unsigned(4, "the header");
    header.Flags = in.Unsigned(4, "the header");
    header.FirstRow = in.Unsigned(2, "the header");
    return header;
}

void ReadColumns(TByteCursor &in, const THeader &header, TDataPacket &packet) {
    packet.Columns.reserve(header.ColumnCount);
    for (uint64_t i = 0; i < header.ColumnCount; ++i)
        packet.Columns.push_back(ReadColumn(in));
}

// The table properties end the descriptors; the first row follows them.
void ReadProperties(TByteCursor &in, const THeader &header, TDataPacket &packet) {
    const auto propCount = in.Unsigned(2, "the table properties");
    for (uint64_t i = 0; i < propCount; ++i)
        packet.Properties.push_back(ReadProperty(in, "a table property"));
    if ((header.Flags & kFlagOffsetValid) && header.FirstRow != in.Pos())
        Fail(QStringLiteral("the header puts the first row at offset %1, but the column "
                            "descriptors end at offset %2")
                 .arg(header.FirstRow)
                 .arg(in.Pos()));
}

// One row: its state byte, two marks per column (null, not stored), then the
// values of the columns that carry one.
void ReadRow(TByteCursor &in, const TDataPacket &packet, size_t markBytes, TRawRow &row) {
    const size_t columnCount = packet.Columns.size();
    row.State = static_cast<uint8_t>(in.Unsigned(1, "a row"));
    const QByteArray marks = in.Bytes(markBytes, "a row");
    row.Values.resize(columnCount);
    for (size_t c = 0; c < columnCount; ++c) {
        const int mark = (static_cast<unsigned char>(marks[c / 4]) >> (2 * (c % 4))) & 3;
        if (mark & 1)
            continue; // null
        if (mark & 2) {
            if (row.NotStored.empty())
                row.NotStored.resize(columnCount, false);
            row.NotStored[c] = true;
            continue;
        }
        row.Values[c] = ReadValue(in, packet.Columns[c]);
    }
}

void ReadRows(TByteCursor &in, const THeader &header, TDataPacket &packet) {
    const uint64_t rowCount = header.RowCount;
    const size_t markBytes = (header.ColumnCount + 3) / 4;
    const size_t minRow = 1 + markBytes;
    if (rowCount > in.Left() / minRow)
        Fail(QStringLiteral("the header counts %1 rows, which do not fit in the %2 bytes after "
                            "the column descriptors")
                 .arg(rowCount)
                 .arg(in.Left()));

    std::vector<TRawRow> raw(rowCount);
    bool plain = !packet.Property("CHANGE_LOG");
    for (uint64_t r = 0; r < rowCount; ++r) {
        TRawRow &row = raw[r];
        try {
            ReadRow(in, packet, markBytes, row);
        } catch (const EVelmoraError &e) {
            Fail(QStringLiteral("row %1 of %2: %3").arg(r + 1).arg(rowCount).arg(e.Message()));
        }
        if (row.State != 0 || !row.NotStored.empty())
            plain = false;
    }
    if (in.Left() != 0)
        Fail(
            QStringLiteral("%1 bytes follow the last of the %2 rows").arg(in.Left()).arg(rowCount));

    if (plain) {
        packet.Rows.reserve(raw.size());
        for (TRawRow &row : raw)
            packet.Rows.push_back(std::move(row.Values));
    } else {
        ResolveRows(packet, raw);
    }
}

} // namespace

TDataPacket TDataPacketReader::Read(const QByteArray &bytes) {
    TByteCursor in(bytes);
    const THeader header = ReadHeader(in);
    TDataPacket packet;
    ReadColumns(in, header, packet);
    ReadProperties(in, header, packet);
    ReadRows(in, header, packet);
    return packet;
}
