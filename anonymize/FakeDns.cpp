#include "anonymize/FakeDns.h"

#include <cctype>

uint32_t TFakeAddresses::AddressOf(const std::string &name) {
    std::lock_guard<std::mutex> guard(FLock);
    const auto found = FByName.find(name);
    if (found != FByName.end())
        return found->second;
    uint32_t index;
    if (FNames.size() < Count) {
        index = static_cast<uint32_t>(FNames.size());
        FNames.push_back(name);
    } else { // every address given: reuse the oldest
        index = FNext;
        FByName.erase(FNames[index]);
        FNames[index] = name;
        FNext = (FNext + 1) % Count;
    }
    FByName.emplace(name, First + index);
    return First + index;
}

std::optional<std::string> TFakeAddresses::NameOf(uint32_t address) const {
    if (!InRange(address))
        return std::nullopt;
    std::lock_guard<std::mutex> guard(FLock);
    const uint32_t index = address - First;
    if (index >= FNames.size())
        return std::nullopt;
    return FNames[index];
}

namespace {

enum : uint16_t { TypeA = 1, TypeAAAA = 28, ClassIN = 1 };
enum : uint8_t { NoError = 0, FormErr = 1, NotImp = 4 };

struct TQuestion {
    std::string Name; // lower case, dotted, no final dot
    size_t End = 0;   // offset just past QTYPE and QCLASS
    uint16_t Type = 0;
    uint16_t Class = 0;
};

uint16_t Read16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void Put16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void Put32(std::vector<uint8_t> &out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v >> 16));
    Put16(out, static_cast<uint16_t>(v));
}

// The first question, which starts at offset 12; a query names its name in
// plain labels (no compression pointer can point backwards from there).
std::optional<TQuestion> ReadQuestion(const uint8_t *m, size_t size) {
    TQuestion q;
    size_t at = 12;
    for (;;) {
        if (at >= size)
            return std::nullopt;
        const uint8_t length = m[at++];
        if (length == 0)
            break;
        if (length > 63 || at + length > size || q.Name.size() + length > 253)
            return std::nullopt;
        if (!q.Name.empty())
            q.Name += '.';
        for (size_t i = 0; i < length; ++i)
            q.Name += static_cast<char>(std::tolower(m[at + i]));
        at += length;
    }
    if (at + 4 > size)
        return std::nullopt;
    q.Type = Read16(m + at);
    q.Class = Read16(m + at + 2);
    q.End = at + 4;
    return q;
}

} // namespace

std::optional<std::vector<uint8_t>> TDnsAnswerer::Answer(const uint8_t *query, size_t size) {
    if (size < 12 || (query[2] & 0x80))
        return std::nullopt;
    const uint8_t opcode = (query[2] >> 3) & 0x0F;
    const uint16_t questions = Read16(query + 4);
    std::optional<TQuestion> q;
    uint8_t rcode = NoError;
    if (opcode != 0)
        rcode = NotImp;
    else if (questions != 1 || !(q = ReadQuestion(query, size)))
        rcode = FormErr;

    std::vector<uint8_t> out(query, query + 4);              // ID, then the flags below
    out[2] = static_cast<uint8_t>(0x80 | (query[2] & 0x79)); // QR, opcode, RD kept
    out[3] = static_cast<uint8_t>(0x80 | rcode);             // RA
    const bool answerA =
        rcode == NoError && q->Type == TypeA && q->Class == ClassIN && !q->Name.empty();
    Put16(out, rcode == NoError ? 1 : 0); // QDCOUNT
    Put16(out, answerA ? 1 : 0);          // ANCOUNT
    Put16(out, 0);                        // NSCOUNT
    Put16(out, 0);                        // ARCOUNT
    if (rcode != NoError)
        return out;
    out.insert(out.end(), query + 12, query + q->End);
    if (answerA) {
        const uint32_t address =
            q->Name == "localhost" ? 0x7F000001 : FAddresses.AddressOf(q->Name);
        Put16(out, 0xC00C); // the name: a pointer to the question's
        Put16(out, TypeA);
        Put16(out, ClassIN);
        Put32(out, Ttl);
        Put16(out, 4);
        Put32(out, address);
    }
    return out;
}
