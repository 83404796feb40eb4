// Starting, stopping and the bounded join of a connection's threads, and the
// connection's lock and exit flag that every blocking loop of the transport
// polls. An unresponsive collector can never hold the interpreter's
// shutdown: a thread that does not end within the configured wait is
// cancelled at one of its blocking calls.
#ifndef ORVO_TRANSPORT_THREAD_CONTROL_H
#define ORVO_TRANSPORT_THREAD_CONTROL_H

#include <pthread.h>

#include "transport/ConnData.h"

#ifdef __cplusplus
extern "C" {
#endif

// Thread routines find their connection record in the global state record;
// the argument is unused.
typedef void *(*OrvoPhpAgentThreadRoutine)(void *);

void orvoPhpAgentStartThread(ConnData *c, OrvoPhpAgentThreadRoutine readRoutine,
                             OrvoPhpAgentThreadRoutine writeRoutine);
void orvoPhpAgentStartChildProcessForkThread(ConnData *c,
                                             OrvoPhpAgentThreadRoutine routine);
void orvoPhpAgentStopThread(ConnData *c);
void orvoPhpAgentJoinThread(ConnData *c);
void orvoPhpAgentJoinChildProcessForkThread(ConnData *c);
void orvoPhpAgentJoinSingleThread(pthread_t thread, const char *kind,
                                  const char *connectionName);
int orvoPhpAgentInitLock(ConnData *c);
int orvoPhpAgentGetExitFlag(ConnData *c);

#ifdef __cplusplus
}

// Waits up to `millis` on the record's condition; returns at once when the
// threads are told to exit. Returns the exit flag.
int waitForExitOrTimeout(ConnData *c, long millis);

// The connection threads run with cancellation disabled and enable it only
// around their few blocking calls (connect, send, receive, poll), so that a
// cancel after the bounded join's time-out never lands in memory
// allocation, a destructor, a log write or while a lock is held.
class CancellationPoint {
 public:
  CancellationPoint() { pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous); }
  ~CancellationPoint() { pthread_setcancelstate(previous, nullptr); }
  CancellationPoint(const CancellationPoint &) = delete;
  CancellationPoint &operator=(const CancellationPoint &) = delete;

 private:
  int previous;
};

// First act of every connection thread: deferred cancellation, disabled
// outside the blocking calls. Returns 0 or the error number.
int enterConnectionThread();
#endif

#endif
