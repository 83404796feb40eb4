// What the interpreter's thread pays for a time stamp and for a log call
// that the threshold filters out. Baselines in the same run: a plain atomic
// load and clock_gettime(CLOCK_REALTIME).
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <benchmark/benchmark.h>

#include "engine/orvo_php_agent_globals.h"
#include "support/Log.h"
#include "support/LogFiles.h"
#include "support/Timestamp.h"

namespace {

void BM_AtomicLoad(benchmark::State &state) {
  std::atomic<uint64_t> value(1234567);
  for (auto _ : state) benchmark::DoNotOptimize(value.load());
}
BENCHMARK(BM_AtomicLoad);

void BM_ClockGettimeRealtime(benchmark::State &state) {
  for (auto _ : state) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    benchmark::DoNotOptimize(ts);
  }
}
BENCHMARK(BM_ClockGettimeRealtime);

void BM_CurrentTimeMillis(benchmark::State &state) {
  Timestamp *clock = createTimestampThread();
  for (auto _ : state) benchmark::DoNotOptimize(currentTimeMillis(clock));
  deleteTimestampThread(clock);
}
BENCHMARK(BM_CurrentTimeMillis);

// A debug line with arguments while the threshold is warning, as on the
// interpreter's hot path in production.
void BM_LogBelowThreshold(benchmark::State &state) {
  char dir[] = "/tmp/orvo_bench_log_XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  orvo_php_agent_globals.mainPid = getpid();
  initFileLogger(dir, 1);
  setLogLevel(LOG_LEVEL_WARNING);
  const std::string name = "SomeClass::someMethod";
  for (auto _ : state) logDebug("main", "tracing %s seq %d", name.c_str(), 42);
  destroyLogger();
  std::string file = std::string(dir) + "/orvo_php_agent_00001.log";
  unlink(file.c_str());
  rmdir(dir);
}
BENCHMARK(BM_LogBelowThreshold);

}  // namespace
