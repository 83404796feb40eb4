// The probe's own threads must never receive the asynchronous signals meant
// for the server's process manager (termination, reload, child exit, timers,
// broken pipes). A thread inherits the signal mask of its creator, so the
// mask is set around thread creation: no signal can reach the new thread
// before it could block it itself.
#ifndef ORVO_SUPPORT_THREAD_SIGNALS_H
#define ORVO_SUPPORT_THREAD_SIGNALS_H

#include <signal.h>

class AsyncSignalsBlockedScope {
 public:
  AsyncSignalsBlockedScope();
  ~AsyncSignalsBlockedScope();

  AsyncSignalsBlockedScope(const AsyncSignalsBlockedScope &) = delete;
  AsyncSignalsBlockedScope &operator=(const AsyncSignalsBlockedScope &) =
      delete;

 private:
  sigset_t previous;
  bool restore;
};

// Blocks the asynchronous signals in the calling thread.
void blockAsyncSignalsInThisThread();

#endif
