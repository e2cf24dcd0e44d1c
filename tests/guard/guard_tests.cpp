// The stack guard linked into every product binary: an overrun ends the
// process at once with STATUS_STACK_BUFFER_OVERRUN, and the guard is seeded
// at every start.
#include <gtest/gtest.h>

#include "orvl_test.h"

using namespace orvltest;

namespace {
std::wstring Probe() { return BinDir() + L"\\stack_guard_probe.exe"; }
}  // namespace

TEST(StackGuardTest, OverrunEndsTheProcessWithBufferOverrunStatus) {
  RunResult r = RunProgram(Probe(), L"smash");
  ASSERT_TRUE(r.started);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0xC0000409u);
  EXPECT_TRUE(r.boxes.empty());
}

TEST(StackGuardTest, RunWithinBoundsEndsNormally) {
  RunResult r = RunProgram(Probe(), L"");
  EXPECT_EQ(r.exitCode, 0u);
}

TEST(StackGuardTest, GuardIsSeededBeforeTheProgramRuns) {
  RunResult r = RunProgram(Probe(), L"seeded");
  EXPECT_EQ(r.exitCode, 0u);
}
