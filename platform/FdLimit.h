#pragma once
// The process's limit of open descriptors (RLIMIT_NOFILE). A proxy check
// batch holds one socket per check in flight, and thousands of them at once
// need more than the usual soft limit of 1,024. The programs Velmora starts
// get the limit the user had, not the raised one.

#include <cstddef>
#include <sys/resource.h>

// Raises the soft limit to the hard limit (as far as the kernel's nr_open
// allows) and returns the soft limit in force afterwards. Where the limit
// cannot be raised it is left as it was and returned. The soft limit from
// before is kept for the programs started later; when a Velmora that
// raised its own limit started this one, it names its user's limit in
// DescriptorLimitVariable, which is taken instead (and removed from the
// environment).
size_t RaiseDescriptorLimit();
// The soft limit in force.
size_t DescriptorLimit();
// The soft limit the user had before RaiseDescriptorLimit (the one in
// force when it was never called).
rlim_t UserDescriptorLimit();
// Puts the user's soft limit back; for a child between fork and exec
// (async-signal-safe).
void RestoreDescriptorLimit();

// The environment variable by which a Velmora passes its user's soft limit
// to a Velmora it starts.
inline constexpr const char *DescriptorLimitVariable = "VELMORA_USER_NOFILE";
