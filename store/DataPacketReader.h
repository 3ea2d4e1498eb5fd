#pragma once
// Decodes a binary datapacket (the table file format) from bytes. A pure
// function of its input: no I/O, no state, safe to feed arbitrary bytes.
//
// Files that carry a change log (row-state bits and a CHANGE_LOG table
// property) come back as their current data: superseded and deleted rows are
// dropped, every current row takes the values it leaves out from its earlier
// versions and stands where its first version stands in the file.

#include "store/DataPacket.h"

#include <QByteArray>
#include <QString>

class TDataPacketReader {
public:
    // Throws EVelmoraError whose message names the fault (the caller adds the
    // file name): a wrong magic number, a cut-off file, counts or offsets that
    // do not fit, a column of a type this program does not read.
    static TDataPacket Read(const QByteArray &bytes);
    // True when the type word and size describe a column Read() can decode.
    static bool IsReadableColumn(uint16_t type, uint16_t size);
    // A short name for a column type, used in messages ("integer", "BCD"...).
    static QString TypeName(uint16_t type, uint16_t size);
};
