#pragma once
// DNS messages by hand, as a program that carries its own resolver makes
// them: a query for one name, the first IPv4 address of an answer, and the
// responder's side (the question of a query, an answer to it). Plain C++ and
// inline, so the statically linked client, the io_uring client and the
// tests' responders share it without linking anything.

#include <cstdint>
#include <optional>
#include <string>

namespace VelmoraDns {

constexpr uint16_t TypeA = 1;
constexpr uint16_t TypeAAAA = 28;

struct TQuestion {
    uint16_t Id = 0;
    std::string Name; // lower case, without the final dot
    uint16_t Type = 0;
    size_t End = 0; // offset just past the question
};

inline void Put16(std::string &out, uint16_t v) {
    out += char(v >> 8);
    out += char(v & 0xff);
}

inline uint16_t Get16(const std::string &m, size_t at) {
    return uint16_t((uint8_t(m[at]) << 8) | uint8_t(m[at + 1]));
}

// A recursive query for `name` of `type`, class IN.
inline std::string BuildQuery(uint16_t id, const std::string &name, uint16_t type) {
    std::string out;
    Put16(out, id);
    Put16(out, 0x0100); // recursion desired
    Put16(out, 1);      // one question
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, 0);
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        if (dot > start) {
            out += char(dot - start);
            out.append(name, start, dot - start);
        }
        start = dot + 1;
    }
    out += '\0';
    Put16(out, type);
    Put16(out, 1);
    return out;
}

// Skips a (possibly compressed) name at `at`; the offset past it, or
// std::string::npos when the message is cut short.
inline size_t SkipName(const std::string &m, size_t at) {
    while (at < m.size()) {
        const uint8_t len = uint8_t(m[at]);
        if (len == 0)
            return at + 1;
        if ((len & 0xc0) == 0xc0)
            return at + 2 <= m.size() ? at + 2 : std::string::npos;
        at += 1 + len;
    }
    return std::string::npos;
}

// The first question of a message; nullopt when it is not one.
inline std::optional<TQuestion> ParseQuestion(const std::string &m) {
    if (m.size() < 12 || Get16(m, 4) == 0)
        return std::nullopt;
    TQuestion q;
    q.Id = Get16(m, 0);
    size_t at = 12;
    while (at < m.size() && m[at] != 0) {
        const uint8_t len = uint8_t(m[at]);
        if ((len & 0xc0) != 0 || at + 1 + len > m.size())
            return std::nullopt;
        if (!q.Name.empty())
            q.Name += '.';
        for (size_t i = 0; i < len; ++i) {
            char c = m[at + 1 + i];
            q.Name += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        }
        at += 1 + len;
    }
    if (at + 5 > m.size())
        return std::nullopt;
    q.Type = Get16(m, at + 1);
    q.End = at + 5;
    return q;
}

// The answer to `query`: one record (TTL 0) of the question's type holding
// `data` (4 address bytes for A, 16 for AAAA, network order) when it is
// not empty; no record at all (NOERROR) when it is empty; NXDOMAIN when
// `known` is false.
inline std::string BuildAnswer(const std::string &query, const TQuestion &q, bool known,
                               const std::string &data) {
    std::string out;
    Put16(out, q.Id);
    const bool withRecord = known && !data.empty();
    Put16(out, uint16_t(0x8180 | (known ? 0 : 3))); // response, RD+RA, rcode
    Put16(out, 1);
    Put16(out, withRecord ? 1 : 0);
    Put16(out, 0);
    Put16(out, 0);
    out.append(query, 12, q.End - 12);
    if (withRecord) {
        Put16(out, 0xc00c); // the question's name
        Put16(out, q.Type);
        Put16(out, 1);
        Put16(out, 0);
        Put16(out, 0); // TTL 0
        Put16(out, uint16_t(data.size()));
        out += data;
    }
    return out;
}

// The first A record's address of an answer with id `id`, in dotted form;
// nullopt when there is none.
inline std::optional<std::string> FirstAddress(const std::string &m, uint16_t id) {
    if (m.size() < 12 || Get16(m, 0) != id || (Get16(m, 2) & 0x8000) == 0)
        return std::nullopt;
    const uint16_t questions = Get16(m, 4);
    const uint16_t answers = Get16(m, 6);
    size_t at = 12;
    for (uint16_t i = 0; i < questions; ++i) {
        at = SkipName(m, at);
        if (at == std::string::npos || at + 4 > m.size())
            return std::nullopt;
        at += 4;
    }
    for (uint16_t i = 0; i < answers; ++i) {
        at = SkipName(m, at);
        if (at == std::string::npos || at + 10 > m.size())
            return std::nullopt;
        const uint16_t type = Get16(m, at);
        const uint16_t length = Get16(m, at + 8);
        at += 10;
        if (at + length > m.size())
            return std::nullopt;
        if (type == TypeA && length == 4)
            return std::to_string(uint8_t(m[at])) + "." + std::to_string(uint8_t(m[at + 1])) + "." +
                   std::to_string(uint8_t(m[at + 2])) + "." + std::to_string(uint8_t(m[at + 3]));
        at += length;
    }
    return std::nullopt;
}

} // namespace VelmoraDns
