// Events as the collector reads them: one JSON object per event, one line
// per object, in batches of up to 50000 lines sent at once.
//
// Runs on the data connection's write thread, the queue's only consumer.
// Every text value is escaped, so every line is valid JSON whatever the
// application put into names, messages, paths, URLs or headers.
#ifndef ORVO_PIPELINE_EVENT_ENCODING_H
#define ORVO_PIPELINE_EVENT_ENCODING_H

#include <stddef.h>

#include <string>

class DataQueue;
class DataQueueItem;

// Most records per batch.
const unsigned kFunctionCallJSONBatchSize = 50000;
// Assumed bytes per line: a batch reserves 50000 lines of this before the
// first is written. Lines are never cut to it; a longer batch just grows.
const size_t kLongestJSONStringLen = 164;

// Escapes every byte below 32, every double quote and every backslash as
// \u00XX (lower-case hex); every other byte, UTF-8 and 127 included, is
// copied unchanged.
std::string convertToSafeJSONstring(std::string text);

// Appends the line of `item`, newline included; a null item appends
// nothing. `pidText` is the process id as a decimal.
void appendFunctionCall(std::string &out, DataQueueItem *item,
                        const char *pidText);

// Moves up to kFunctionCallJSONBatchSize records from `q` into `out` as
// lines, destroying each as soon as its line is written; returns how many.
// If memory runs out mid-batch, `out` keeps the lines that were complete
// and the record being written is lost (with an error line).
unsigned batchFunctionCalls(DataQueue *q, std::string &out);

// Builds one batch and sends it on the data connection of the global state
// record: 0 when sent, negative when the connection gave up. The records
// are gone either way; a failed batch is not queued again.
int batchAndSendToCollector(DataQueue *q);

#endif
