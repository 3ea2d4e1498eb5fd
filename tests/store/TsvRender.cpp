#include "TsvRender.h"

#include "store/DateTimeCodec.h"
#include "store/Win1252.h"

#include <QDate>
#include <QFile>
#include <charconv>
#include <cmath>
#include <string>

namespace tsv {

namespace {

QByteArray Escape(const QString &text) {
    QByteArray out;
    for (const QChar ch : text) {
        switch (ch.unicode()) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += QString(ch).toUtf8();
        }
    }
    return out;
}

QByteArray TimeOfDay(int64_t ms) {
    return QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms))
        .toString(QStringLiteral("HH:mm:ss.zzz"))
        .toLatin1();
}

QByteArray Cell(const TPacketColumn &col, const TFieldValue &v) {
    if (IsNullValue(v))
        return "\\N";
    switch (col.Kind()) {
    case dsfld::INT:
    case dsfld::UINT:
        return QByteArray::number(static_cast<qlonglong>(std::get<int64_t>(v)));
    case dsfld::BOOL:
        return std::get<bool>(v) ? "true" : "false";
    case dsfld::FLOATIEEE:
        return Float(std::get<double>(v));
    case dsfld::TIMESTAMP: {
        const QDateTime dt = TDateTimeCodec::MSecsToQDateTime(std::get<double>(v));
        return dt.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1();
    }
    case dsfld::DATE:
        return QDate(1, 1, 1)
            .addDays(std::get<int64_t>(v) - 1)
            .toString(QStringLiteral("yyyy-MM-dd"))
            .toLatin1();
    case dsfld::TIME:
        return TimeOfDay(std::get<int64_t>(v));
    case dsfld::ZSTRING:
        return Escape(TWin1252::ToUnicode(std::get<QByteArray>(v)));
    case dsfld::BYTES: {
        const QByteArray &bytes = std::get<QByteArray>(v);
        if (col.Varying() && col.SubType() == "Text")
            return Escape(TWin1252::ToUnicode(bytes));
        return "<blob " + QByteArray::number(bytes.size()) + " bytes>";
    }
    default:
        return "?";
    }
}

} // namespace

QByteArray Float(double value) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string s(buf, res.ptr);
    bool negative = false;
    if (!s.empty() && s[0] == '-') {
        negative = true;
        s.erase(0, 1);
    }
    const size_t e = s.find('e');
    std::string mantissa = s.substr(0, e);
    const int exp = std::stoi(s.substr(e + 1));
    std::string digits;
    for (char c : mantissa)
        if (c != '.')
            digits += c;
    std::string out;
    if (exp >= -4 && exp < 16) {
        if (exp < 0) {
            out = "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
        } else {
            const size_t point = static_cast<size_t>(exp) + 1;
            if (digits.size() <= point) {
                out = digits + std::string(point - digits.size(), '0') + ".0";
            } else {
                out = digits.substr(0, point) + "." + digits.substr(point);
            }
        }
    } else {
        out = digits.substr(0, 1);
        if (digits.size() > 1)
            out += "." + digits.substr(1);
        char expBuf[16];
        std::snprintf(expBuf, sizeof expBuf, "e%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
        out += expBuf;
    }
    return QByteArray::fromStdString((negative ? "-" : "") + out);
}

QByteArray Render(const TDataPacket &packet) {
    QByteArray out;
    for (size_t c = 0; c < packet.Columns.size(); ++c) {
        if (c)
            out += '\t';
        out += packet.Columns[c].Name;
    }
    out += '\n';
    for (const auto &row : packet.Rows) {
        for (size_t c = 0; c < packet.Columns.size(); ++c) {
            if (c)
                out += '\t';
            out += Cell(packet.Columns[c], row[c]);
        }
        out += '\n';
    }
    return out;
}

QByteArray ReadFile(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QString DataPath(const QString &relative) {
    return QStringLiteral(VELMORA_TEST_DATA "/") + relative;
}

} // namespace tsv
