#include "platform/ControlSocket.h"

#include "platform/Clock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

struct TControlServer::TPeer {
    TSocket Socket;
    std::thread Thread;
    bool Done = false; // guarded by the server's lock
};

namespace {

constexpr size_t MaxRequestLength = 64 * 1024;
constexpr size_t MaxAnswerLength = 4 * 1024 * 1024;

// The folder exists (made now if not), is a folder of this user's, not a
// link, and nobody else may enter it.
bool PrivateFolder(const std::string &folder) {
    ::mkdir(folder.c_str(), 0700);
    struct stat st;
    return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

bool Address(const std::string &path, sockaddr_un &address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return true;
}

// A connection to the socket at `path`; an invalid socket and the failing
// call's errno otherwise.
TSocket ConnectTo(const std::string &path, int &error) {
    sockaddr_un address;
    if (!Address(path, address)) {
        error = ENAMETOOLONG;
        return {};
    }
    TSocket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.Valid()) {
        error = errno;
        return {};
    }
    if (::connect(s.Fd(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error = errno;
        return {};
    }
    error = 0;
    return s;
}

bool SameUser(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           peer.uid == ::geteuid();
}

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

bool SendAll(int fd, const std::string &text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
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

TControlAnswer::TControlAnswer(TSocket socket) : FSocket(std::move(socket)) {
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
    SendAll(FSocket.Fd(), FText);
    FSocket.Close();
}

// ---- the served side ------------------------------------------------------------

std::string TControlServer::SocketPath() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string base = runtime && *runtime ? std::string(runtime) + "/velmora"
                                                 : "/tmp/velmora-" + std::to_string(::geteuid());
    return base + "/control.sock";
}

TControlServer::TControlServer(TOnRequest onRequest) : FOnRequest(std::move(onRequest)) {}

TControlServer::~TControlServer() {
    Stop();
}

bool TControlServer::Start() {
    if (FAcceptor.joinable())
        return true;
    const std::string path = SocketPath();
    sockaddr_un address;
    if (!Address(path, address) || !PrivateFolder(path.substr(0, path.rfind('/'))))
        return false;
    int error = 0;
    if (ConnectTo(path, error).Valid())
        return false; // another instance serves it
    // Left behind by a run that ended without removing it: nobody listens.
    struct stat st;
    if (error == ECONNREFUSED && ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    TSocket listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.Valid() ||
        ::bind(listener.Fd(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(listener.Fd(), 16) != 0 ||
        ::lstat(path.c_str(), &st) != 0)
        return false;
    FInode = st.st_ino;
    FChanged = st.st_ctim;
    FPath = path;
    FListener = std::move(listener);
    FStopping = false;
    FAcceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

void TControlServer::Stop() {
    if (!FAcceptor.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(FLock);
        FStopping = true;
        FListener.ShutdownBoth();
        for (auto &peer : FPeers)
            peer->Socket.ShutdownBoth();
    }
    FAcceptor.join();
    for (auto &peer : FPeers)
        peer->Thread.join();
    FPeers.clear();
    FListener.Close();
    // Only our own file: another instance may have replaced it meanwhile.
    struct stat st;
    if (::lstat(FPath.c_str(), &st) == 0 && st.st_ino == FInode &&
        st.st_ctim.tv_sec == FChanged.tv_sec && st.st_ctim.tv_nsec == FChanged.tv_nsec)
        ::unlink(FPath.c_str());
}

void TControlServer::AcceptLoop() {
    for (;;) {
        const int fd = ::accept4(FListener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        TSocket client(fd);
        if (!SameUser(fd))
            continue; // closed unanswered
        std::lock_guard<std::mutex> guard(FLock);
        if (FStopping)
            return;
        // Threads of requests already answered are joined here.
        for (auto it = FPeers.begin(); it != FPeers.end();) {
            if ((*it)->Done) {
                (*it)->Thread.join();
                it = FPeers.erase(it);
            } else {
                ++it;
            }
        }
        FPeers.push_back(std::make_unique<TPeer>());
        TPeer *peer = FPeers.back().get();
        peer->Socket = std::move(client);
        peer->Thread = std::thread([this, peer] { Serve(peer); });
    }
}

void TControlServer::Serve(TPeer *peer) {
    std::string line;
    const int64_t deadline = TClock::TickMs() + RequestTimeoutMs;
    char buffer[4096];
    bool complete = false;
    while (!complete && line.size() < MaxRequestLength &&
           WaitReadable(peer->Socket.Fd(), deadline)) {
        const ssize_t got = ::recv(peer->Socket.Fd(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        line.append(buffer, static_cast<size_t>(got));
        complete = line.find('\n') != std::string::npos;
    }
    std::shared_ptr<TControlAnswer> answer;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (complete && !FStopping) {
            // The answer keeps the connection; this thread is done with it.
            answer = std::make_shared<TControlAnswer>(TSocket(::dup(peer->Socket.Fd())));
        }
    }
    if (answer) {
        line.resize(line.find('\n'));
        try {
            FOnRequest(TControlClient::DecodeWords(line), answer);
        } catch (const std::exception &e) {
            answer->Err(e.what());
            answer->End(1);
        }
    }
    std::lock_guard<std::mutex> guard(FLock);
    peer->Socket.Close();
    peer->Done = true;
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
    TSocket s = ConnectTo(where, error);
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
