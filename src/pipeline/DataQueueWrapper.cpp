#include "pipeline/DataQueueWrapper.h"

#include <new>

#include "engine/orvo_php_agent_globals.h"
#include "pipeline/DataQueue.h"
#include "support/Log.h"
#include "support/Timestamp.h"

namespace {

DataQueue *makeQueue(unsigned long initial, unsigned long increment,
                     unsigned long maximum) {
  try {
    return new DataQueue(initial, increment, maximum);
  } catch (const std::exception &e) {
    logError("writer", "could not create the data queue, diag info: %s",
             e.what());
  } catch (...) {
    logError("writer", "could not create the data queue");
  }
  return nullptr;
}

void countDrop(DataQueue *q) {
  if (!q) return;
  unsigned long n = q->incrementDroppedCount();
  if (loggingBackoff(n))
    logError(dataQueueThreadName,
             "Queue currently full.  total %lu messages dropped", n);
}

}  // namespace

extern "C" {

DataQueue *newDataQueue(void) {
  return makeQueue(orvo_php_agent_globals.dataQueueInitialCapacity,
                   orvo_php_agent_globals.dataQueueCapacityIncrement,
                   orvo_php_agent_globals.dataQueueMaximumCapacity);
}

DataQueue *newCustomDataQueue(unsigned long initial, unsigned long increment,
                              unsigned long maximum) {
  return makeQueue(initial, increment, maximum);
}

void deleteDataQueue(DataQueue *q) { delete q; }

void clearDataQueue(DataQueue *q) {
  if (q) q->clear();
}

int isDataQueueEmpty(DataQueue *q) { return !q || q->empty() ? 1 : 0; }

unsigned long getDroppedCount(DataQueue *q) {
  return q ? q->getDroppedCount() : 0;
}

void orvoPhpAgentQueueMessageWithExceptionForDataConn(
    OrvoPhpAgentDataOp op, const char *fn, unsigned long long seq,
    const char *excClass, const char *excMsg, const char *excFn,
    const char *excFile, int excLine, _OrvoPhpParams *params) {
  if (!fn) return;
  OrvoPhpAgentGlobals &g = orvo_php_agent_globals;
  DataQueue *q = g.dataQueue;
  Timestamp *clock = g.timestampClock;
  const unsigned long now = clock ? clock->currentTimeMillis() : 0;
  const bool cloudFoundry = g.cfAppId != nullptr;

  DataQueueItem *item = nullptr;
  try {
    item = new DataQueueItem(op, fn, now, seq, excClass, excMsg, excFn,
                             excFile, excLine, params,
                             cloudFoundry ? g.cfAppName : nullptr,
                             cloudFoundry ? g.cfAppId : nullptr,
                             cloudFoundry ? g.cfInstanceIndex : nullptr);
  } catch (...) {
    // No memory for the record itself: the event is lost like one that
    // found the queue full.
    countDrop(q);
    return;
  }
  // addToDataQueue does not throw (growth catches its own allocation
  // failures); the guard only keeps the C boundary watertight.
  try {
    if (addToDataQueue(q, item)) return;
  } catch (...) {
    return;  // the record's fate is unknown: rather leak it than free it twice
  }
  delete item;
  countDrop(q);
}

void orvoPhpAgentQueueMessageForDataConn(OrvoPhpAgentDataOp op, const char *fn,
                                         unsigned long long seq) {
  orvoPhpAgentQueueMessageWithExceptionForDataConn(
      op, fn, seq, nullptr, nullptr, nullptr, nullptr, 0, nullptr);
}

void orvoPhpAgentQueueMessageWithParamsForDataConn(OrvoPhpAgentDataOp op,
                                                   const char *fn,
                                                   _OrvoPhpParams *params,
                                                   unsigned long long seq) {
  orvoPhpAgentQueueMessageWithExceptionForDataConn(
      op, fn, seq, nullptr, nullptr, nullptr, nullptr, 0, params);
}

}  // extern "C"
