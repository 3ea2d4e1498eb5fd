#pragma once
// Encodes a TDataPacket as a binary datapacket: header (flags 3, first-row
// offset filled in), the column descriptors and table properties as given,
// then every row merged (row state 0, nulls marked by the lower mark bit).

#include "store/DataPacket.h"

#include <QByteArray>

class QIODevice;

class TDataPacketWriter {
public:
    // Writes the whole packet to `device`; throws EVelmoraError when the
    // device refuses a write (the message carries the device's error text)
    // or when a value does not suit its column.
    static void Write(const TDataPacket &packet, QIODevice &device);
    static QByteArray ToBytes(const TDataPacket &packet);
};
