#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "transport/TransportTestFixture.h"

using orvo_test::waitFor;

namespace {

ConnData *record = nullptr;

// Blocks in a long poll on nothing, as a data read thread does while it has
// no socket: only a cancel ends it early.
void *blockedInPoll(void *) {
  pthread_setname_np(pthread_self(), "orvo-test-poll");
  enterConnectionThread();
  CancellationPoint cancellable;
  poll(nullptr, 0, 60000);
  return nullptr;
}

// Waits in the line reader, as the command thread does.
std::atomic<int> readLineResult(99);
void *readingLines(void *) {
  enterConnectionThread();
  LineBuffer buffer;
  buffer.length = 0;
  readLineResult = orvoPhpAgentReadLine(record, &buffer, "cmd ");
  return nullptr;
}

class ThreadControlTest : public TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    record = &conn;
  }
  void TearDown() override {
    record = nullptr;
    TransportTest::TearDown();
  }
  ConnData conn;
};

TEST_F(ThreadControlTest, StoppingARecordWithoutThreadsDoesNothing) {
  ASSERT_EQ(orvoPhpAgentInitConnData(&conn, 1, "data connection", nullptr), 0);
  orvoPhpAgentStopThread(&conn);
  EXPECT_EQ(orvoPhpAgentGetExitFlag(&conn), 0);
  EXPECT_GE(conn.wakePipe[1], 0) << "the wake pipe stays open";
  EXPECT_TRUE(log->entries().empty());
}

TEST_F(ThreadControlTest, StartingWithoutAWriteRoutineStartsOnlyTheReader) {
  ASSERT_EQ(orvoPhpAgentInitConnData(&conn, 1, "command connection", nullptr), 0);
  orvoPhpAgentStartThread(&conn, readingLines, nullptr);
  EXPECT_EQ(conn.writeThread, 0u);
  EXPECT_NE(conn.readThread, 0u);
  orvoPhpAgentStopThread(&conn);
  orvoPhpAgentJoinThread(&conn);
  EXPECT_EQ(conn.readThread, 0u);
  EXPECT_EQ(log->count("main", "creating command connection read thread"), 1);
  EXPECT_EQ(log->countContaining("write thread"), 0);
}

TEST_F(ThreadControlTest, WakePipeEndsAReaderInPollAtOnce) {
  ASSERT_EQ(orvoPhpAgentInitConnData(&conn, 1, "command connection", nullptr), 0);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  orvoPhpAgentSetConnFd(&conn, pair[0]);
  orvoPhpAgentStartThread(&conn, readingLines, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  auto start = std::chrono::steady_clock::now();
  orvoPhpAgentStopThread(&conn);
  orvoPhpAgentJoinThread(&conn);
  // Well inside the reader's 10-second poll and the 1-second join.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(readLineResult.load(), -1);
  EXPECT_EQ(log->count("main", "telling command connection  threads to exit"), 1);
  EXPECT_EQ(log->count("main", "command connection read thread exited"), 1);
  EXPECT_EQ(log->countContaining("cancel"), 0);
  close(pair[0]);
  close(pair[1]);
}

TEST_F(ThreadControlTest, ThreadThatOutlivesTheWaitIsCancelled) {
  ASSERT_EQ(orvoPhpAgentInitConnData(&conn, 0, "data connection", nullptr), 0);
  orvo_php_agent_globals.threadExitWaitTime = 0.2;
  orvoPhpAgentStartThread(&conn, blockedInPoll, nullptr);
  ASSERT_TRUE(waitFor([] { return orvo_test::threadsNamed("orvo-test-poll") == 1; }));

  auto start = std::chrono::steady_clock::now();
  orvoPhpAgentStopThread(&conn);
  orvoPhpAgentJoinThread(&conn);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(190));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2000));

  EXPECT_EQ(log->count("main", "waiting for data connection read thread to exit"), 1);
  // The second join, past the deadline, collects the thread only if the
  // cancel has already ended it; otherwise it times out again.
  const int timedOut = log->count("main", "pthread_timedjoin_np(data connection): "
                                          "Connection timed out");
  EXPECT_TRUE(timedOut == 1 || timedOut == 2) << timedOut;
  EXPECT_EQ(log->count("main", "data connection read thread exited"), 0);
  EXPECT_EQ(log->count("main", "trying to cancel data connection read thread"), 1);
  EXPECT_EQ(log->count("main", "waiting for data connection read thread to "
                               "exit after cancel"),
            1);
  // Cancelled at its blocking call, the thread is gone.
  EXPECT_TRUE(waitFor([] { return orvo_test::threadsNamed("orvo-test-poll") == 0; }));
}

}  // namespace
