// Captures what the probe logs in this process: makes the calling process
// the main process, sets up its log file in a temporary directory, and reads
// the lines back. Resets the log facade when it goes away.
#ifndef ORVO_TESTS_COMMON_LOG_CAPTURE_H
#define ORVO_TESTS_COMMON_LOG_CAPTURE_H

#include <string>
#include <vector>

#include "common/TestSupport.h"
#include "support/Log.h"

namespace orvo_test {

class LogCapture {
 public:
  explicit LogCapture(LogLevel level = LOG_LEVEL_TRACE);
  ~LogCapture();

  // Whole lines of the main-process file, as written.
  std::vector<std::string> lines() const;
  // Every line without its time stamp, tag and pid: "<label> <message>".
  std::vector<std::string> entries() const;
  // Number of lines written with exactly this label and message.
  int count(const std::string &label, const std::string &message) const;
  // Number of lines whose "<label> <message>" contains `part`.
  int countContaining(const std::string &part) const;
  // Waits until `count(label, message)` reaches `n` (or the deadline passes).
  bool waitForCount(const std::string &label, const std::string &message,
                    int n, int timeoutMs = 10000) const;
  const std::string &path() const { return file; }

 private:
  TempDir dir;
  std::string file;
};

}  // namespace orvo_test

#endif
