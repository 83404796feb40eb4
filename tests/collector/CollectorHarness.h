// Runs the real orvo-collector as a child process and talks to it over real
// sockets on 127.0.0.1.
#ifndef ORVO_TESTS_COLLECTOR_HARNESS_H
#define ORVO_TESTS_COLLECTOR_HARNESS_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace collector_test {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `timeout` passes; its last value.
bool waitFor(const std::function<bool()> &condition,
             std::chrono::milliseconds timeout = 10s);

std::string readFile(const std::string &path);
size_t countLines(const std::string &text);
// "key=value" lines into a map; other lines are ignored.
std::map<std::string, uint64_t> parseSummary(const std::string &text);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs `argv` and returns its exit status (128 + signal when killed),
// with stdout and stderr discarded, waiting at most 10 s.
int runToExit(const std::vector<std::string> &args);

class CollectorProcess {
 public:
  // Starts orvo-collector --port 0 with `args` and reads its first line.
  explicit CollectorProcess(const std::vector<std::string> &args);
  ~CollectorProcess();
  CollectorProcess(const CollectorProcess &) = delete;
  CollectorProcess &operator=(const CollectorProcess &) = delete;

  const std::string &listeningLine() const { return listening_; }
  uint16_t port() const { return port_; }

  void writeStdin(const std::string &text);
  void closeStdin();

  // Reads standard output (after the first line) until `condition` holds
  // on all of it so far; returns its last value.
  bool waitForOutput(const std::function<bool(const std::string &)> &condition,
                     std::chrono::milliseconds timeout = 10s);
  const std::string &output() const { return output_; }

  // Sends `signal`, reads standard output to its end and reaps the process.
  // Returns the exit status, 128 + signal when killed, -1 on timeout.
  int stop(int signal);

 private:
  bool readOutput(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string listening_;
  std::string output_;
  uint16_t port_ = 0;
};

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
