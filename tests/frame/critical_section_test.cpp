#include <gtest/gtest.h>

#include <thread>

#include "frame/critical_section.h"
#include "support/diag_capture.h"

using namespace kdm;

namespace {

using test::DiagCapture;

TEST(CriticalSection, OwnerMayRecurse) {
    TCriticalSection cs;
    cs.Enter();
    cs.Enter();
    EXPECT_EQ(cs.RecursionCount(), 2);
    EXPECT_TRUE(cs.OwnedByCaller());
    cs.Leave();
    cs.Leave();
    EXPECT_EQ(cs.RecursionCount(), 0);
    EXPECT_EQ(cs.Owner(), -1);
}

TEST(CriticalSection, LeaveByOtherThreadKeepsItHeldAndWritesErrorLine) {
    DiagCapture capture;
    TCriticalSection cs;
    cs.Enter();
    std::thread([&] { cs.Leave(); }).join();
    EXPECT_EQ(cs.RecursionCount(), 1);
    EXPECT_TRUE(cs.OwnedByCaller());
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = cs.TryEnter(); }).join();
    EXPECT_FALSE(otherGotIt);
    cs.Leave();
    cs.Leave(); // one leave too many
    EXPECT_EQ(capture.Text(), "### ERROR: Tried to leave invalid critical section.\n"
                              "### ERROR: Tried to leave invalid critical section.\n");
}

TEST(CriticalSection, GuardLeavesOnceAfterEarlyRelease) {
    DiagCapture capture;
    TCriticalSection cs;
    {
        TEnterCriticalSection guard(cs);
        EXPECT_TRUE(cs.OwnedByCaller());
        guard.Leave();
        EXPECT_FALSE(cs.OwnedByCaller());
    }
    EXPECT_EQ(capture.Text(), "");
}

TEST(AutoCriticalSection, InUseFlagFollowsTheGuard) {
    CXCriticalSection cs;
    { CAutoCriticalSection never; }
    EXPECT_FALSE(cs.InUse());
    {
        CAutoCriticalSection guard(cs);
        EXPECT_TRUE(cs.InUse());
    }
    EXPECT_FALSE(cs.InUse());
}

} // namespace
