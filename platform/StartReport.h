#pragma once
// How a started `velmora run` tells its starter (the window) whether the
// program has started: the starter passes one end of a socket pair (or a pipe), named by
// StartReportVariable, and reads one line from its own end: "started", or "failed "
// and the reason. The other end closing without a line means the launch
// ended before it could say (its standard error has the reason).

#include <string>

inline constexpr const char *StartReportVariable = "VELMORA_START_FD";

class TStartReport {
public:
    // Takes the descriptor the variable names (close-on-exec from then on,
    // so the program does not inherit it) and removes the variable from
    // the environment. Without a variable, or with one that names no open
    // descriptor, the report goes nowhere.
    static TStartReport FromEnvironment();
    TStartReport() = default;
    TStartReport(TStartReport &&other) noexcept;
    TStartReport &operator=(TStartReport &&other) noexcept;
    ~TStartReport();

    // The first of these is written and the descriptor closed; later ones
    // are ignored.
    void Started();
    void Failed(const std::string &reason);

    // The starter's reading of what came through: empty for
    // "started", the reason otherwise.
    static std::string Reason(const std::string &text);

private:
    void Send(const std::string &line);
    int FFd = -1;
};
