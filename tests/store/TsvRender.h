#pragma once
// Renders a decoded datapacket in the TSV convention of the sample files'
// *.current.tsv (tests/data/cds/SOURCES.md), and other small helpers shared
// by the store tests.

#include "store/DataPacket.h"

#include <QByteArray>
#include <QString>

namespace tsv {

QByteArray Render(const TDataPacket &packet);
// Shortest decimal that reads back as the same double, Python style.
QByteArray Float(double value);
QByteArray ReadFile(const QString &path);
QString DataPath(const QString &relative); // under tests/data

} // namespace tsv
