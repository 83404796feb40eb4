// The event queue against the two lock-free queues it could be built on,
// and what one queued event costs to build and to hold.
//
// Queue figures are enqueue + dequeue per event with one consumer and one or
// two producers (benchmark threads: thread 0 consumes, the others produce).
// DataQueue goes
// through addToDataQueue as the entry points do; the baselines use their
// bounded (non-allocating) push on a pre-reserved pool of the same size.
//
// Record figures compare the probe's record with a straightforward one made
// of eight std::string members and a parameter copy of one allocation per
// text, built from the same arguments.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <boost/lockfree/queue.hpp>
#include <concurrentqueue/concurrentqueue.h>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/DataQueue.h"
#include "pipeline/DataQueueItem.h"

namespace {

const unsigned long kPool = 1 << 20;

// Any non-null pointer will do: the consumer never dereferences it.
DataQueueItem *const kToken = reinterpret_cast<DataQueueItem *>(uintptr_t(64));

struct OrvoQueue {
  DataQueue q{kPool, kPool, kPool};
  bool push() { return addToDataQueue(&q, kToken); }
  bool pop() { return q.dequeue() != nullptr; }
};

struct BoostQueue {
  boost::lockfree::queue<DataQueueItem *> q{kPool};
  bool push() { return q.bounded_push(kToken); }
  bool pop() {
    DataQueueItem *item;
    return q.pop(item);
  }
};

// Its non-allocating try_enqueue fails almost every time in this pattern
// (an implicit producer's block index cannot grow without allocating), so
// the baseline uses enqueue, which allocates only until its blocks are
// recycled: the best case for it, and already outside the contract.
struct MoodycamelQueue {
  moodycamel::ConcurrentQueue<DataQueueItem *> q{kPool};
  bool push() { return q.enqueue(kToken); }
  bool pop() {
    DataQueueItem *item;
    return q.try_dequeue(item);
  }
};

// Each iteration a producer pushes `burst` events (the interpreter produces
// in bursts) and the consumer takes as many from every producer. Burst 1
// keeps the queue near empty, so producer and consumer fight over the same
// nodes; burst 64 is closer to the write thread draining a batch.
template <class Queue>
void BM_Queue(benchmark::State &state) {
  static Queue *queue;
  const int producers = state.threads() - 1;
  const int64_t burst = state.range(0);
  if (state.thread_index() == 0) queue = new Queue();
  // Benchmark threads start their loop together, after setup on thread 0.
  for (auto _ : state) {
    if (state.thread_index() == 0) {
      for (int64_t i = 0; i < burst * producers; ++i)
        while (!queue->pop()) {
        }
    } else {
      for (int64_t i = 0; i < burst; ++i)
        while (!queue->push()) {
        }
    }
  }
  if (state.thread_index() == 0) {
    state.SetItemsProcessed(state.iterations() * burst * producers);
    delete queue;
    queue = nullptr;
  }
}
#define ORVO_QUEUE_BENCH(Q)                                                \
  BENCHMARK_TEMPLATE(BM_Queue, Q)->Arg(1)->Arg(64)->Threads(2)->Threads(3) \
      ->UseRealTime()
ORVO_QUEUE_BENCH(OrvoQueue);
ORVO_QUEUE_BENCH(BoostQueue);
ORVO_QUEUE_BENCH(MoodycamelQueue);

// One thread pushes 256 events and pops them again: the cost of the
// operations themselves, without another core in the way. The push half is
// what the interpreter's thread pays per event.
template <class Queue>
void BM_QueueUncontended(benchmark::State &state) {
  std::unique_ptr<Queue> queue(new Queue());
  for (auto _ : state) {
    for (int i = 0; i < 256; ++i) queue->push();
    for (int i = 0; i < 256; ++i) queue->pop();
  }
  state.SetItemsProcessed(state.iterations() * 256);
}
BENCHMARK_TEMPLATE(BM_QueueUncontended, OrvoQueue);
BENCHMARK_TEMPLATE(BM_QueueUncontended, BoostQueue);
BENCHMARK_TEMPLATE(BM_QueueUncontended, MoodycamelQueue);

// --- What one queued event costs to build and to hold -------------------

// The obvious record: eight strings and a parameter copy with one
// allocation per text.
struct StringRecord {
  StringRecord(OrvoPhpAgentDataOp op, const char *fn, unsigned long ts,
               unsigned long long seq, const char *excClass,
               const char *excMsg, const char *excFn, const char *excFile,
               int excLine, const _OrvoPhpParams *params)
      : op(op), funcName(fn), timestamp(ts), seq(seq), exceptionLine(excLine) {
    if (excClass) exceptionClass = excClass;
    if (excMsg) exceptionMsg = excMsg;
    if (excFn) exceptionFn = excFn;
    if (excFile) exceptionFile = excFile;
    if (params && params->kind == ORVO_PARAMS_SQL_BACKEND) {
      copy.reset(new _OrvoPhpParams());
      copy->kind = params->kind;
      copy->url = params->url ? strdup(params->url) : nullptr;
      copy->port = params->port ? strdup(params->port) : nullptr;
      copy->statementId = params->statementId;
    }
  }
  ~StringRecord() {
    if (copy) {
      free(const_cast<char *>(copy->url));
      free(const_cast<char *>(copy->port));
    }
  }
  OrvoPhpAgentDataOp op;
  std::string funcName, cfAppId, cfInstIdx, cfAppName;
  unsigned long timestamp;
  unsigned long long seq;
  std::string exceptionClass, exceptionMsg, exceptionFn, exceptionFile;
  int exceptionLine;
  std::unique_ptr<_OrvoPhpParams> copy;
};

// Function names as a framework application produces them.
const char *const kNames[] = {
    "strlen",
    "array_map",
    "{closure}",
    "Illuminate\\Container\\Container::make",
    "App\\Http\\Controllers\\OrderController::store",
    "Illuminate\\Database\\Eloquent\\Builder::getModels",
    "Symfony\\Component\\HttpFoundation\\Request::getPathInfo",
    "Illuminate\\Pipeline\\Pipeline::Illuminate\\Pipeline\\{closure}",
};
const size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

template <class Record>
Record *makeRecord(size_t i) {
  return new Record(i & 1 ? DATA_OP_RETURN : DATA_OP_CALL,
                    kNames[i % kNameCount], 1718000000000UL, i, nullptr,
                    nullptr, nullptr, nullptr, 0, nullptr);
}

template <>
DataQueueItem *makeRecord<DataQueueItem>(size_t i) {
  return new DataQueueItem(i & 1 ? DATA_OP_RETURN : DATA_OP_CALL,
                           kNames[i % kNameCount], 1718000000000UL, i, nullptr,
                           nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                           nullptr, nullptr);
}

// Build and destroy one call or return record of the name mix, as the
// interpreter's thread and the write thread do for every event.
template <class Record>
void BM_RecordBuildAndDestroy(benchmark::State &state) {
  size_t i = 0;
  for (auto _ : state) {
    Record *r = makeRecord<Record>(i++);
    benchmark::DoNotOptimize(r);
    delete r;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(BM_RecordBuildAndDestroy, DataQueueItem);
BENCHMARK_TEMPLATE(BM_RecordBuildAndDestroy, StringRecord);

size_t heapInUse() { return mallinfo2().uordblks + mallinfo2().hblkhd; }

// Heap per queued event at the default maximum capacity (700001): the node
// pool of a full queue, and the records in it (the name mix above).
template <class Record>
void BM_MemoryPerQueuedEvent(benchmark::State &state) {
  const size_t kEvents = 700001;
  for (auto _ : state) {
    malloc_trim(0);
    const size_t start = heapInUse();
    std::unique_ptr<DataQueue> q(new DataQueue(kEvents, 0, kEvents));
    const size_t afterPool = heapInUse();
    std::vector<Record *> records;
    records.reserve(kEvents);
    const size_t afterVector = heapInUse();
    for (size_t i = 0; i < kEvents; ++i) records.push_back(makeRecord<Record>(i));
    const size_t afterRecords = heapInUse();
    state.counters["node_bytes"] =
        static_cast<double>(afterPool - start) / kEvents;
    state.counters["record_bytes"] =
        static_cast<double>(afterRecords - afterVector) / kEvents;
    state.counters["bytes_per_event"] =
        static_cast<double>(afterPool - start + afterRecords - afterVector) /
        kEvents;
    state.counters["sizeof_record"] = sizeof(Record);
    for (Record *r : records) delete r;
    records.clear();
    q.reset();
    // The same pool as Boost.Lockfree reserves it, for comparison.
    malloc_trim(0);
    const size_t beforeBoost = heapInUse();
    {
      boost::lockfree::queue<DataQueueItem *> boostQueue(kEvents);
      state.counters["boost_node_bytes"] =
          static_cast<double>(heapInUse() - beforeBoost) / kEvents;
    }
  }
}
BENCHMARK_TEMPLATE(BM_MemoryPerQueuedEvent, DataQueueItem)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_MemoryPerQueuedEvent, StringRecord)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
