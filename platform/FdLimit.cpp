#include "platform/FdLimit.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool gKept = false;
rlimit gUser{};

// The limit the user had: this process's, or the one a Velmora that started
// this one passed on (never above the hard limit).
void KeepUserLimit(const rlimit &now) {
    gUser = now;
    gKept = true;
    const char *passed = std::getenv(DescriptorLimitVariable);
    if (!passed)
        return;
    if (*passed < '0' || *passed > '9') {
        ::unsetenv(DescriptorLimitVariable);
        return;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(passed, &end, 10);
    if (errno == 0 && end != passed && *end == '\0' && value > 0 &&
        (now.rlim_max == RLIM_INFINITY || value <= now.rlim_max))
        gUser.rlim_cur = static_cast<rlim_t>(value);
    ::unsetenv(DescriptorLimitVariable);
}

} // namespace

size_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    KeepUserLimit(limit);
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // An unlimited hard limit is refused above nr_open; then a million,
        // the kernel's default nr_open, is tried.
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0 && limit.rlim_max == RLIM_INFINITY) {
            raised.rlim_cur = 1024 * 1024;
            ::setrlimit(RLIMIT_NOFILE, &raised);
        }
    }
    return DescriptorLimit();
}

size_t DescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    return limit.rlim_cur == RLIM_INFINITY ? size_t(1) << 20 : size_t(limit.rlim_cur);
}

rlim_t UserDescriptorLimit() {
    if (gKept)
        return gUser.rlim_cur;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

void RestoreDescriptorLimit() {
    if (!gKept)
        return;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    limit.rlim_cur = gUser.rlim_cur;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_cur > limit.rlim_max)
        limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}
