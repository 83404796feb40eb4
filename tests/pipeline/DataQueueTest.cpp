#include "pipeline/DataQueue.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/LogCapture.h"
#include "engine/orvo_php_agent_globals.h"
#include "pipeline/DataQueueWrapper.h"
#include "support/Timestamp.h"

namespace {

OrvoPhpAgentGlobals &g = orvo_php_agent_globals;

const char kFullLine[] = "Queue currently full.  total %lu messages dropped";

std::string fullLine(unsigned long n) {
  char text[128];
  snprintf(text, sizeof(text), kFullLine, n);
  return text;
}

DataQueueItem *record(unsigned long long seq) {
  return new DataQueueItem(DATA_OP_CALL, "f", 0, seq, nullptr, nullptr,
                           nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                           nullptr);
}

// The process's queue, made and removed the way module start and shutdown
// do, with the given settings.
class ProcessQueue : public ::testing::Test {
 protected:
  void useQueue(unsigned long initial, unsigned long increment,
                unsigned long maximum) {
    g.dataQueueInitialCapacity = initial;
    g.dataQueueCapacityIncrement = increment;
    g.dataQueueMaximumCapacity = maximum;
    g.dataQueue = newDataQueue();
    ASSERT_NE(g.dataQueue, nullptr);
  }
  void TearDown() override {
    deleteDataQueue(g.dataQueue);
    g.dataQueue = nullptr;
  }
};

TEST_F(ProcessQueue, GrowsInSevenStepsThenDropsWithBackedOffLine) {
  orvo_test::LogCapture log(LOG_LEVEL_ERROR);
  useQueue(100000, 100000, 700001);
  DataQueue *q = g.dataQueue;

  // Event numbers at which the capacity changed, and the new capacity.
  std::vector<std::pair<unsigned long, unsigned long>> steps;
  unsigned long capacity = q->capacity();
  EXPECT_EQ(capacity, 100000u);
  for (unsigned long n = 1; n <= 700001; ++n) {
    orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", n);
    if (q->capacity() != capacity) {
      capacity = q->capacity();
      steps.emplace_back(n, capacity);
    }
  }
  const std::vector<std::pair<unsigned long, unsigned long>> expected = {
      {100001, 200000}, {200001, 300000}, {300001, 400000}, {400001, 500000},
      {500001, 600000}, {600001, 700000}, {700001, 700001}};
  EXPECT_EQ(steps, expected);
  EXPECT_TRUE(q->full());
  EXPECT_EQ(getDroppedCount(q), 0u);
  EXPECT_EQ(log.countContaining("Queue currently full"), 0);

  orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", 700002);
  EXPECT_EQ(getDroppedCount(q), 1u);
  EXPECT_EQ(q->capacity(), 700001u);
  EXPECT_EQ(log.count("data", fullLine(1)), 1);

  // The line thins out: 1..9, then every 10th up to 90, then every 100th.
  for (unsigned long n = 2; n <= 101; ++n)
    orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", 700001 + n);
  EXPECT_EQ(getDroppedCount(q), 101u);
  for (unsigned long n : {2ul, 9ul, 10ul, 20ul, 90ul, 100ul})
    EXPECT_EQ(log.count("data", fullLine(n)), 1) << n;
  for (unsigned long n : {11ul, 15ul, 99ul, 101ul})
    EXPECT_EQ(log.count("data", fullLine(n)), 0) << n;
  EXPECT_EQ(log.countContaining("Queue currently full"), 9 + 9 + 1);

  // Nothing of what was accepted was lost or reordered.
  for (unsigned long n = 1; n <= 700001; ++n) {
    std::unique_ptr<DataQueueItem> item(q->dequeue());
    ASSERT_NE(item, nullptr) << n;
    ASSERT_EQ(item->getSeq(), n);
  }
  EXPECT_EQ(q->dequeue(), nullptr);
  EXPECT_EQ(isDataQueueEmpty(q), 1);
}

TEST_F(ProcessQueue, SizesThatNeverGrow) {
  struct Case {
    const char *what;
    unsigned long initial, increment, maximum;
    bool fullFromStart;
  } cases[] = {
      {"initial above the maximum", 5, 10, 3, true},
      {"increment of 0", 5, 0, 10, false},
  };
  for (const Case &c : cases) {
    useQueue(c.initial, c.increment, c.maximum);
    DataQueue *q = g.dataQueue;
    EXPECT_EQ(q->full(), c.fullFromStart) << c.what;
    for (unsigned long n = 1; n <= c.initial + 3; ++n)
      orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", n);
    EXPECT_EQ(q->capacity(), c.initial) << c.what;
    EXPECT_EQ(getDroppedCount(q), 3u) << c.what;
    TearDown();
  }
}

TEST_F(ProcessQueue, ClearDestroysRecordsAndKeepsTheDroppedCount) {
  useQueue(2, 0, 2);
  for (unsigned long n = 1; n <= 5; ++n)
    orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", n);
  EXPECT_EQ(getDroppedCount(g.dataQueue), 3u);
  EXPECT_EQ(isDataQueueEmpty(g.dataQueue), 0);
  clearDataQueue(g.dataQueue);
  EXPECT_EQ(isDataQueueEmpty(g.dataQueue), 1);
  EXPECT_EQ(getDroppedCount(g.dataQueue), 3u);
  // The cleared nodes are free again.
  orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", 6);
  orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", 7);
  EXPECT_EQ(getDroppedCount(g.dataQueue), 3u);
  // Records still queued go with the queue (the sanitizer build checks it).
}

TEST(DataQueueWrapper, NullQueue) {
  orvo_test::LogCapture log;
  EXPECT_EQ(isDataQueueEmpty(nullptr), 1);
  EXPECT_EQ(getDroppedCount(nullptr), 0u);
  deleteDataQueue(nullptr);
  clearDataQueue(nullptr);

  // No queue in the process: the record is destroyed, nothing is counted.
  g.dataQueue = nullptr;
  orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", 1);
  std::unique_ptr<DataQueueItem> item(record(2));
  EXPECT_FALSE(addToDataQueue(nullptr, item.get()));
  EXPECT_EQ(log.count("writer",
                      "data queue pointer in DataQueueWrapper is not set."),
            2);
}

TEST_F(ProcessQueue, EntryPointsPassEveryArgumentOn) {
  useQueue(16, 16, 64);
  g.timestampClock = createTimestampThread();
  ASSERT_NE(g.timestampClock, nullptr);
  char appId[] = "app-id", index[] = "2", name[] = "shop";
  g.cfAppId = appId;
  g.cfInstanceIndex = index;
  g.cfAppName = name;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  const unsigned long before = tv.tv_sec * 1000UL + tv.tv_usec / 1000 - 5;

  _OrvoPhpParams sql{};
  sql.kind = ORVO_PARAMS_SQL_BACKEND;
  sql.port = "SELECT 1";
  sql.statementId = 12;
  orvoPhpAgentQueueMessageWithParamsForDataConn(DATA_OP_CALL, "query", &sql,
                                                77);
  orvoPhpAgentQueueMessageWithExceptionForDataConn(
      DATA_OP_RETURN, "query", 77, "E", "m", "fn", "file.php", 9, &sql);
  orvoPhpAgentQueueMessageForDataConn(DATA_OP_RETURN, "plain", 78);
  orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, nullptr, 79);  // ignored
  g.cfAppId = nullptr;  // the identity goes with the application id
  orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "outside", 80);

  gettimeofday(&tv, nullptr);
  const unsigned long after = tv.tv_sec * 1000UL + tv.tv_usec / 1000 + 5;
  std::vector<std::unique_ptr<DataQueueItem>> items;
  while (DataQueueItem *i = g.dataQueue->dequeue()) items.emplace_back(i);
  ASSERT_EQ(items.size(), 4u);

  EXPECT_EQ(items[0]->getOp(), DATA_OP_CALL);
  EXPECT_EQ(items[0]->getFuncNameStr(), "query");
  EXPECT_EQ(items[0]->getSeq(), 77u);
  EXPECT_STREQ(items[0]->getSqlQuery(), "SELECT 1");
  EXPECT_EQ(items[0]->getStatementId(), 12u);
  EXPECT_EQ(items[0]->getExceptionClass(), "");

  EXPECT_EQ(items[1]->getOp(), DATA_OP_RETURN);
  EXPECT_EQ(items[1]->getSeq(), 77u);
  EXPECT_EQ(items[1]->getExceptionClass(), "E");
  EXPECT_EQ(items[1]->getExceptionMsg(), "m");
  EXPECT_EQ(items[1]->getExceptionFn(), "fn");
  EXPECT_EQ(items[1]->getExceptionFile(), "file.php");
  EXPECT_EQ(items[1]->getExceptionLine(), 9);
  EXPECT_TRUE(items[1]->isBackend());

  EXPECT_EQ(items[2]->getFuncNameStr(), "plain");
  EXPECT_EQ(items[2]->getParams(), nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(items[i]->getCFAppID(), "app-id");
    EXPECT_STREQ(items[i]->getCFInstIdx(), "2");
    EXPECT_STREQ(items[i]->getCFAppName(), "shop");
    EXPECT_GE(items[i]->getTimestamp(), before);
    EXPECT_LE(items[i]->getTimestamp(), after);
  }
  EXPECT_EQ(items[3]->getSeq(), 80u);
  EXPECT_EQ(items[3]->getCFAppID(), nullptr);
  EXPECT_EQ(items[3]->getCFAppName(), nullptr);

  deleteTimestampThread(g.timestampClock);
  g.timestampClock = nullptr;
  g.cfInstanceIndex = g.cfAppName = nullptr;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

size_t addressSpaceInUse() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  statm >> pages;
  return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Only the soft limit, so that the test can lift it again.
void limitAddressSpace(size_t bytes) {
  struct rlimit limit;
  getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = bytes;
  setrlimit(RLIMIT_AS, &limit);
}

// A growth step that runs out of memory adds what it could and counts it
// exactly; one that gets nothing drops the event and counts it. Neither
// stops the process or leaves the queue inconsistent.
TEST_F(ProcessQueue, GrowthWithoutMemoryKeepsTheQueueConsistent) {
  if (kSanitized)
    GTEST_SKIP() << "sanitizer allocators do not run under an address-space "
                    "limit";
  const int status = orvo_test::runInChild([] {
    auto require = [](bool ok, int code) {
      if (!ok) _exit(code);
    };
    DataQueue *q = newCustomDataQueue(1, 50000000, 100000000);
    g.dataQueue = q;
    orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", 1);

    // Room for a few slabs of the 800 MB step, not for all of it.
    limitAddressSpace(addressSpaceInUse() + (8 << 20));
    orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", 2);
    limitAddressSpace(RLIM_INFINITY);
    const unsigned long capacity = q->capacity();
    require(capacity > 2 && capacity < 50000001, 2);
    require(getDroppedCount(q) == 0, 3);
    for (unsigned long n = 3; n <= capacity; ++n)
      orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", n);
    require(getDroppedCount(q) == 0, 4);

    // No memory at all: the next event is dropped and counted.
    limitAddressSpace(addressSpaceInUse());
    orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, "f", capacity + 1);
    limitAddressSpace(RLIM_INFINITY);
    require(getDroppedCount(q) == 1, 5);
    require(q->capacity() == capacity, 6);

    unsigned long n = 0;
    while (DataQueueItem *item = q->dequeue()) {
      require(item->getSeq() == ++n, 7);
      delete item;
    }
    require(n == capacity, 8);
    deleteDataQueue(q);
    g.dataQueue = nullptr;
  });
  EXPECT_EQ(status, 0);
}

// Producers race each other, the consumer and the growth steps; as long as
// the maximum is not reached every event arrives, each producer's in order.
TEST(DataQueue, ConcurrentProducersLoseNothingUnderCapacity) {
  const unsigned kProducers = 3;
  const unsigned long kPerProducer = 40000;
  DataQueue q(64, 256, kProducers * kPerProducer);

  std::atomic<bool> go(false);
  std::vector<std::thread> producers;
  std::atomic<unsigned long> refused(0);
  for (unsigned p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      while (!go.load()) std::this_thread::yield();
      for (unsigned long n = 0; n < kPerProducer; ++n) {
        DataQueueItem *item = record(p * kPerProducer + n);
        if (!addToDataQueue(&q, item)) {
          delete item;
          refused.fetch_add(1);
        }
      }
    });
  }
  std::vector<unsigned long> next(kProducers, 0);
  unsigned long received = 0;
  bool ordered = true;
  std::thread consumer([&] {
    while (received < kProducers * kPerProducer && refused.load() == 0) {
      std::unique_ptr<DataQueueItem> item(q.dequeue());
      if (!item) continue;
      const unsigned long seq = item->getSeq();
      const unsigned p = static_cast<unsigned>(seq / kPerProducer);
      if (seq % kPerProducer != next[p]) ordered = false;
      next[p] = seq % kPerProducer + 1;
      ++received;
    }
  });
  go.store(true);
  for (auto &t : producers) t.join();
  consumer.join();

  EXPECT_EQ(refused.load(), 0u);
  EXPECT_EQ(received, kProducers * kPerProducer);
  EXPECT_TRUE(ordered);
  EXPECT_TRUE(q.empty());
  EXPECT_LE(q.capacity(), kProducers * kPerProducer);
}

TEST(SpinLock, ExcludesOtherThreads) {
  SpinLock lock;
  unsigned long counter = 0;  // plain on purpose: the lock must order it
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        lock.acquire();
        ++counter;
        lock.release();
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 10000u);
  EXPECT_TRUE(lock.tryAcquire());
  EXPECT_FALSE(lock.tryAcquire());
}

}  // namespace
