// The event queue as the engine-facing half sees it: plain C functions to
// create, clear, test, count and delete a queue, and the three enqueue entry
// points that the execute hook and the tracers call for every event.
//
// Every function is safe on a null queue and never lets a C++ exception
// out. Enqueueing never blocks and never fails visibly: a refused event is
// destroyed, counted and reported in the log with a back-off.
#ifndef ORVO_PIPELINE_DATA_QUEUE_WRAPPER_H
#define ORVO_PIPELINE_DATA_QUEUE_WRAPPER_H

#include "pipeline/OrvoPhpParams.h"

#ifdef __cplusplus
class DataQueue;
extern "C" {
#else
typedef struct DataQueue DataQueue;
#endif

// Sizes from the settings in the global state record; null (with an error
// line) when the initial pool cannot be reserved.
DataQueue *newDataQueue(void);
DataQueue *newCustomDataQueue(unsigned long initial, unsigned long increment,
                              unsigned long maximum);
// Destroys the queue with every record still in it.
void deleteDataQueue(DataQueue *q);
void clearDataQueue(DataQueue *q);
// 1 when empty or null, else 0.
int isDataQueueEmpty(DataQueue *q);
// 0 for a null queue.
unsigned long getDroppedCount(DataQueue *q);

// Enqueue one event on the process's queue (`dataQueue` of the global
// state record), stamped with the process clock and carrying the Cloud
// Foundry identity when there is one. Texts and `params` stay the
// caller's; a null `fn` enqueues nothing.
void orvoPhpAgentQueueMessageWithExceptionForDataConn(
    OrvoPhpAgentDataOp op, const char *fn, unsigned long long seq,
    const char *excClass, const char *excMsg, const char *excFn,
    const char *excFile, int excLine, _OrvoPhpParams *params);
void orvoPhpAgentQueueMessageForDataConn(OrvoPhpAgentDataOp op, const char *fn,
                                         unsigned long long seq);
// Note the order: the parameter record comes before the sequence number.
void orvoPhpAgentQueueMessageWithParamsForDataConn(OrvoPhpAgentDataOp op,
                                                   const char *fn,
                                                   _OrvoPhpParams *params,
                                                   unsigned long long seq);

#ifdef __cplusplus
}
#endif

#endif
