// The collector's event loop: one thread, non-blocking sockets, poll().
#ifndef ORVO_COLLECTOR_COLLECTOR_H
#define ORVO_COLLECTOR_COLLECTOR_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "LineInfo.h"
#include "OutSink.h"
#include "Summary.h"

namespace orvo_collector {

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 5005;
  std::string outPath;  // empty: standard output
  std::vector<std::string> onConnect;
  bool summary = false;
  // Longest line kept whole, newline excluded. A longer line is recorded cut
  // to this many bytes and the rest of it is dropped; it also bounds what is
  // buffered per connection.
  size_t maxLine = 16u << 20;
};

class Collector {
 public:
  // `stopFd` becomes readable when the collector is to end (the read end of
  // the signal handler's pipe).
  Collector(Options options, int stopFd);
  ~Collector();
  Collector(const Collector &) = delete;
  Collector &operator=(const Collector &) = delete;

  // Opens the out file, binds and listens. False with error() set.
  bool open();
  const std::string &error() const { return error_; }
  // "H:P" as bound: numeric host (IPv6 in brackets) and the actual port.
  const std::string &boundAddress() const { return boundAddress_; }

  // Serves until `stopFd` is readable, then records what the connections
  // left unterminated and flushes. False when writing the out file failed.
  bool run();

  // The counters; empty unless Options::summary.
  std::string summaryText() const;

 private:
  struct Connection;
  using Clock = std::chrono::steady_clock;

  void acceptAll();
  void readFrom(Connection &c);
  void reserveInput(Connection &c, bool lastReadFilled);
  void consume(Connection &c, size_t from);
  void recordLines(Connection &c, const char *data, size_t size);
  void handleLine(Connection &c, const char *data, size_t size);
  void recordCutLine(Connection &c, const char *data, size_t size,
                     Counter why);
  void openConnection(Connection &c, const LineInfo &info);
  Counters &countersFor(Connection &c, const LineInfo &info);
  void closeConnection(Connection &c);
  void queueSend(Connection &c, const std::string &line);
  void sendBacklog(Connection &c);
  void readStdin();
  void broadcast(const std::string &line);
  void flushOut();

  Options options_;
  int stopFd_;
  int listenFd_ = -1;
  std::string boundAddress_;
  std::string error_;
  OutSink sink_;
  std::unique_ptr<Summary> summary_;
  LineClassifier classifier_;
  LineInfo info_;
  const LineInfo noInfo_;
  std::vector<std::unique_ptr<Connection>> connections_;
  bool stdinOpen_ = true;
  std::string stdinLine_;
  bool stdinSkipping_ = false;
  Clock::time_point lastFlush_;
  Clock::time_point acceptPausedUntil_;
};

}  // namespace orvo_collector

#endif
