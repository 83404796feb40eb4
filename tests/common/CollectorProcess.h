// The real orvo-collector, run as a child process for tests: listens on an
// ephemeral (or given) port on 127.0.0.1 and records every line it receives
// into a file the test reads back.
#ifndef ORVO_TESTS_COMMON_COLLECTOR_PROCESS_H
#define ORVO_TESTS_COMMON_COLLECTOR_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/TestSupport.h"

namespace orvo_test {

// The path of the built orvo-collector.
std::string collectorBinary();

class CollectorProcess {
 public:
  // Starts `orvo-collector --port <port> <args...>` and waits for its
  // "listening on" line; port 0 takes an ephemeral port. Unless `args` name
  // an --out file or `recordToFile` is false, the collector records into a
  // file of its own (outFile()).
  explicit CollectorProcess(const std::vector<std::string> &args = {},
                            int port = 0, bool recordToFile = true);
  // Stops it with SIGTERM (killing it if it does not end).
  ~CollectorProcess();
  CollectorProcess(const CollectorProcess &) = delete;
  CollectorProcess &operator=(const CollectorProcess &) = delete;

  int port() const { return boundPort; }
  std::string portText() const { return std::to_string(boundPort); }
  const std::string &listeningLine() const { return listening; }
  const std::string &outFile() const { return out; }

  // Every line recorded so far (complete lines only).
  std::vector<std::string> lines() const;

  // Writes to the collector's standard input (lines for command
  // connections), or closes it.
  void writeStdin(const std::string &text);
  void closeStdin();

  // Standard output after the "listening on" line, read so far; `stop`
  // reads it to its end (the summary).
  const std::string &output() const { return stdoutText; }
  bool waitForOutput(const std::function<bool(const std::string &)> &condition,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Sends `signal`, reads standard output to its end and reaps the process.
  // Returns the exit status, 128 + signal when killed, -1 on timeout.
  int stop(int signal = 15);

 private:
  bool readOutput(std::chrono::milliseconds timeout);

  TempDir dir;
  std::string out;
  pid_t pid = -1;
  int stdinFd = -1;
  int stdoutFd = -1;
  int boundPort = 0;
  std::string listening;
  std::string stdoutText;
};

}  // namespace orvo_test

#endif
