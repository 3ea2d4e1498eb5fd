// The control socket on its own: what a request carries and its answer
// brings back, what a stop removes, an unsafe folder refused, and answers
// that never come.
#include "platform/ControlSocket.h"

#include <QTemporaryDir>
#include <atomic>
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

} // namespace
