#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/CollectorProcess.h"
#include "common/TcpTestPeer.h"
#include "pipeline/DataQueueWrapper.h"
#include "support/LogFiles.h"
#include "support/Timestamp.h"
#include "transport/DataConnection.h"
#include "transport/TransportTestFixture.h"

using orvo_test::CollectorProcess;
using orvo_test::waitFor;

namespace {

// A process as its per-process initialisation leaves it: a queue, a clock
// and the data connection with its two threads.
class DataConnectionTest : public TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    orvo_php_agent_globals.commandConnStatus = 0;
  }

  void createQueue(unsigned long initial = 100000,
                   unsigned long increment = 100000,
                   unsigned long maximum = 700001) {
    orvo_php_agent_globals.dataQueue =
        newCustomDataQueue(initial, increment, maximum);
    orvo_php_agent_globals.timestampClock = createTimestampThread();
  }

  void startDataConnection() {
    if (orvo_php_agent_globals.dataQueue == nullptr) createQueue();
    ConnData *c = &orvo_php_agent_globals.dataConnection;
    ASSERT_EQ(orvoPhpAgentInitConnData(c, 0, "data connection",
                                       orvoPhpAgentDataConnInitMsg),
              0);
    orvoPhpAgentStartThread(c, orvoPhpAgentDataConnReadThreadMain,
                            orvoPhpAgentDataConnWriteThreadMain);
  }

  void stopDataConnection() {
    ConnData *c = &orvo_php_agent_globals.dataConnection;
    orvoPhpAgentStopThread(c);
    orvoPhpAgentJoinThread(c);
    deleteDataQueue(orvo_php_agent_globals.dataQueue);
    orvo_php_agent_globals.dataQueue = nullptr;
    deleteTimestampThread(orvo_php_agent_globals.timestampClock);
    orvo_php_agent_globals.timestampClock = nullptr;
  }

  void TearDown() override {
    if (orvo_php_agent_globals.dataQueue != nullptr) stopDataConnection();
    TransportTest::TearDown();
  }

  static void enqueueCalls(int from, int to) {
    for (int i = from; i < to; ++i)
      orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "fn", i);
  }
};

std::string expectedDataConnLine(unsigned long writeThread) {
  return "{\"op\":\"dataConn\",\"probe\":\"php\",\"ver\":\"1\",\"pid\":\"" +
         std::to_string(getpid()) + "\",\"tid\":\"" +
         std::to_string(writeThread) + "\",\"instid\":\"" +
         std::to_string(orvo_php_agent_globals.mainPid) + "\"}";
}

// The sequence numbers of the call lines, in the order they arrived.
std::vector<long> sequences(const std::vector<std::string> &lines) {
  std::vector<long> seqs;
  const std::string key = "\"seq\":";
  for (const std::string &line : lines) {
    size_t p = line.rfind(key);
    if (p != std::string::npos) seqs.push_back(std::stol(line.substr(p + key.size())));
  }
  return seqs;
}

TEST_F(DataConnectionTest, EventsReachTheCollectorBehindTheOpeningMessage) {
  CollectorProcess collector;
  setCollectorPort(collector.portText());
  orvo_php_agent_globals.mainPid = getpid();
  createQueue();
  enqueueCalls(0, 50001);  // queued before the threads start: two batches
  startDataConnection();

  ASSERT_TRUE(waitFor([&] { return collector.lines().size() >= 50002; },
                      std::chrono::seconds(30)));
  std::vector<std::string> lines = collector.lines();
  ASSERT_EQ(lines.size(), 50002u);
  EXPECT_EQ(lines[0], expectedDataConnLine(
                          orvo_php_agent_globals.dataConnection.writeThread));
  std::vector<long> seqs = sequences(lines);
  ASSERT_EQ(seqs.size(), 50001u);
  for (long i = 0; i < 50001; ++i) ASSERT_EQ(seqs[i], i);
  EXPECT_EQ(log->count("data", "sent data connection initialization message "
                               "to the collector"),
            1);
}

TEST_F(DataConnectionTest, ARestartedCollectorGetsAFreshOpeningMessage) {
  std::unique_ptr<CollectorProcess> collector(new CollectorProcess());
  const int port = collector->port();
  setCollectorPort(collector->portText());
  orvo_php_agent_globals.mainPid = getpid();
  startDataConnection();
  enqueueCalls(0, 10);
  ASSERT_TRUE(waitFor([&] { return collector->lines().size() == 11; }));

  collector.reset();  // stopped: the probe sees its end of stream
  ASSERT_TRUE(log->waitForCount(
      "data", "data connection read thread: EOF from collector", 1));
  ASSERT_TRUE(log->waitForCount(
      "data", "data connection:  EOF or error during socket read.", 1));
  ASSERT_TRUE(waitFor(
      [&] { return log->countContaining("closing data connection fd") == 1; }));

  collector.reset(new CollectorProcess({}, port));
  enqueueCalls(10, 20);
  ASSERT_TRUE(waitFor([&] { return collector->lines().size() >= 11; },
                      std::chrono::seconds(20)));
  std::vector<std::string> lines = collector->lines();
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_NE(lines[0].find("\"op\":\"dataConn\""), std::string::npos) << lines[0];
  std::vector<long> seqs = sequences(lines);
  ASSERT_EQ(seqs.size(), 10u);
  EXPECT_EQ(seqs.front(), 10);
  EXPECT_EQ(seqs.back(), 19);
  EXPECT_EQ(log->countContaining("closing data connection fd"), 1);
}

TEST_F(DataConnectionTest, QueueIsClearedWhileTheCollectorIsNotSteering) {
  CollectorProcess collector;
  setCollectorPort(collector.portText());
  orvo_php_agent_globals.commandConnStatus = 2;  // paused
  startDataConnection();
  const std::string warning = "Clearing data queue: connection not live.";
  const std::string suspended =
      "suspending logging until connection is established";
  ASSERT_TRUE(log->waitForCount("data", suspended, 1));
  enqueueCalls(0, 1000);
  ASSERT_TRUE(waitFor([] {
    return isDataQueueEmpty(orvo_php_agent_globals.dataQueue) == 1;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(log->count("data", warning), 5);
  EXPECT_EQ(log->count("data", suspended), 1);
  EXPECT_EQ(getDroppedCount(orvo_php_agent_globals.dataQueue), 0u)
      << "cleared events are not counted as dropped";

  __atomic_store_n(&orvo_php_agent_globals.commandConnStatus, 0,
                   __ATOMIC_RELAXED);
  ASSERT_TRUE(log->waitForCount("data", "resuming data send to collector", 1));
  enqueueCalls(1000, 1001);
  ASSERT_TRUE(waitFor([&] { return collector.lines().size() == 2; }));
  EXPECT_EQ(sequences(collector.lines()), std::vector<long>{1000});
  EXPECT_EQ(log->count("data", "resuming data send to collector"), 1);
  EXPECT_EQ(log->count("data", warning), 5);
}

// A collector that takes the connection but never reads: the write thread
// ends up blocked in send with full socket buffers.
TEST_F(DataConnectionTest, StalledCollectorNeverBlocksTheInterpreterOrItsExit) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The whole scenario runs in a child so that its normal exit (static
    // destructors included) is part of what is checked.
    int rc = 1;
    // This process's lines go to a log of its own. The parent's capture is
    // kept as it is (its destructor would remove the parent's directory);
    // only this process's copy of the parent's log file is closed.
    static orvo_test::LogCapture *parentCapture = log.release();
    (void)parentCapture;
    destroyLoggerImpl();
    log.reset(new orvo_test::LogCapture(LOG_LEVEL_TRACE));
    {
      // A tiny receive window so that the socket buffers fill at once.
      orvo_test::TcpListener listener(0, 16, 4096);
      setCollectorPort(listener.portText());
      createQueue(20000, 20000, 100000);
      startDataConnection();
      orvo_php_agent_globals.threadExitWaitTime = 0.5;
      // Events keep coming while the write thread is stuck: they are
      // queued and, once the queue is full, dropped, never waited for.
      for (int round = 0; round < 40; ++round) {
        enqueueCalls(0, 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      const bool dropped = getDroppedCount(orvo_php_agent_globals.dataQueue) > 0;
      ConnData *c = &orvo_php_agent_globals.dataConnection;
      orvoPhpAgentStopThread(c);
      auto start = std::chrono::steady_clock::now();
      orvoPhpAgentJoinSingleThread(c->writeThread, "write", c->name);
      c->writeThread = 0;
      auto joined = std::chrono::steady_clock::now() - start;
      orvoPhpAgentJoinThread(c);
      const bool cancelled =
          log->count("main", "trying to cancel data connection write thread") == 1;
      const bool inTime = joined < std::chrono::milliseconds(1500);
      // Cancelled in send and in poll, both connection threads are gone.
      const bool gone =
          waitFor([&] { return orvo_test::threadsNamed("orvo-data-") == 0; });
      if (!gone) fprintf(stderr, "a connection thread is still running\n");
      if (!dropped) fprintf(stderr, "no event was dropped\n");
      if (!cancelled) fprintf(stderr, "the write thread was not cancelled\n");
      if (!inTime) fprintf(stderr, "the join took too long\n");
      rc = dropped && cancelled && inTime && gone ? 0 : 1;
    }
    deleteDataQueue(orvo_php_agent_globals.dataQueue);
    orvo_php_agent_globals.dataQueue = nullptr;
    deleteTimestampThread(orvo_php_agent_globals.timestampClock);
    orvo_php_agent_globals.timestampClock = nullptr;
    log.reset();
    exit(rc);
  }
  int status = 0;
  const bool ended = waitFor(
      [&] { return waitpid(child, &status, WNOHANG) == child; },
      std::chrono::seconds(30));
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended) << "the process did not exit";
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
