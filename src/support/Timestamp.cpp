#include "support/Timestamp.h"

#include <pthread.h>
#include <sys/time.h>

#include <boost/chrono/duration.hpp>

#include "support/ThreadSignals.h"

namespace {
const int kTimeStampPeriod = 1000;  // microseconds
const int kStarupRetries = 3;
}  // namespace

Timestamp::Timestamp() : currentMillis(0), running(false) {
  AsyncSignalsBlockedScope signalsBlocked;
  thread = boost::thread(&Timestamp::run, this);
}

Timestamp::~Timestamp() { stop(); }

void Timestamp::stop() {
  thread.interrupt();
  if (thread.joinable()) thread.join();
}

void Timestamp::run() {
  pthread_setname_np(pthread_self(), "orvo-clock");
  running.store(true);
  try {
    while (running.load()) {
      refresh();
      boost::this_thread::sleep_for(boost::chrono::microseconds(kTimeStampPeriod));
    }
  } catch (const boost::thread_interrupted &) {
  }
  running.store(false);
}

void Timestamp::refresh() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  currentMillis.store(static_cast<uint64_t>(now.tv_sec) * 1000 +
                      static_cast<uint64_t>(now.tv_usec) / 1000);
}

void Timestamp::waitForFirstValue() {
  for (int i = 0; i < kStarupRetries && currentMillis.load() == 0; ++i)
    boost::this_thread::sleep_for(boost::chrono::milliseconds(1));
}

extern "C" Timestamp *createTimestampThread(void) {
  try {
    Timestamp *clock = new Timestamp();
    clock->waitForFirstValue();
    return clock;
  } catch (...) {
    // No clock: events carry time 0 rather than stopping the interpreter.
    return nullptr;
  }
}

extern "C" void deleteTimestampThread(Timestamp *clock) { delete clock; }

extern "C" unsigned long currentTimeMillis(Timestamp *clock) {
  return clock == nullptr ? 0 : clock->currentTimeMillis();
}
