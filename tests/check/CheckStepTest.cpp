// Each exchange of a check's try fed a scripted proxy or page, every answer
// split at every byte (never read past what the step asks for): the same
// messages go out and the step ends the same way wherever the bytes part.

#include "check/CheckHttpConnectStep.h"
#include "check/CheckPageStep.h"
#include "check/CheckSocks4Step.h"
#include "check/CheckSocks5Step.h"

#include <array>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

using TState = TCheckStep::TState;

enum class TKind { Socks5, Socks4, HttpConnect, Page };

struct TScript {
    const char *Name;
    TKind Kind;
    std::vector<std::string> Answers; // one per message
    bool Closes;                      // the peer closes after the last answer
    TState End;
};

const THttpGetRequest Page{"example.org", 80, "/"};

std::unique_ptr<TCheckStep> Make(TKind kind) {
    switch (kind) {
    case TKind::Socks5:
        return std::make_unique<TCheckSocks5Step>("example.org", 80);
    case TKind::Socks4:
        return std::make_unique<TCheckSocks4Step>(80, std::array<uint8_t, 4>{127, 0, 0, 1});
    case TKind::HttpConnect:
        return std::make_unique<TCheckHttpConnectStep>("example.org", 80);
    default:
        return std::make_unique<TCheckPageStep>(Page);
    }
}

// Runs the script with each answer parted at `split`; the state it ends in.
TState Drive(const TScript &script, size_t split, size_t &messages) {
    const std::unique_ptr<TCheckStep> step = Make(script.Kind);
    messages = 0;
    for (const std::string &answer : script.Answers) {
        if (step->Next().empty())
            return TState::Reading;
        ++messages;
        TState state = TState::Reading;
        for (size_t at = 0; at < answer.size() && state == TState::Reading;) {
            const size_t end = at < split && split < answer.size() ? split : answer.size();
            const size_t size = std::min(step->BytesNeeded(), end - at);
            state = step->Feed(reinterpret_cast<const uint8_t *>(answer.data() + at), size);
            at += size;
        }
        if (state == TState::Reading && script.Closes)
            state = step->Feed(nullptr, 0);
        if (state != TState::Answered)
            return state;
    }
    return step->Next().empty() ? TState::Answered : TState::Reading;
}

const std::string Method("\x05\x00", 2);
const std::string Socks5Ok("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10);
const std::string Socks4Ok(std::string("\x00\x5a", 2) + std::string(6, '\0'));
const std::string Socks4No(std::string("\x00\x5b", 2) + std::string(6, '\0'));

const TScript Scripts[] = {
    {"SOCKS 5", TKind::Socks5, {Method, Socks5Ok}, false, TState::Answered},
    {"SOCKS 5, method refused", TKind::Socks5, {"\x05\xff"}, false, TState::Failed},
    {"SOCKS 5, closed", TKind::Socks5, {Method, Socks5Ok.substr(0, 7)}, true, TState::Failed},
    {"SOCKS 4", TKind::Socks4, {Socks4Ok}, false, TState::Answered},
    {"SOCKS 4, refused", TKind::Socks4, {Socks4No}, false, TState::Failed},
    {"HTTP CONNECT",
     TKind::HttpConnect,
     {"HTTP/1.1 200 Established\r\nX-A: b\r\n\r\n"},
     false,
     TState::Answered},
    {"HTTP CONNECT, refused",
     TKind::HttpConnect,
     {"HTTP/1.0 403 Forbidden\r\n\r\n"},
     false,
     TState::Failed},
    {"page",
     TKind::Page,
     {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
     false,
     TState::Answered},
    {"page to the close", TKind::Page, {"HTTP/1.0 200 OK\r\n\r\nhello"}, true, TState::Answered},
    {"page, redirect",
     TKind::Page,
     {"HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n"},
     false,
     TState::Failed},
    {"page, cut short",
     TKind::Page,
     {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhel"},
     true,
     TState::Failed},
};

} // namespace

TEST(CheckStep, EveryScriptEndsTheSameWhereverItsBytesPart) {
    for (const TScript &script : Scripts) {
        size_t longest = 0;
        for (const std::string &answer : script.Answers)
            longest = std::max(longest, answer.size());
        for (size_t split = 0; split <= longest; ++split) {
            SCOPED_TRACE(std::string(script.Name) + ", parted at " + std::to_string(split));
            size_t messages = 0;
            EXPECT_EQ(Drive(script, split, messages), script.End);
            EXPECT_EQ(messages, script.Answers.size());
        }
    }
}
