// The descriptor limit is raised to the hard limit, and never lowered; the
// user's limit from before (or the one a parent Velmora passed on) is kept
// for the programs started, and put back on request.

#include "platform/FdLimit.h"

#include <algorithm>
#include <cstdlib>
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

TEST(FdLimit, TheUsersLimitIsKeptAndPutBackOrTakenFromTheParentVelmora) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    const rlim_t low = std::min<rlim_t>(before.rlim_max, 300);
    struct TCase {
        const char *Passed; // the variable's value; null: not set
        rlim_t Expected;
    };
    for (const TCase &c : {TCase{nullptr, low}, TCase{"200", 200}, TCase{"", low},
                           TCase{"12x", low}, TCase{"0", low}, TCase{"-5", low}}) {
        SCOPED_TRACE(c.Passed ? c.Passed : "(not set)");
        rlimit start = before;
        start.rlim_cur = low;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &start), 0);
        if (c.Passed)
            ::setenv(DescriptorLimitVariable, c.Passed, 1);
        else
            ::unsetenv(DescriptorLimitVariable);
        RaiseDescriptorLimit();
        EXPECT_EQ(std::getenv(DescriptorLimitVariable), nullptr); // not passed on further
        EXPECT_EQ(UserDescriptorLimit(), c.Expected);
        RestoreDescriptorLimit();
        rlimit after{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
        EXPECT_EQ(after.rlim_cur, c.Expected);
        EXPECT_EQ(after.rlim_max, before.rlim_max);
    }
    ::setrlimit(RLIMIT_NOFILE, &before);
}
