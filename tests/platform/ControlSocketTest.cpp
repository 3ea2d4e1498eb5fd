// The control socket on its own: what a request carries and its answer
// brings back, what a stop removes, an unsafe folder refused, and answers
// that never come.
#include "platform/ControlSocket.h"

#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using TWords = std::vector<std::string>;

// XDG_RUNTIME_DIR moved into a temporary folder for the test's lifetime.
class ControlSocketTest : public ::testing::Test {
protected:
    QTemporaryDir Runtime;
    QByteArray FOld = qgetenv("XDG_RUNTIME_DIR");
    bool FHad = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");

    void SetUp() override { qputenv("XDG_RUNTIME_DIR", Runtime.path().toUtf8()); }
    void TearDown() override {
        if (FHad)
            qputenv("XDG_RUNTIME_DIR", FOld);
        else
            qunsetenv("XDG_RUNTIME_DIR");
    }

    static std::string Folder() {
        const std::string path = TControlServer::SocketPath();
        return path.substr(0, path.rfind('/'));
    }
    static bool Exists() {
        struct stat st {};
        return ::lstat(TControlServer::SocketPath().c_str(), &st) == 0;
    }
    // A socket file at the path that nobody listens on.
    static void LeaveStaleSocket() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = TControlServer::SocketPath();
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::unlink(path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
    }
};

TEST_F(ControlSocketTest, WordsArriveWholeAndTheAnswerComesBackInOrder) {
    TWords received;
    std::vector<std::thread> late;
    TControlServer server([&](const TWords &words, const std::shared_ptr<TControlAnswer> &answer) {
        received = words;
        if (words.front() == "later") {
            // Answered from another thread after the request's own has ended.
            late.emplace_back([answer] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                answer->Out("late");
                answer->End(0);
            });
            return;
        }
        answer->Out("first line");
        answer->Err("for standard error\nwith a break");
        answer->Out("last line");
        answer->End(3);
    });
    ASSERT_TRUE(server.Start());

    const TWords words{"start", "My Chain", "tab\there", "line\nbreak", "back\\slash\\t", ""};
    const TControlClient::TReply reply = TControlClient::Ask(words, 5000);
    ASSERT_EQ(reply.Outcome, TControlClient::TOutcome::Answered) << reply.Error;
    EXPECT_EQ(received, words);
    EXPECT_EQ(reply.Status, 3);
    const std::vector<std::pair<char, std::string>> lines{
        {'o', "first line"}, {'e', "for standard error with a break"}, {'o', "last line"}};
    EXPECT_EQ(reply.Lines, lines);

    const TControlClient::TReply later = TControlClient::Ask({"later"}, 5000);
    EXPECT_EQ(later.Outcome, TControlClient::TOutcome::Answered) << later.Error;
    EXPECT_EQ(later.Lines, (std::vector<std::pair<char, std::string>>{{'o', "late"}}));
    for (std::thread &t : late)
        t.join();
}

// A second start, a left-over socket replaced and the modes are seen from
// the command line (tests/e2e); here, what a stop may remove.
TEST_F(ControlSocketTest, StoppingRemovesItsOwnSocketFileOnly) {
    const auto answering = [](const TWords &, const std::shared_ptr<TControlAnswer> &answer) {
        answer->End(0);
    };
    TControlServer first(answering), second(answering);
    ASSERT_TRUE(first.Start());
    first.Stop();
    EXPECT_FALSE(Exists());
    EXPECT_EQ(TControlClient::Ask({"hello"}, 1000).Outcome, TControlClient::TOutcome::NotRunning);

    // Another file took the path meanwhile: it stays.
    ASSERT_TRUE(second.Start());
    LeaveStaleSocket();
    second.Stop();
    EXPECT_TRUE(Exists());
}

TEST_F(ControlSocketTest, AFolderOthersMayEnterIsRefused) {
    ASSERT_EQ(::mkdir(Folder().c_str(), 0755), 0);
    ::chmod(Folder().c_str(), 0755);
    TControlServer server(
        [](const TWords &, const std::shared_ptr<TControlAnswer> &answer) { answer->End(0); });
    EXPECT_FALSE(server.Start());
    EXPECT_NE(server.Problem().find("The socket folder " + Folder() + " is not safe"),
              std::string::npos)
        << server.Problem();
    EXPECT_NE(server.Problem().find("with mode 0755"), std::string::npos) << server.Problem();
    EXPECT_FALSE(Exists());
    // The control: the same folder made private again.
    ::chmod(Folder().c_str(), 0700);
    EXPECT_TRUE(server.Start());
}

TEST_F(ControlSocketTest, AnAnswerThatNeverEndsIsNoAnswer) {
    std::shared_ptr<TControlAnswer> kept;
    TControlServer server([&](const TWords &words, const std::shared_ptr<TControlAnswer> &answer) {
        if (words.front() == "keep")
            kept = answer; // never ended
        else
            answer->Out("dropped unfinished");
    });
    ASSERT_TRUE(server.Start());
    const TControlClient::TReply dropped = TControlClient::Ask({"drop"}, 5000);
    EXPECT_EQ(dropped.Outcome, TControlClient::TOutcome::NoAnswer);
    EXPECT_EQ(dropped.Error, "the running Velmora ended the connection without an answer");
    const TControlClient::TReply silent = TControlClient::Ask({"keep"}, 300);
    EXPECT_EQ(silent.Outcome, TControlClient::TOutcome::NoAnswer);
    EXPECT_EQ(silent.Error, "the running Velmora did not answer in time");
}

// The client's side of an unsafe folder: nothing is sent, and the error
// names the folder with what was found. The control: the same server in
// the private folder gets the request.
TEST_F(ControlSocketTest, TheClientSendsNothingIntoAFolderOthersMayEnterOrALink) {
    std::atomic<int> requests{0};
    TControlServer server([&](const TWords &, const std::shared_ptr<TControlAnswer> &answer) {
        ++requests;
        answer->End(0);
    });
    ASSERT_TRUE(server.Start());
    const TControlClient::TReply reached = TControlClient::Ask({"hello"}, 5000);
    EXPECT_EQ(reached.Outcome, TControlClient::TOutcome::Answered) << reached.Error;
    EXPECT_EQ(requests.load(), 1);

    const std::string real = Folder() + ".real";
    struct TCase {
        const char *What;
        std::function<void()> Make, Undo;
        const char *Found;
    };
    const std::vector<TCase> cases{{"open to others", [&] { ::chmod(Folder().c_str(), 0755); },
                                    [&] { ::chmod(Folder().c_str(), 0700); }, "with mode 0755"},
                                   {"a link",
                                    [&] {
                                        ::rename(Folder().c_str(), real.c_str());
                                        ::symlink(real.c_str(), Folder().c_str());
                                    },
                                    [&] {
                                        ::unlink(Folder().c_str());
                                        ::rename(real.c_str(), Folder().c_str());
                                    },
                                    "it is a symbolic link"}};
    for (const TCase &c : cases) {
        c.Make();
        const TControlClient::TReply refused = TControlClient::Ask({"hello"}, 5000);
        EXPECT_EQ(refused.Outcome, TControlClient::TOutcome::Untrusted) << c.What;
        EXPECT_NE(refused.Error.find("The socket folder " + Folder() + " is not safe"),
                  std::string::npos)
            << refused.Error;
        EXPECT_NE(refused.Error.find(c.Found), std::string::npos) << refused.Error;
        c.Undo();
    }
    EXPECT_EQ(requests.load(), 1) << "a request went into the unsafe folder";
}

// An answer whose client has gone is reported, not a death by SIGPIPE.
TEST_F(ControlSocketTest, AClientGoneBeforeItsAnswerIsReported) {
    std::shared_ptr<TControlAnswer> kept;
    std::atomic<bool> asked{false};
    TControlServer server([&](const TWords &, const std::shared_ptr<TControlAnswer> &answer) {
        kept = answer;
        asked = true;
    });
    std::vector<std::string> lost;
    server.OnLost = [&](const std::string &message) { lost.push_back(message); };
    ASSERT_TRUE(server.Start());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, TControlServer::SocketPath().c_str(),
                 sizeof address.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::send(fd, "hello\n", 6, 0), 6);
    for (int i = 0; i < 500 && !asked; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::close(fd);
    ASSERT_TRUE(asked);
    kept->Out("an answer nobody reads");
    kept->End(0);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_NE(lost.front().find("A control client went away"), std::string::npos) << lost.front();
}

// The sockets of this process that a started program would inherit.
std::vector<int> InheritedSockets() {
    std::vector<int> found;
    for (int fd = 3; fd < 1024; ++fd) {
        char link[64] = {};
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        if (::readlink(path.c_str(), link, sizeof link - 1) > 0 &&
            std::string(link).rfind("socket:", 0) == 0 && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC))
            found.push_back(fd);
    }
    return found;
}

// While an answer is pending, its connection is held closed-on-exec, so a
// program started meanwhile does not inherit it. The control: a plain dup()
// of it is seen.
TEST_F(ControlSocketTest, APendingAnswerIsNotInherited) {
    std::shared_ptr<TControlAnswer> kept;
    std::atomic<bool> asked{false};
    std::vector<int> during;
    TControlServer server([&](const TWords &, const std::shared_ptr<TControlAnswer> &answer) {
        kept = answer;
        during = InheritedSockets();
        asked = true;
    });
    ASSERT_TRUE(server.Start());
    std::thread client([] { TControlClient::Ask({"hold"}, 2000); });
    for (int i = 0; i < 500 && !asked; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(asked);
    EXPECT_TRUE(during.empty()) << "descriptor " << during.front() << " would be inherited";
    const std::vector<int> before = InheritedSockets();
    const int plain =
        ::dup(during.empty() ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : during.front());
    EXPECT_EQ(InheritedSockets().size(), before.size() + 1) << "the probe misses a plain dup";
    ::close(plain);
    kept->End(0);
    client.join();
}

} // namespace
