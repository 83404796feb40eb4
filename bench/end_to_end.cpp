// Events from the interpreter's enqueue entry point to a collector over
// loopback, with the real write thread encoding and sending them.
//
// The collector here is a thread that only counts lines, so the figure is
// the probe's: enqueue, hand-over, encoding, batching and send. Baselines in
// the same run: the enqueue path alone (no consumer) and the loopback socket
// alone carrying the same bytes.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "engine/orvo_php_agent_globals.h"
#include "pipeline/DataQueueWrapper.h"
#include "support/Timestamp.h"
#include "transport/CollectorConnection.h"
#include "transport/DataConnection.h"
#include "transport/ThreadControl.h"

namespace {

const char *const kNames[] = {
    "App\\Controller\\OrderController::show", "Illuminate\\Support\\Arr::get",
    "App\\Models\\Order::items", "array_map", "/var/www/app/views/order.php",
    "App\\Services\\PriceCalculator::total"};

// Counts the lines that arrive on every connection it accepts.
class CountingCollector {
 public:
  CountingCollector() {
    listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listenFd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
    listen(listenFd, 16);
    socklen_t len = sizeof(addr);
    getsockname(listenFd, reinterpret_cast<struct sockaddr *>(&addr), &len);
    port = std::to_string(ntohs(addr.sin_port));
    reader = std::thread([this] { run(); });
  }
  ~CountingCollector() {
    stopping = true;
    reader.join();
    close(listenFd);
  }
  uint64_t lines() const { return count.load(std::memory_order_acquire); }
  uint64_t bytes() const { return byteCount.load(std::memory_order_relaxed); }
  std::string port;

 private:
  void run() {
    std::vector<char> buf(1 << 20);
    int conn = -1;
    while (!stopping) {
      struct pollfd fds[2] = {{listenFd, POLLIN, 0}, {conn, POLLIN, 0}};
      if (poll(fds, 2, 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        if (conn >= 0) close(conn);
        conn = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      }
      if (conn >= 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
        ssize_t n = recv(conn, buf.data(), buf.size(), 0);
        if (n <= 0) {
          close(conn);
          conn = -1;
          continue;
        }
        uint64_t found = 0;
        const char *p = buf.data(), *end = p + n;
        while ((p = static_cast<const char *>(memchr(p, '\n', end - p))) != nullptr) {
          ++found;
          ++p;
        }
        byteCount.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        count.fetch_add(found, std::memory_order_release);
      }
    }
    if (conn >= 0) close(conn);
  }

  int listenFd;
  std::thread reader;
  std::atomic<bool> stopping{false};
  std::atomic<uint64_t> count{0};
  std::atomic<uint64_t> byteCount{0};
};

void setUpProcess(const std::string &port) {
  static std::string portText;
  portText = port;
  memset(&orvo_php_agent_globals, 0, sizeof(orvo_php_agent_globals));
  orvo_php_agent_globals.mainPid = getpid();
  orvo_php_agent_globals.collectorHost = "127.0.0.1";
  orvo_php_agent_globals.collectorPort = portText.c_str();
  orvo_php_agent_globals.threadExitWaitTime = 1.0;
  orvo_php_agent_globals.dataQueueInitialCapacity = 100000;
  orvo_php_agent_globals.dataQueueCapacityIncrement = 100000;
  orvo_php_agent_globals.dataQueueMaximumCapacity = 700001;
  orvo_php_agent_globals.dataQueue = newDataQueue();
  orvo_php_agent_globals.timestampClock = createTimestampThread();
}

void startDataThreads() {
  ConnData *c = &orvo_php_agent_globals.dataConnection;
  orvoPhpAgentInitConnData(c, 0, "data connection", orvoPhpAgentDataConnInitMsg);
  orvoPhpAgentStartThread(c, orvoPhpAgentDataConnReadThreadMain,
                          orvoPhpAgentDataConnWriteThreadMain);
}

void tearDownProcess() {
  ConnData *c = &orvo_php_agent_globals.dataConnection;
  orvoPhpAgentStopThread(c);
  orvoPhpAgentJoinThread(c);
  deleteDataQueue(orvo_php_agent_globals.dataQueue);
  orvo_php_agent_globals.dataQueue = nullptr;
  deleteTimestampThread(orvo_php_agent_globals.timestampClock);
  orvo_php_agent_globals.timestampClock = nullptr;
}

// A call and its return, as the execute hook produces them.
inline void produceCallPair(uint64_t seq) {
  const char *name = kNames[seq % (sizeof(kNames) / sizeof(kNames[0]))];
  orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, name, seq);
  orvoPhpAgentQueueMessageForDataConn(DATA_OP_RETURN, name, seq);
}

bool waitForLines(const CountingCollector &collector, uint64_t lines) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (collector.lines() < lines) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// As fast as the producer can go, in bursts of 200000 events that the
// default queue absorbs: the rate at which events leave the process.
void BM_EndToEndBurst(benchmark::State &state) {
  CountingCollector collector;
  setUpProcess(collector.port);
  startDataThreads();
  const uint64_t perIteration = 200000;
  uint64_t expected = 1;  // the opening message
  uint64_t seq = 0;
  for (auto _ : state) {
    for (uint64_t i = 0; i < perIteration / 2; ++i) produceCallPair(seq++);
    expected += perIteration;
    if (!waitForLines(collector, expected)) {
      state.SkipWithError("events did not arrive");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * perIteration));
  state.SetBytesProcessed(static_cast<int64_t>(collector.bytes()));
  state.counters["dropped"] =
      static_cast<double>(getDroppedCount(orvo_php_agent_globals.dataQueue));
  tearDownProcess();
}
BENCHMARK(BM_EndToEndBurst)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// A producer paced at a fixed rate for two seconds: does everything arrive
// with nothing dropped at the default queue capacity?
void BM_EndToEndSustained(benchmark::State &state) {
  const double rate = static_cast<double>(state.range(0));
  CountingCollector collector;
  setUpProcess(collector.port);
  startDataThreads();
  uint64_t produced = 0;
  for (auto _ : state) {
    // One chunk per millisecond, sleeping in between as an interpreter
    // does its own work between calls.
    const auto start = std::chrono::steady_clock::now();
    const uint64_t total = static_cast<uint64_t>(rate * 2.0);
    const uint64_t perMilli = static_cast<uint64_t>(rate / 1000.0);
    uint64_t seq = produced;
    for (int milli = 1; seq < produced + total; ++milli) {
      for (uint64_t i = 0; i < perMilli && seq < produced + total; i += 2) {
        produceCallPair(seq / 2);
        seq += 2;
      }
      std::this_thread::sleep_until(start + std::chrono::milliseconds(milli));
    }
    produced = seq;
    // What was dropped never leaves; everything else must arrive.
    const uint64_t dropped = getDroppedCount(orvo_php_agent_globals.dataQueue);
    if (!waitForLines(collector, produced - dropped + 1)) {
      state.SkipWithError("events did not arrive");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(produced));
  state.counters["dropped"] =
      static_cast<double>(getDroppedCount(orvo_php_agent_globals.dataQueue));
  tearDownProcess();
}
BENCHMARK(BM_EndToEndSustained)->Arg(1500000)->Arg(3000000)->Iterations(1)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the enqueue path alone, nothing consuming (the queue is emptied
// outside the timed region).
void BM_EnqueueOnly(benchmark::State &state) {
  setUpProcess("0");
  const uint64_t perIteration = 200000;
  uint64_t seq = 0;
  for (auto _ : state) {
    for (uint64_t i = 0; i < perIteration / 2; ++i) produceCallPair(seq++);
    state.PauseTiming();
    clearDataQueue(orvo_php_agent_globals.dataQueue);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * perIteration));
  tearDownProcess();
}
BENCHMARK(BM_EnqueueOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the same bytes over the same loopback socket, already encoded.
void BM_LoopbackOnly(benchmark::State &state) {
  CountingCollector collector;
  std::string batch;
  uint64_t lines = 0;
  for (int i = 0; i < 50000; ++i, ++lines)
    batch += "{\"op\":\"fnC\",\"ts\":1765432100123,\"fn\":\"App\\u005cModels\\u005cOrder::items\","
             "\"pid\":\"12345\",\"seq\":" + std::to_string(i) + "}\n";
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(collector.port)));
  connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr));
  uint64_t expected = 0;
  for (auto _ : state) {
    size_t done = 0;
    while (done < batch.size()) {
      ssize_t n = send(fd, batch.data() + done, batch.size() - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    expected += lines;
    waitForLines(collector, expected);
  }
  close(fd);
  state.SetItemsProcessed(static_cast<int64_t>(expected));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch.size()));
}
BENCHMARK(BM_LoopbackOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// Bytes handed out by the allocator and not yet freed (the resident size
// would also count memory that earlier benchmarks freed but glibc kept).
long heapBytesInUse() {
  struct mallinfo2 info = mallinfo2();
  return static_cast<long>(info.uordblks + info.hblkhd);
}

// Memory the process holds per queued event when the queue is full at its
// default maximum (700001 events), for the mix of names above.
void BM_MemoryPerQueuedEvent(benchmark::State &state) {
  for (auto _ : state) {
    setUpProcess("0");
    const long before = heapBytesInUse();
    for (uint64_t seq = 0; seq < 350000; ++seq) produceCallPair(seq);
    orvoPhpAgentQueueMessageForDataConn(DATA_OP_CALL, kNames[0], 350000);
    const long after = heapBytesInUse();
    state.counters["bytes_per_event"] =
        static_cast<double>(after - before) / 700001.0;
    state.counters["dropped"] =
        static_cast<double>(getDroppedCount(orvo_php_agent_globals.dataQueue));
    tearDownProcess();
  }
}
BENCHMARK(BM_MemoryPerQueuedEvent)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
