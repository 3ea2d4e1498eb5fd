#pragma once
// The real program started by a test: `velmora` with a private data folder
// (XDG_DATA_HOME), a runtime folder of that data folder's (XDG_RUNTIME_DIR:
// the control and hand-off sockets; every run on one data folder shares it)
// and its standard output read line by line as it comes.
// Stopped by its PID (SIGTERM, then SIGKILL after a bounded wait).

#include "tests/support/Process.h"

#include <QString>
#include <QStringList>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace VelmoraTest {

class TVelmoraProcess {
public:
    // args without the program; dataHome becomes XDG_DATA_HOME (and the
    // parent of XDG_CONFIG_HOME's "config" folder).
    TVelmoraProcess(const std::vector<std::string> &args, const QString &dataHome);
    // The program behind a wrapper (nsenter, setpriv, env -i) that sets the
    // environment itself: `Args` is the whole command line.
    struct TCommandLine {
        std::vector<std::string> Args;
    };
    explicit TVelmoraProcess(const TCommandLine &command);
    ~TVelmoraProcess();
    TVelmoraProcess(const TVelmoraProcess &) = delete;
    TVelmoraProcess &operator=(const TVelmoraProcess &) = delete;

    pid_t Pid() const { return FProcess->Pid(); }
    // Waits (bounded) for a line that contains `text`; true when it came.
    bool WaitForLine(const QString &text, int timeoutMs = 15000);
    QStringList Lines();
    // Sends SIGTERM and waits (bounded) for the exit; returns the exit
    // status, or -1 when it had to be killed or died by a signal.
    int Terminate(int timeoutMs = 15000);
    // Waits for the program to end on its own and its output to be read;
    // -1 on time-out.
    int WaitExit(int timeoutMs = 15000);

    static std::string Binary();
    // `velmora --headless` on dataHome, once it has said "Services started"
    // (waited for, bounded; Lines() tell what it said instead).
    static std::unique_ptr<TVelmoraProcess> StartHeadless(const QString &dataHome, bool &started);
    // DATAHOME/run, made (0700) when missing: the runtime folder of the runs
    // on that data folder.
    static QString RuntimeDir(const QString &dataHome);

private:
    void ReadLoop();

    std::unique_ptr<TProcess> FProcess;
    std::thread FReader;
    std::mutex FLock;
    std::condition_variable FChanged;
    QStringList FLines;
    bool FEnded = false;
};

} // namespace VelmoraTest
