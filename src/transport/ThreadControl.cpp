#include "transport/ThreadControl.h"

#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "engine/orvo_php_agent_globals.h"
#include "support/Log.h"
#include "support/ThreadSignals.h"

namespace {

const long kNanosPerSecond = 1000000000L;

// Creates a joinable thread that starts with the asynchronous signals
// blocked. Returns 0 or the error number.
int createProbeThread(pthread_t *thread, OrvoPhpAgentThreadRoutine routine) {
  AsyncSignalsBlockedScope signalsBlocked;
  return pthread_create(thread, nullptr, routine, nullptr);
}

void closeWakePipeWriteEnd(ConnData *c) {
  if (c->wakePipe[1] >= 0) {
    close(c->wakePipe[1]);
    c->wakePipe[1] = -1;
  }
}

}  // namespace

extern "C" void orvoPhpAgentStartThread(ConnData *c,
                                        OrvoPhpAgentThreadRoutine readRoutine,
                                        OrvoPhpAgentThreadRoutine writeRoutine) {
  if (writeRoutine != nullptr) {
    logInfo(mainThreadName, "creating %s write thread", c->name);
    int rc = createProbeThread(&c->writeThread, writeRoutine);
    if (rc != 0) {
      logError(mainThreadName, "can't start %s write thread: %s", c->name,
               strerror(rc));
      c->writeThread = 0;
    }
  } else {
    c->writeThread = 0;
  }
  if (readRoutine != nullptr) {
    logInfo(mainThreadName, "creating %s read thread", c->name);
    int rc = createProbeThread(&c->readThread, readRoutine);
    if (rc != 0) {
      logError(mainThreadName, "can't start %s read thread: %s", c->name,
               strerror(rc));
      c->readThread = 0;
    }
  } else {
    c->readThread = 0;
  }
}

extern "C" void orvoPhpAgentStartChildProcessForkThread(
    ConnData *c, OrvoPhpAgentThreadRoutine routine) {
  if (routine == nullptr || createProbeThread(&c->forkThread, routine) != 0)
    c->forkThread = 0;
}

extern "C" void orvoPhpAgentStopThread(ConnData *c) {
  if (c->readThread == 0 && c->writeThread == 0) return;
  logInfo(mainThreadName, "telling %s  threads to exit", c->name);
  // A reader waiting in poll sees the read end hang up and returns at once.
  closeWakePipeWriteEnd(c);
  pthread_mutex_lock(&c->lock);
  c->exitFlag = 1;
  pthread_cond_broadcast(&c->cond);
  pthread_mutex_unlock(&c->lock);
}

extern "C" void orvoPhpAgentJoinSingleThread(pthread_t thread, const char *kind,
                                             const char *connectionName) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  double nanos = static_cast<double>(deadline.tv_nsec) +
                 orvo_php_agent_globals.threadExitWaitTime * kNanosPerSecond;
  if (nanos < 0) nanos = 0;
  deadline.tv_sec += static_cast<time_t>(nanos / kNanosPerSecond);
  deadline.tv_nsec = static_cast<long>(
      nanos - static_cast<double>(static_cast<time_t>(nanos / kNanosPerSecond)) *
                  kNanosPerSecond);
  if (deadline.tv_nsec >= kNanosPerSecond) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= kNanosPerSecond;
  }

  logInfo(mainThreadName, "waiting for %s %s thread to exit", connectionName,
          kind);
  int rc = pthread_timedjoin_np(thread, nullptr, &deadline);
  if (rc == 0) {
    logInfo(mainThreadName, "%s %s thread exited", connectionName, kind);
    return;
  }
  logInfo(mainThreadName, "pthread_timedjoin_np(%s): %s", connectionName,
          strerror(rc));
  if (rc != ETIMEDOUT) return;

  logInfo(mainThreadName, "trying to cancel %s %s thread", connectionName, kind);
  rc = pthread_cancel(thread);
  if (rc != 0)
    logInfo(mainThreadName, "pthread_cancel(%s): %s", connectionName,
            strerror(rc));
  logInfo(mainThreadName, "waiting for %s %s thread to exit after cancel",
          connectionName, kind);
  // The deadline has passed: this only collects a thread that has already
  // ended. One still on its way out is detached, so that it releases its
  // resources when it ends by itself.
  rc = pthread_timedjoin_np(thread, nullptr, &deadline);
  if (rc != 0) {
    logInfo(mainThreadName, "pthread_timedjoin_np(%s): %s", connectionName,
            strerror(rc));
    pthread_detach(thread);
  }
}

extern "C" void orvoPhpAgentJoinThread(ConnData *c) {
  if (c->readThread != 0) {
    orvoPhpAgentJoinSingleThread(c->readThread, "read", c->name);
    c->readThread = 0;
  }
  if (c->writeThread != 0) {
    orvoPhpAgentJoinSingleThread(c->writeThread, "write", c->name);
    c->writeThread = 0;
  }
}

extern "C" void orvoPhpAgentJoinChildProcessForkThread(ConnData *c) {
  if (c->forkThread != 0) {
    orvoPhpAgentJoinSingleThread(c->forkThread, "forkCallbackThread", c->name);
    c->forkThread = 0;
  }
}

extern "C" int orvoPhpAgentInitLock(ConnData *c) {
  int rc = pthread_mutex_init(&c->lock, nullptr);
  if (rc != 0) {
    logInfo(mainThreadName, "pthread_mutex_init: %s", strerror(rc));
    return -1;
  }
  // Waits on the condition are relative pauses: a monotonic clock keeps a
  // change of the wall clock from stretching them.
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  rc = pthread_cond_init(&c->cond, &attr);
  pthread_condattr_destroy(&attr);
  if (rc != 0) {
    logInfo(mainThreadName, "pthread_cond_init: %s", strerror(rc));
    pthread_mutex_destroy(&c->lock);
    return -1;
  }
  return 0;
}

extern "C" int orvoPhpAgentGetExitFlag(ConnData *c) {
  pthread_mutex_lock(&c->lock);
  int flag = c->exitFlag;
  pthread_mutex_unlock(&c->lock);
  return flag;
}

int waitForExitOrTimeout(ConnData *c, long millis) {
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += millis / 1000;
  deadline.tv_nsec += (millis % 1000) * 1000000L;
  if (deadline.tv_nsec >= kNanosPerSecond) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= kNanosPerSecond;
  }
  // Cancellation stays disabled here: the wait ends at once on an exit
  // request anyway, and a cancel inside it would leave the lock held.
  pthread_mutex_lock(&c->lock);
  while (c->exitFlag == 0) {
    if (pthread_cond_timedwait(&c->cond, &c->lock, &deadline) == ETIMEDOUT)
      break;
  }
  int flag = c->exitFlag;
  pthread_mutex_unlock(&c->lock);
  return flag;
}

int enterConnectionThread() {
  int rc = pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  return rc != 0 ? rc : pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
}
