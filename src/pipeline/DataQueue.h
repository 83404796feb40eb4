// The event queue of one process: the interpreter's thread (and any other
// tracing thread) pushes records, the data connection's write thread alone
// pops them.
//
// The interpreter never waits on it. A push takes a node from a pool that
// was reserved in advance and never allocates; when the pool is used up the
// queue grows by one step (under `spinLock`, taken only then) up to its
// maximum, and past the maximum the event is dropped and counted.
//
// The queue underneath is EventNodeQueue rather than Boost.Lockfree's: the
// same contract (bounded push from a reserved pool, a reserve that may run
// during pushes and pops, a pop that reports emptiness), with 16-byte nodes
// instead of cache-line-sized ones, growth by whole slabs instead of one
// allocation per node, and no unsynchronised reads of recycled nodes.
#ifndef ORVO_PIPELINE_DATA_QUEUE_H
#define ORVO_PIPELINE_DATA_QUEUE_H

#include <atomic>
#include <cstdint>

#include "pipeline/DataQueueItem.h"
#include "pipeline/EventNodeQueue.h"
#include "pipeline/SpinLock.h"

class DataQueue {
 public:
  // Sizes from the settings in the global state record.
  DataQueue();
  // Explicit sizes. An initial capacity above the maximum is kept as it is
  // and the queue never grows. Throws std::bad_alloc when the initial pool
  // cannot be reserved.
  DataQueue(unsigned long initial, unsigned long increment,
            unsigned long maximum);
  // Destroys every record still queued.
  ~DataQueue();

  DataQueue(const DataQueue &) = delete;
  DataQueue &operator=(const DataQueue &) = delete;

  // False when no reserved node is free; never allocates.
  bool enqueue_bounded(DataQueueItem *item) {
    return queue.bounded_push(item);
  }
  // The oldest record, or null when the queue is empty.
  DataQueueItem *dequeue() {
    DataQueueItem *item = nullptr;
    return queue.pop(item) ? item : nullptr;
  }
  bool empty() const { return queue.empty(); }
  // Pops and destroys every record; nothing counts as dropped.
  void clear();

  bool full() const { return capacity() >= maxCapacity; }
  unsigned long capacity() const {
    return capacityNodes.load(std::memory_order_acquire);
  }
  // One growth step of min(increment, maximum - capacity) nodes; nothing
  // when full. Memory that cannot be had ends the step early: the capacity
  // then counts exactly the nodes that were added. Never throws.
  void addCapacity();

  unsigned long incrementDroppedCount() {
    return droppedCount.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  unsigned long getDroppedCount() const {
    return droppedCount.load(std::memory_order_relaxed);
  }

  void lock() { spinLock.acquire(); }
  void unlock() { spinLock.release(); }

 private:
  EventNodeQueue queue;
  // Read without the lock by producers deciding whether to try growing; a
  // stale value costs one extra locked attempt or one drop.
  std::atomic<uint64_t> capacityNodes;
  const uint64_t capacityIncrement;
  const uint64_t maxCapacity;
  SpinLock spinLock;
  std::atomic<uint64_t> droppedCount;
};

// Pushes `item`, growing the queue by one step when the pool is used up.
// False when the queue is null or full: the caller still owns `item`.
bool addToDataQueue(DataQueue *q, DataQueueItem *item);

#endif
