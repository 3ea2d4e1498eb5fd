#include "store/DataPacketWriter.h"

#include "platform/Error.h"

#include <QBuffer>
#include <QIODevice>
#include <cstring>

namespace {

constexpr qsizetype kChunk = 64 * 1024;

// Collects bytes and hands them to the device in large pieces, checking
// every write.
class TSink {
public:
    explicit TSink(QIODevice &device) : FDevice(device) { FBuffer.reserve(kChunk + 1024); }

    void Le(uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            FBuffer.append(static_cast<char>((value >> (8 * i)) & 0xFF));
        MaybeFlush();
    }
    void Raw(const QByteArray &bytes) {
        FBuffer.append(bytes);
        MaybeFlush();
    }
    void Flush() {
        qsizetype done = 0;
        while (done < FBuffer.size()) {
            const qint64 n = FDevice.write(FBuffer.constData() + done, FBuffer.size() - done);
            if (n <= 0) {
                const QString reason = FDevice.errorString();
                throw EVelmoraError(QStringLiteral("Write error: %1")
                                        .arg(reason.isEmpty() ? QStringLiteral("the device "
                                                                               "accepted no "
                                                                               "more data")
                                                              : reason));
            }
            done += n;
        }
        FBuffer.clear();
    }

private:
    void MaybeFlush() {
        if (FBuffer.size() >= kChunk)
            Flush();
    }
    QIODevice &FDevice;
    QByteArray FBuffer;
};

void WriteName(QByteArray &out, const QByteArray &name) {
    if (name.size() > 255)
        throw EVelmoraError(QStringLiteral("the name \"%1\" is longer than 255 bytes")
                                .arg(QString::fromLatin1(name)));
    out.append(static_cast<char>(name.size()));
    out.append(name);
}

void Le(QByteArray &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void WriteProperty(QByteArray &out, const TPacketProperty &p) {
    WriteName(out, p.Name);
    Le(out, p.Size, 2);
    Le(out, p.Type, 2);
    out.append(p.Value);
}

QByteArray Metadata(const TDataPacket &packet) {
    QByteArray out;
    for (const TPacketColumn &c : packet.Columns) {
        WriteName(out, c.Name);
        Le(out, c.Size, 2);
        Le(out, c.Type, 2);
        Le(out, c.Attributes, 2);
        Le(out, c.Properties.size(), 2);
        for (const TPacketProperty &p : c.Properties)
            WriteProperty(out, p);
    }
    Le(out, packet.Properties.size(), 2);
    for (const TPacketProperty &p : packet.Properties)
        WriteProperty(out, p);
    return out;
}

[[noreturn]] void Unsuitable(const TPacketColumn &c) {
    throw EVelmoraError(QStringLiteral("the value of column \"%1\" does not suit its type")
                            .arg(QString::fromLatin1(c.Name)));
}

template <typename T> const T &As(const TFieldValue &v, const TPacketColumn &c) {
    if (const T *p = std::get_if<T>(&v))
        return *p;
    Unsuitable(c);
}

void WriteValue(TSink &out, const TPacketColumn &c, const TFieldValue &v) {
    switch (c.Kind()) {
    case dsfld::INT:
    case dsfld::UINT:
    case dsfld::DATE:
    case dsfld::TIME:
        out.Le(static_cast<uint64_t>(As<int64_t>(v, c)), c.Size);
        return;
    case dsfld::BOOL:
        out.Le(As<bool>(v, c) ? 1 : 0, c.Size);
        return;
    case dsfld::FLOATIEEE:
    case dsfld::TIMESTAMP: {
        const double d = As<double>(v, c);
        if (c.Size == 4) {
            const float f = static_cast<float>(d);
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            out.Le(bits, 4);
        } else {
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            out.Le(bits, 8);
        }
        return;
    }
    case dsfld::ZSTRING:
    case dsfld::BYTES: {
        const QByteArray &bytes = As<QByteArray>(v, c);
        if (c.Varying()) {
            if (c.Size < 8 && static_cast<uint64_t>(bytes.size()) >> (8 * c.Size))
                Unsuitable(c);
            out.Le(static_cast<uint64_t>(bytes.size()), c.Size);
            out.Raw(bytes);
        } else {
            QByteArray fixed = bytes.left(c.Size);
            fixed.append(QByteArray(c.Size - fixed.size(), '\0'));
            out.Raw(fixed);
        }
        return;
    }
    default:
        Unsuitable(c);
    }
}

} // namespace

void TDataPacketWriter::Write(const TDataPacket &packet, QIODevice &device) {
    const size_t columns = packet.Columns.size();
    for (const std::vector<TFieldValue> &row : packet.Rows)
        if (row.size() != columns)
            throw EVelmoraError(
                QStringLiteral("a row has %1 values for %2 columns").arg(row.size()).arg(columns));
    Write(
        packet, packet.Rows.size(), [&](size_t i) { return packet.Rows[i].data(); }, device);
}

void TDataPacketWriter::Write(const TDataPacket &packet, size_t rowCount, const TRowSource &rowAt,
                              QIODevice &device) {
    const QByteArray meta = Metadata(packet);
    const uint64_t firstRow = 24 + static_cast<uint64_t>(meta.size());
    if (firstRow > 0xFFFF)
        throw EVelmoraError(QStringLiteral("the column descriptors are too long for a table file"));
    const size_t columns = packet.Columns.size();
    if (rowCount > 0xFFFFFFFFu)
        throw EVelmoraError(QStringLiteral("too many rows for a table file"));

    TSink out(device);
    out.Le(0xBDE01996, 4);
    out.Le(1, 2); // version 1.0
    out.Le(0, 2);
    out.Le(24, 4);
    out.Le(columns, 2);
    out.Le(rowCount, 4);
    out.Le(3, 4); // flags: the first-row offset below is valid
    out.Le(firstRow, 2);
    out.Raw(meta);

    const size_t markBytes = (columns + 3) / 4;
    QByteArray marks(static_cast<qsizetype>(markBytes), '\0');
    for (size_t r = 0; r < rowCount; ++r) {
        const TFieldValue *row = rowAt(r);
        marks.fill('\0');
        for (size_t c = 0; c < columns; ++c)
            if (IsNullValue(row[c]))
                marks[c / 4] = static_cast<char>(marks[c / 4] | (1 << (2 * (c % 4))));
        out.Le(0, 1); // row state: plain saved data
        out.Raw(marks);
        for (size_t c = 0; c < columns; ++c)
            if (!IsNullValue(row[c]))
                WriteValue(out, packet.Columns[c], row[c]);
    }
    out.Flush();
}

QByteArray TDataPacketWriter::ToBytes(const TDataPacket &packet) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    Write(packet, buffer);
    return bytes;
}
