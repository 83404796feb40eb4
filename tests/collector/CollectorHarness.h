// What the collector's tests need beyond the shared test helpers: reading
// the summary, running the binary to its exit, and a plain client socket.
#ifndef ORVO_TESTS_COLLECTOR_HARNESS_H
#define ORVO_TESTS_COLLECTOR_HARNESS_H

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/CollectorProcess.h"
#include "common/TestSupport.h"

namespace collector_test {

using namespace std::chrono_literals;
using orvo_test::CollectorProcess;
using orvo_test::readFile;
using orvo_test::TempDir;
using orvo_test::waitFor;

size_t countLines(const std::string &text);
// "key=value" lines into a map; other lines are ignored.
std::map<std::string, uint64_t> parseSummary(const std::string &text);

// Runs orvo-collector with `args` and returns its exit status (128 + signal
// when killed), with stdout and stderr discarded, waiting at most 10 s.
int runToExit(const std::vector<std::string> &args);

class Client {
 public:
  explicit Client(uint16_t port, int receiveBuffer = 0);
  ~Client();
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  void send(const std::string &bytes);
  // Reads until `bytes` bytes arrived or the timeout passed.
  std::string receive(size_t bytes, std::chrono::milliseconds timeout = 10s);
  // What has arrived so far, without waiting.
  std::string receiveNow();
  void close();

 private:
  int fd_ = -1;
};

}  // namespace collector_test

#endif
