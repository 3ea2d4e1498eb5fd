#include "store/TablePacket.h"

#include "platform/Error.h"
#include "store/DataPacketReader.h"
#include "store/DataPacketWriter.h"

#include <algorithm>

TTablePacket::TTablePacket(const TTableSchema &schema)
    : FSchema(schema), FStoredFields(schema.StoredFieldCount()),
      FAutoIncField(schema.AutoIncField()) {}

TDataPacket TTablePacket::Metadata(int64_t autoInc) const {
    TDataPacket packet;
    packet.Columns = FSchema.PacketColumns();
    packet.Properties = FSchema.PacketProperties(autoInc);
    return packet;
}

TDataPacket TTablePacket::ToPacket(const TRows &rows, int64_t autoInc) const {
    TDataPacket packet = Metadata(autoInc);
    packet.Rows.reserve(rows.size());
    for (const auto &r : rows)
        packet.Rows.emplace_back(r->Values.begin(), r->Values.begin() + FStoredFields);
    return packet;
}

void TTablePacket::Write(const TRows &rows, int64_t autoInc, QIODevice &device) const {
    TDataPacketWriter::Write(
        Metadata(autoInc), rows.size(), [&rows](size_t i) { return rows[i]->Values.data(); },
        device);
}

TTablePacket::TContent TTablePacket::Load(TDataPacket packet, const TKeyLess &keyLess) const {
    TContent content;
    content.Rows = TakeRows(packet, Sources(packet));
    content.NextSeq = content.Rows.size() + 1;
    std::sort(content.Rows.begin(), content.Rows.end(),
              [&keyLess](const std::unique_ptr<TRow> &a, const std::unique_ptr<TRow> &b) {
                  return keyLess(*a, *b);
              });
    IndexKeys(content, packet);
    return content;
}

std::vector<int> TTablePacket::Sources(const TDataPacket &packet) const {
    std::vector<int> sources(FStoredFields, -1);
    for (int f = 0; f < FStoredFields; ++f) {
        const TFieldDef &def = FSchema.Fields[f];
        for (size_t c = 0; c < packet.Columns.size(); ++c)
            if (QString::fromLatin1(packet.Columns[c].Name)
                    .compare(def.Name, Qt::CaseInsensitive) == 0)
                sources[f] = static_cast<int>(c);
        if (sources[f] < 0)
            continue;
        const TPacketColumn &col = packet.Columns[sources[f]];
        if (!TTableSchema::Accepts(def.Kind, col))
            throw EVelmoraError(
                QStringLiteral("column \"%1\" holds %2 values where this table keeps %3 values")
                    .arg(def.Name, TDataPacketReader::TypeName(col.Type, col.Size),
                         TTableSchema::KindName(def.Kind)));
    }
    return sources;
}

TTablePacket::TRows TTablePacket::TakeRows(TDataPacket &packet,
                                           const std::vector<int> &sources) const {
    // The usual case, a file of this very table: rows are taken over whole.
    bool sameColumns = packet.Columns.size() == static_cast<size_t>(FStoredFields);
    for (int f = 0; f < FStoredFields && sameColumns; ++f)
        sameColumns = sources[f] == f;

    TRows rows;
    rows.reserve(packet.Rows.size());
    uint64_t seq = 1;
    for (auto &values : packet.Rows) {
        auto row = std::make_unique<TRow>();
        row->Seq = seq++;
        if (sameColumns) {
            row->Values = std::move(values);
            row->Values.resize(FSchema.Fields.size());
        } else {
            row->Values.resize(FSchema.Fields.size());
            for (int f = 0; f < FStoredFields; ++f)
                if (sources[f] >= 0)
                    row->Values[f] = std::move(values[sources[f]]);
        }
        CutTexts(*row);
        rows.push_back(std::move(row));
    }
    return rows;
}

void TTablePacket::CutTexts(TRow &row) const {
    for (int f = 0; f < FStoredFields; ++f) {
        const TFieldDef &def = FSchema.Fields[f];
        if (def.Kind == TFieldKind::ftString)
            if (auto *bytes = std::get_if<QByteArray>(&row.Values[f]);
                bytes && bytes->size() > def.Size)
                bytes->truncate(def.Size);
    }
}

void TTablePacket::IndexKeys(TContent &content, const TDataPacket &packet) const {
    if (FAutoIncField < 0)
        return;
    content.ByUID.reserve(content.Rows.size());
    int64_t highest = 0;
    for (const auto &r : content.Rows) {
        const TFieldValue &v = r->Values[FAutoIncField];
        if (IsNullValue(v))
            continue;
        const int64_t uid = std::get<int64_t>(v);
        if (!content.ByUID.emplace(uid, r.get()).second)
            throw EVelmoraError(QStringLiteral("the key %1 = %2 occurs more than once")
                                    .arg(FSchema.Fields[FAutoIncField].Name)
                                    .arg(uid));
        highest = std::max(highest, uid);
    }
    const TPacketProperty *p = packet.Property("AUTOINCVALUE");
    const auto stored = p ? p->AsInteger() : std::nullopt;
    // Never hand out a key that a row already has.
    content.AutoInc = std::max(stored.value_or(1), highest + 1);
}
