#include "support/ThreadSignals.h"

#include <pthread.h>

namespace {

// Everything but the signals that report a fault of the thread itself:
// those must still reach the thread that caused them.
void asyncSignalSet(sigset_t *set) {
  sigfillset(set);
  const int synchronous[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL,
                             SIGTRAP, SIGABRT, SIGSYS};
  for (int sig : synchronous) sigdelset(set, sig);
}

}  // namespace

AsyncSignalsBlockedScope::AsyncSignalsBlockedScope() {
  sigset_t set;
  asyncSignalSet(&set);
  restore = pthread_sigmask(SIG_BLOCK, &set, &previous) == 0;
}

AsyncSignalsBlockedScope::~AsyncSignalsBlockedScope() {
  if (restore) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void blockAsyncSignalsInThisThread() {
  sigset_t set;
  asyncSignalSet(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}
