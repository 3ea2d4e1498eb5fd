// The descriptor limit is raised to the hard limit, and never lowered.

#include "platform/FdLimit.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/resource.h>

TEST(FdLimit, RaisesTheSoftLimitToTheHardOneAndKeepsItThere) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    // Start from a low soft limit, as a login shell gives it.
    rlimit low = before;
    low.rlim_cur = std::min<rlim_t>(before.rlim_max, 256);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_EQ(DescriptorLimit(), size_t(low.rlim_cur));

    const size_t raised = RaiseDescriptorLimit();
    rlimit after{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(raised, size_t(after.rlim_cur));
    EXPECT_EQ(after.rlim_max, before.rlim_max); // the hard limit is untouched
    if (before.rlim_max != RLIM_INFINITY)
        EXPECT_EQ(after.rlim_cur, before.rlim_max);
    else
        EXPECT_GT(after.rlim_cur, low.rlim_cur);
    // A second call changes nothing.
    EXPECT_EQ(RaiseDescriptorLimit(), raised);
    ::setrlimit(RLIMIT_NOFILE, &before);
}
