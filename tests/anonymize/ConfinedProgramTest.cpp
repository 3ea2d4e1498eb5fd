// The program's own network: what its failures say (the step and the
// system's reason) and whether the program started.

#include "anonymize/ConfinedProgram.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TConfinedProgram Confined(const std::string &program) {
    return TConfinedProgram({program}, TConfinedProgram::TSettings{false, std::nullopt});
}

bool HasText(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(ConfinedProgram, ANetworkThatCannotBeMadeNamesTheStepAndTheSystemsReason) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime needs descriptors of its own to check an
    // exception's type, and reports a false fault when none is left.
    GTEST_SKIP() << "a descriptor shortage confuses the sanitizers' runtime";
#endif
    // No descriptor left for the holder once the control pair is made.
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    const int next = ::dup(0);
    ASSERT_GE(next, 0);
    ::close(next);
    rlimit tight = before;
    tight.rlim_cur = static_cast<rlim_t>(next + 2);
    std::string message;
    {
        TConfinedProgram program = Confined("/bin/true");
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        try {
            program.Prepare();
        } catch (const std::exception &e) {
            message = e.what();
        }
        ::setrlimit(RLIMIT_NOFILE, &before);
    }
    EXPECT_EQ(message.rfind(std::string(TConfinedProgram::NetworkFailed) + " (", 0), 0u) << message;
    EXPECT_TRUE(HasText(message, "): Cannot ")) << message;
    // The failed call's own reason ends it (the C library's lookups may
    // give another errno than EMFILE for the same shortage).
    bool reasoned = false;
    for (int error = 1; error < 134 && !reasoned; ++error) {
        const std::string reason = std::string(": ") + std::strerror(error);
        reasoned = message.size() > reason.size() &&
                   message.compare(message.size() - reason.size(), reason.size(), reason) == 0;
    }
    EXPECT_TRUE(reasoned) << message;

    // Control: with the descriptors it needs, the same network is made.
    TConfinedProgram program = Confined("/bin/true");
    EXPECT_FALSE(program.Prepare().Tcp.empty());
}

TEST(ConfinedProgram, StartSaysWhetherTheProgramRuns) {
    TConfinedProgram missing = Confined("/nonexistent/velmora-test-program");
    missing.Prepare();
    try {
        missing.Start();
        ADD_FAILURE() << "a program that is not there started";
    } catch (const std::exception &e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot run \"/nonexistent/velmora-test-program\": No such file or directory");
    }
    TConfinedProgram present = Confined("/bin/true");
    present.Prepare();
    EXPECT_NO_THROW(present.Start());
    EXPECT_EQ(present.Wait(), 0);
}

TEST(ConfinedProgram, AHolderThatEndedEarlyIsDescribedByHowItEnded) {
    const struct {
        int Signal; // 0: ends with exit status 3
        std::string Text;
    } cases[] = {
        {0, "its holder process ended with status 3 before it was ready"},
        {SIGKILL, "its holder process was killed by signal 9 (Killed)"},
    };
    for (const auto &c : cases) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (c.Signal)
                ::pause();
            ::_exit(3);
        }
        if (c.Signal)
            ::kill(child, c.Signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(TConfinedProgram::HolderEnd(status), c.Text);
    }
}
