#include "pipeline/DataQueue.h"

#include "engine/orvo_php_agent_globals.h"
#include "support/Log.h"

namespace {
const char *const kWriterLabel = "writer";
}

DataQueue::DataQueue()
    : DataQueue(orvo_php_agent_globals.dataQueueInitialCapacity,
                orvo_php_agent_globals.dataQueueCapacityIncrement,
                orvo_php_agent_globals.dataQueueMaximumCapacity) {}

DataQueue::DataQueue(unsigned long initial, unsigned long increment,
                     unsigned long maximum)
    : queue(initial),
      capacityNodes(initial),
      capacityIncrement(increment),
      maxCapacity(maximum),
      droppedCount(0) {}

DataQueue::~DataQueue() { clear(); }

void DataQueue::clear() {
  DataQueueItem *item = nullptr;
  while (queue.pop(item)) delete item;
}

void DataQueue::addCapacity() {
  const uint64_t current = capacity();
  if (current >= maxCapacity) return;
  const uint64_t room = maxCapacity - current;
  const uint64_t step = capacityIncrement < room ? capacityIncrement : room;
  // The nodes of a step become usable at once, slab by slab; if memory
  // runs out part way the capacity counts exactly what was added.
  const uint64_t added = queue.reserve(step);
  capacityNodes.store(current + added, std::memory_order_release);
  if (added < step)
    logError(kWriterLabel,
             "data queue capacity increase stopped at %lu: out of memory",
             static_cast<unsigned long>(current + added));
}

bool addToDataQueue(DataQueue *q, DataQueueItem *item) {
  if (!q) {
    logError(kWriterLabel, "data queue pointer in DataQueueWrapper is not set.");
    return false;
  }
  if (q->enqueue_bounded(item)) return true;
  if (q->full()) return false;

  q->lock();
  // Another producer may have grown the queue while we waited for the lock.
  if (q->enqueue_bounded(item)) {
    q->unlock();
    return true;
  }
  if (q->full()) {
    if (logDebugEnabled())
      logDebug(kWriterLabel, "data queue max capacity reached.");
    q->unlock();
    return false;
  }
  if (logDebugEnabled())
    logDebug(kWriterLabel, "data queue capacity reached - attempting add...");
  q->addCapacity();
  if (logDebugEnabled())
    logDebug(kWriterLabel, "data queue capacity increased to: %lu.",
             q->capacity());
  q->unlock();
  // Outside the lock: other producers may take the new nodes first.
  return q->enqueue_bounded(item);
}
