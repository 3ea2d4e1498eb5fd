#include "platform/StartReport.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

TStartReport TStartReport::FromEnvironment() {
    TStartReport report;
    const char *value = std::getenv(StartReportVariable);
    if (value) {
        char *end = nullptr;
        const long fd = std::strtol(value, &end, 10);
        if (end != value && *end == '\0' && fd > 2 && fd < 1 << 20 &&
            ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC) == 0)
            report.FFd = static_cast<int>(fd);
        ::unsetenv(StartReportVariable);
    }
    return report;
}

TStartReport::TStartReport(TStartReport &&other) noexcept : FFd(std::exchange(other.FFd, -1)) {}

TStartReport &TStartReport::operator=(TStartReport &&other) noexcept {
    std::swap(FFd, other.FFd);
    return *this;
}

TStartReport::~TStartReport() {
    if (FFd >= 0)
        ::close(FFd);
}

void TStartReport::Started() {
    Send("started\n");
}

void TStartReport::Failed(const std::string &reason) {
    std::string line = "failed " + reason;
    for (char &c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    Send(line + '\n');
}

void TStartReport::Send(const std::string &line) {
    if (FFd < 0)
        return;
    std::string_view rest = line;
    while (!rest.empty()) {
        // A starter that has gone must not end this process by SIGPIPE.
        ssize_t n = ::send(FFd, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = ::write(FFd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        rest.remove_prefix(static_cast<size_t>(n));
    }
    ::close(FFd);
    FFd = -1;
}

std::string TStartReport::Reason(const std::string &text) {
    const std::string line = text.substr(0, text.find('\n'));
    if (line == "started")
        return {};
    if (line.rfind("failed ", 0) == 0 && line.size() > 7)
        return line.substr(7);
    return "velmora run ended before the program started";
}
