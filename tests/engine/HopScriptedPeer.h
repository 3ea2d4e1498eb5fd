#pragma once
// A scripted peer for hop handshake tests: it listens on 127.0.0.1, accepts
// one connection and plays its steps in order on a thread of its own: expect
// exact bytes, send canned bytes (whole, or one byte per segment), wait for
// the end of the stream. Every wait is bounded; the first mismatch ends the
// script and is kept in Failure(). The connection is closed when the script
// ends, so a client still waiting for bytes fails instead of hanging.

#include "platform/Socket.h"

#include <chrono>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

class THopScriptedPeer {
public:
    THopScriptedPeer()
        : FListener(TSocket::Listen(TSocket::Family::IPv4, 0, 4)), FPort(FListener.LocalPort()) {}
    ~THopScriptedPeer() { Join(); }

    uint16_t Port() const { return FPort; }

    // Reads exactly these bytes (bounded wait) and compares them.
    THopScriptedPeer &Expect(std::string bytes) { return Add(TStep::Expect, std::move(bytes)); }
    // Sends the bytes in one write.
    THopScriptedPeer &Send(std::string bytes) { return Add(TStep::Send, std::move(bytes)); }
    // Sends the bytes one per segment, with a short pause between them.
    THopScriptedPeer &Trickle(std::string bytes) { return Add(TStep::Trickle, std::move(bytes)); }
    // Checks that nothing arrives for the given time (the client is still waiting).
    THopScriptedPeer &Quiet(int ms) { return Add(TStep::Quiet, {}, ms); }
    // Waits (bounded) for the end of the stream; bytes before it are a failure.
    THopScriptedPeer &ExpectEnd() { return Add(TStep::End, {}); }
    // Waits (bounded) for the client to close or shut down; what it sends on
    // the way is ignored.
    THopScriptedPeer &Linger(int ms) { return Add(TStep::Linger, {}, ms); }

    void Start() {
        FThread = std::thread([this] { Run(); });
    }
    void Join() {
        if (FThread.joinable())
            FThread.join();
    }
    // Empty when every step went as scripted.
    const std::string &Failure() const { return FFailure; }
    bool Accepted() const { return FAccepted; }

    static constexpr int WaitMs = 5000;

private:
    enum class TStep { Expect, Send, Trickle, Quiet, End, Linger };
    struct TItem {
        TStep Kind;
        std::string Bytes;
        int Ms;
    };

    THopScriptedPeer &Add(TStep kind, std::string bytes, int ms = 0) {
        FSteps.push_back({kind, std::move(bytes), ms});
        return *this;
    }

    static std::string Hex(const std::string &s) {
        static const char *digits = "0123456789abcdef";
        std::string out;
        for (unsigned char c : s) {
            out += digits[c >> 4];
            out += digits[c & 15];
            out += ' ';
        }
        return out;
    }

    // Reads up to n bytes, waiting at most ms; "" at end of stream or time-out.
    static bool ReadWithin(TSocket &s, std::string &out, size_t n, int ms) {
        out.clear();
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !s.WaitReadable(int(left)))
                return false;
            char buf[4096];
            const size_t got = s.ReadSome(buf, std::min(sizeof buf, n - out.size()));
            if (got == 0)
                return false;
            out.append(buf, got);
        }
        return true;
    }

    void Run() {
        pollfd p{FListener.Fd(), POLLIN, 0};
        if (::poll(&p, 1, WaitMs) != 1) {
            FFailure = "no connection arrived";
            return;
        }
        TSocket s = FListener.Accept();
        FAccepted = true;
        try {
            for (size_t i = 0; i < FSteps.size() && FFailure.empty(); ++i)
                Play(s, FSteps[i], i);
        } catch (const std::exception &e) {
            FFailure = std::string("socket error: ") + e.what();
        }
    }

    void Play(TSocket &s, const TItem &step, size_t index) {
        const std::string where = "step " + std::to_string(index) + ": ";
        std::string got;
        switch (step.Kind) {
        case TStep::Expect:
            if (!ReadWithin(s, got, step.Bytes.size(), WaitMs) || got != step.Bytes)
                FFailure = where + "expected [" + Hex(step.Bytes) + "] got [" + Hex(got) + "]";
            break;
        case TStep::Send:
            s.WriteAll(step.Bytes);
            break;
        case TStep::Trickle:
            for (char c : step.Bytes) {
                s.WriteAll(&c, 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            break;
        case TStep::Quiet:
            if (s.WaitReadable(step.Ms))
                FFailure = where + "the client sent or closed while it should wait";
            break;
        case TStep::End:
            try {
                if (!ReadWithin(s, got, 1, WaitMs) && got.empty() && !s.WaitReadable(0))
                    FFailure = where + "expected end of stream, the client went quiet";
            } catch (const ESocketError &) {
                break; // reset by the client: an end as well
            }
            if (!got.empty())
                FFailure = where + "expected end of stream, got [" + Hex(got) + "]";
            break;
        case TStep::Linger: {
            try {
                while (ReadWithin(s, got, 4096, step.Ms)) {
                }
            } catch (const ESocketError &) {
            }
            break;
        }
        }
    }

    TSocket FListener;
    uint16_t FPort = 0;
    std::vector<TItem> FSteps;
    std::thread FThread;
    std::string FFailure;
    bool FAccepted = false;
};
