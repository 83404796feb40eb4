#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/TestSupport.h"
#include "support/Timestamp.h"

namespace {

uint64_t wallClockMillis() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}


TEST(TimestampTest, NullClockGivesZero) {
  EXPECT_EQ(currentTimeMillis(nullptr), 0u);
  deleteTimestampThread(nullptr);
}

TEST(TimestampTest, NonZeroRightAfterCreationAndFollowsTheWallClock) {
  Timestamp *clock = createTimestampThread();
  ASSERT_NE(clock, nullptr);
  EXPECT_NE(currentTimeMillis(clock), 0u);
  // The clock refreshes every millisecond; allow for scheduling delay on a
  // busy machine, but it must track the wall clock, not drift away.
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint64_t before = wallClockMillis();
    uint64_t value = currentTimeMillis(clock);
    uint64_t after = wallClockMillis();
    EXPECT_LE(value, after);
    EXPECT_GE(value + 50, before) << "clock lags the wall clock";
  }
  uint64_t a = currentTimeMillis(clock);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  uint64_t b = currentTimeMillis(clock);
  EXPECT_GE(b - a, 25u);
  EXPECT_LE(b - a, 1000u);
  deleteTimestampThread(clock);
}

TEST(TimestampTest, DeletedClockLeavesNoThread) {
  Timestamp *clock = createTimestampThread();
  ASSERT_TRUE(orvo_test::waitFor(
      [&] { return orvo_test::threadsNamed("orvo-clock") == 1; }));
  deleteTimestampThread(clock);
  EXPECT_TRUE(orvo_test::waitFor(
      [&] { return orvo_test::threadsNamed("orvo-clock") == 0; }));
}

TEST(TimestampTest, StoppedClockStillAnswersWithFreshValues) {
  Timestamp clock;
  ASSERT_TRUE(orvo_test::waitFor([&] { return clock.isRunning(); }));
  clock.stop();
  EXPECT_FALSE(clock.isRunning());
  uint64_t first = clock.currentTimeMillis();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  uint64_t second = clock.currentTimeMillis();
  EXPECT_GE(second - first, 25u) << "a stopped clock must refresh on read";
  EXPECT_GE(second + 50, wallClockMillis());
}

}  // namespace
