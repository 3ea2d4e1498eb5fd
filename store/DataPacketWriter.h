#pragma once
// Encodes a TDataPacket as a binary datapacket: header (flags 3, first-row
// offset filled in), the column descriptors and table properties as given,
// then every row merged (row state 0, nulls marked by the lower mark bit).

#include "store/DataPacket.h"

#include <QByteArray>
#include <functional>

class QIODevice;

class TDataPacketWriter {
public:
    // Writes the whole packet to `device`; throws EVelmoraError when the
    // device refuses a write (the message carries the device's error text)
    // or when a value does not suit its column.
    static void Write(const TDataPacket &packet, QIODevice &device);
    // The same with the rows handed over one at a time (the metadata's own
    // rows are ignored): `row(i)` points at the values of row i, one per
    // column. Saves copying a large table before writing it.
    using TRowSource = std::function<const TFieldValue *(size_t index)>;
    static void Write(const TDataPacket &metadata, size_t rowCount, const TRowSource &row,
                      QIODevice &device);
    static QByteArray ToBytes(const TDataPacket &packet);
};
