// The process clock: a small thread refreshes the wall-clock time in
// milliseconds every millisecond, so that the interpreter's thread reads the
// time of each event with one atomic load instead of a system call.
#ifndef ORVO_SUPPORT_TIMESTAMP_H
#define ORVO_SUPPORT_TIMESTAMP_H

#include <stdint.h>

#ifdef __cplusplus
#include <atomic>

#include <boost/thread/thread.hpp>

class Timestamp {
 public:
  Timestamp();
  ~Timestamp();

  Timestamp(const Timestamp &) = delete;
  Timestamp &operator=(const Timestamp &) = delete;

  void run();
  // Interrupts the clock thread and waits for it; readers refresh from then on.
  void stop();
  void refresh();
  void waitForFirstValue();
  // Never 0: a clock whose thread has not produced a value yet, or has
  // stopped, is refreshed on the reader's thread.
  unsigned long currentTimeMillis() {
    if (currentMillis.load() == 0 || !running.load()) refresh();
    return currentMillis.load();
  }
  bool isRunning() const { return running.load(); }

 private:
  std::atomic<uint64_t> currentMillis;
  std::atomic<bool> running;
  boost::thread thread;
};

extern "C" {
#else
typedef struct Timestamp Timestamp;
#endif

Timestamp *createTimestampThread(void);
void deleteTimestampThread(Timestamp *clock);
unsigned long currentTimeMillis(Timestamp *clock);

#ifdef __cplusplus
}
#endif

#endif
