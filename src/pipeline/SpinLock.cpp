#include "pipeline/SpinLock.h"

#include <time.h>

void SpinLock::acquire() {
  while (locked.exchange(true, std::memory_order_acquire)) {
    struct timespec pause = {0, static_cast<long>(kSpinLockSleep) * 1000};
    nanosleep(&pause, nullptr);
  }
}
