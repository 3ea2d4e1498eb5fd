#include "platform/ControlSocket.h"

#include "platform/Clock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr size_t MaxAnswerLength = 4 * 1024 * 1024;

// Waits until fd is readable or deadline (TClock::TickMs) has passed.
bool WaitReadable(int fd, int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - TClock::TickMs();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(left));
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return false;
    }
}

// False, with errno, when the peer has gone (never SIGPIPE).
bool SendAll(int fd, const std::string &text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EPIPE;
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

// One line of an answer: no line break inside.
std::string OneLine(std::string text) {
    for (char &c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

} // namespace

// ---- the answer -----------------------------------------------------------------

TControlAnswer::TControlAnswer(TSocket socket, TOnLost onLost)
    : FSocket(std::move(socket)), FOnLost(std::move(onLost)) {
    // A client that stops reading cannot hold whoever answers.
    timeval limit{5, 0};
    ::setsockopt(FSocket.Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

TControlAnswer::~TControlAnswer() = default;

void TControlAnswer::Out(const std::string &line) {
    Add('o', line);
}

void TControlAnswer::Err(const std::string &line) {
    Add('e', line);
}

void TControlAnswer::Add(char channel, const std::string &line) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FEnded)
        return;
    FText += channel;
    FText += ' ';
    FText += OneLine(line);
    FText += '\n';
}

void TControlAnswer::End(int status) {
    std::lock_guard<std::mutex> guard(FLock);
    if (FEnded)
        return;
    FEnded = true;
    FText += "end " + std::to_string(status) + "\n";
    if (!SendAll(FSocket.Fd(), FText) && FOnLost)
        FOnLost(std::string("A control client went away before its answer was sent (") +
                std::strerror(errno) + ")");
    FSocket.Close();
}

// ---- the served side ------------------------------------------------------------

std::string TControlServer::SocketPath() {
    return TUserSocketServer::PathOf("control.sock");
}

TControlServer::TControlServer(TOnRequest onRequest)
    : FOnRequest(std::move(onRequest)),
      FServer(SOCK_STREAM, [this](TSocket &client) { Serve(client); }) {}

TControlServer::~TControlServer() {
    Stop();
}

bool TControlServer::Start() {
    return FServer.Start(SocketPath());
}

void TControlServer::Stop() {
    FServer.Stop();
}

void TControlServer::Serve(TSocket &client) {
    std::string line;
    const int64_t deadline = TClock::TickMs() + RequestTimeoutMs;
    char buffer[4096];
    bool complete = false;
    while (!complete && line.size() < TControlServer::MaxRequestLength &&
           WaitReadable(client.Fd(), deadline)) {
        const ssize_t got = ::recv(client.Fd(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        line.append(buffer, static_cast<size_t>(got));
        complete = line.find('\n') != std::string::npos;
    }
    if (!complete || FServer.Stopping())
        return;
    // The answer keeps the connection; this thread is done with it. Its copy
    // is closed on exec, so no program started meanwhile inherits it.
    auto answer =
        std::make_shared<TControlAnswer>(TSocket(::fcntl(client.Fd(), F_DUPFD_CLOEXEC, 0)), OnLost);
    line.resize(line.find('\n'));
    try {
        FOnRequest(TControlClient::DecodeWords(line), answer);
    } catch (const std::exception &e) {
        answer->Err(e.what());
        answer->End(1);
    }
}

// ---- the client -----------------------------------------------------------------

std::string TControlClient::EncodeWords(const std::vector<std::string> &words) {
    std::string line;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i)
            line += '\t';
        for (char c : words[i]) {
            switch (c) {
            case '\\':
                line += "\\\\";
                break;
            case '\t':
                line += "\\t";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\r':
                line += "\\r";
                break;
            default:
                line += c;
            }
        }
    }
    return line + '\n';
}

std::vector<std::string> TControlClient::DecodeWords(const std::string &line) {
    std::vector<std::string> words;
    if (line.empty())
        return words;
    std::string word;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            words.push_back(std::move(word));
            word.clear();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char e = line[++i];
            word += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
        } else {
            word += c;
        }
    }
    words.push_back(std::move(word));
    return words;
}

TControlClient::TReply TControlClient::Ask(const std::vector<std::string> &words, int timeoutMs,
                                           const std::string &path) {
    TReply reply;
    const std::string where = path.empty() ? TControlServer::SocketPath() : path;
    int error = 0;
    std::string problem;
    TSocket s = TUserSocketServer::Connect(where, SOCK_STREAM, error, problem);
    if (!problem.empty()) {
        reply.Outcome = TOutcome::Untrusted;
        reply.Error = problem;
        return reply;
    }
    if (!s.Valid()) {
        const bool absent = error == ENOENT || error == ECONNREFUSED || error == ENOTDIR;
        reply.Outcome = absent ? TOutcome::NotRunning : TOutcome::NoAnswer;
        reply.Error = "cannot reach " + where + ": " + std::strerror(error);
        return reply;
    }
    reply.Outcome = TOutcome::NoAnswer;
    if (!SendAll(s.Fd(), EncodeWords(words))) {
        reply.Error = "the running Velmora closed the connection";
        return reply;
    }
    const int64_t deadline = TClock::TickMs() + timeoutMs;
    std::string text;
    char buffer[4096];
    for (;;) {
        if (!WaitReadable(s.Fd(), deadline)) {
            reply.Error = "the running Velmora did not answer in time";
            return reply;
        }
        const ssize_t got = ::recv(s.Fd(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > MaxAnswerLength)
            break;
    }
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break;
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("end ", 0) == 0) {
            reply.Status = std::atoi(line.c_str() + 4);
            reply.Outcome = TOutcome::Answered;
            return reply;
        }
        if (line.size() >= 2 && (line[0] == 'o' || line[0] == 'e') && line[1] == ' ')
            reply.Lines.emplace_back(line[0], line.substr(2));
    }
    reply.Error = "the running Velmora ended the connection without an answer";
    return reply;
}
