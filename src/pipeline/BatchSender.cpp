// Kept apart from the encoder so that code which only encodes (tests,
// benchmarks) does not pull in the collector connection.
#include <string>

#include "engine/orvo_php_agent_globals.h"
#include "pipeline/EventEncoding.h"
#include "transport/CollectorConnection.h"

int batchAndSendToCollector(DataQueue *q) {
  std::string batch;
  batchFunctionCalls(q, batch);
  return orvoPhpAgentSendToCollector(&orvo_php_agent_globals.dataConnection,
                                     batch.c_str(), dataQueueThreadName);
}
