#pragma once
// The control socket of a running instance, through which `velmora chain
// ...` and `velmora list chains` steer it and a second start finds it: a
// Unix stream socket at SocketPath(), in a folder only this user may enter
// (0700), the socket itself 0600, and every client's uid checked once more
// (SO_PEERCRED): a client of another user is closed without a word.
//
// The client sends nothing unless the socket's folder is this user's with
// mode 0700 and the serving process runs as this user (see UserSocket.h).
//
// A request is one line of words separated by tabs (a tab, line break or
// backslash inside a word is escaped with a backslash). The answer is lines,
// each "o TEXT" (for standard output) or "e TEXT" (for standard error),
// ended by "end STATUS" (the exit status for the command line).

#include "platform/Socket.h"
#include "platform/UserSocket.h"

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

// The answer to one request. Any thread may write it, once; the client sees
// the connection end without "end" when it is dropped unfinished.
class TControlAnswer {
public:
    // Told when the client has gone before the answer could be sent.
    using TOnLost = std::function<void(const std::string &message)>;
    explicit TControlAnswer(TSocket socket, TOnLost onLost = {});
    ~TControlAnswer();
    TControlAnswer(const TControlAnswer &) = delete;
    TControlAnswer &operator=(const TControlAnswer &) = delete;

    void Out(const std::string &line);
    void Err(const std::string &line);
    // Sends the lines and "end STATUS", then closes; later calls do nothing.
    void End(int status);

private:
    void Add(char channel, const std::string &line);

    std::mutex FLock;
    TSocket FSocket;
    TOnLost FOnLost;
    std::string FText;
    bool FEnded = false;
};

class TControlServer {
public:
    // Runs on the connection's own thread with the request's words.
    using TOnRequest = std::function<void(const std::vector<std::string> &words,
                                          const std::shared_ptr<TControlAnswer> &answer)>;

    // $XDG_RUNTIME_DIR/velmora/control.sock (without XDG_RUNTIME_DIR:
    // /tmp/velmora-UID/control.sock).
    static std::string SocketPath();

    explicit TControlServer(TOnRequest onRequest);
    ~TControlServer();
    TControlServer(const TControlServer &) = delete;
    TControlServer &operator=(const TControlServer &) = delete;

    // Listens at SocketPath(). A socket file that nobody serves any more (a
    // run that ended without removing it) is replaced. False, and nothing
    // listens, when the folder cannot be made safely or another process
    // serves the path.
    bool Start();
    // Stops listening and removes the socket file (when it is still ours).
    void Stop();
    bool Listening() const { return FServer.Listening(); }
    // Why the last Start failed.
    const std::string &Problem() const { return FServer.Problem(); }
    // Told (on any thread) when a client went away before its answer was
    // sent; set before Start.
    TControlAnswer::TOnLost OnLost;

    // ms a client may take to send its request line, and its longest length
    // (an imported list travels whole in it).
    static constexpr int RequestTimeoutMs = 5000;
    static constexpr size_t MaxRequestLength = 16 * 1024 * 1024;

private:
    void Serve(TSocket &client);

    TOnRequest FOnRequest;
    TUserSocketServer FServer; // last: its threads end before the rest goes
};

class TControlClient {
public:
    enum class TOutcome {
        Answered,   // a whole answer came back
        NotRunning, // no socket, or nobody listens on it
        NoAnswer,   // the socket could not be used, or the answer broke off or took too long
        Untrusted,  // the folder or the serving process is not this user's: nothing was sent
    };
    struct TReply {
        TOutcome Outcome = TOutcome::NotRunning;
        int Status = 1;                                  // from "end STATUS"
        std::vector<std::pair<char, std::string>> Lines; // ('o' or 'e', text)
        std::string Error;                               // why there is no answer
    };

    // Sends one request to the instance at TControlServer::SocketPath() (or
    // `path`) and waits at most timeoutMs for the whole answer.
    static TReply Ask(const std::vector<std::string> &words, int timeoutMs,
                      const std::string &path = {});

    // The request line of `words`, with its line end, and back.
    static std::string EncodeWords(const std::vector<std::string> &words);
    static std::vector<std::string> DecodeWords(const std::string &line);
};
