#pragma once
// The process's limit of open descriptors (RLIMIT_NOFILE). A proxy check
// batch holds one socket per check in flight, and thousands of them at once
// need more than the usual soft limit of 1,024.

#include <cstddef>

// Raises the soft limit to the hard limit (as far as the kernel's nr_open
// allows) and returns the soft limit in force afterwards. Where the limit
// cannot be raised it is left as it was and returned.
size_t RaiseDescriptorLimit();
// The soft limit in force.
size_t DescriptorLimit();
