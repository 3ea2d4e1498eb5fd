#include "platform/FdLimit.h"

#include <sys/resource.h>

size_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
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
