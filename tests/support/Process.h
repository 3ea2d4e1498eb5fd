#pragma once
// An outside program started by a test (a peer, curl, the real program):
// started with posix_spawn (the thread sanitizer refuses a fork of a threaded
// process), its output captured or logged, and stopped by its PID with a
// bounded wait. The destructor stops it when it still runs.

#include <string>
#include <sys/types.h>
#include <vector>

namespace VelmoraTest {

class TProcess {
public:
    enum class TOutput {
        Capture, // standard output and error into pipes of their own
        Merged,  // both into one pipe (OutFd)
        LogFile, // both appended to TOptions::LogFile
    };
    struct TOptions {
        TOutput Output = TOutput::Capture;
        std::string LogFile;
        // "NAME=value" entries that replace the inherited ones of that name.
        std::vector<std::string> Env;
        // In a process group of its own, stopped with its whole group.
        bool OwnGroup = true;
    };

    // args[0] is looked up in PATH unless it holds a '/'. Throws
    // std::runtime_error when the program cannot be started.
    TProcess(const std::vector<std::string> &args, const TOptions &options);
    ~TProcess();
    TProcess(const TProcess &) = delete;
    TProcess &operator=(const TProcess &) = delete;

    pid_t Pid() const { return FPid; }
    // The read ends of the output pipes (owned here); -1 when not piped.
    int OutFd() const { return FOut; }
    int ErrFd() const { return FErr; }
    // Closes a read end early (after its end of stream).
    void CloseOut();
    void CloseErr();

    // True while the program has not exited (reaps it when it has).
    bool Running();
    bool Exited() const { return FExited; }
    // Waits (bounded) for the exit: the exit status, or -1 on time-out or
    // when a signal ended it.
    int WaitExit(int timeoutMs);
    // SIGTERM, the bounded wait, then SIGKILL: the exit status, or -1 when
    // it had to be killed or died by a signal.
    int Stop(int timeoutMs = 5000);
    // SIGKILL at once, then a bounded wait for the exit.
    void Kill();

private:
    void Signal(int sig);
    bool Reap();

    pid_t FPid = -1;
    bool FOwnGroup = true;
    bool FExited = false;
    int FExitStatus = -1;
    int FOut = -1;
    int FErr = -1;
};

struct TRunResult {
    int ExitCode = -1;
    bool Finished = false;
    std::string Out;
    std::string Err;
};

// Runs a program to its end with its output captured; one still running
// after timeoutMs is killed by its PID (Finished false).
TRunResult RunProgram(const std::vector<std::string> &args, int timeoutMs = 30000);

} // namespace VelmoraTest
