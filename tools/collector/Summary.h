// Counters per process id, printed at shutdown with --summary.
#ifndef ORVO_COLLECTOR_SUMMARY_H
#define ORVO_COLLECTOR_SUMMARY_H

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "LineInfo.h"

namespace orvo_collector {

// Order and names are the output format: keep them stable, add at the end.
enum Counter : unsigned {
  kLines,        // every line recorded
  kInvalid,      // lines that are not valid JSON (includes kPartial and kOverlong)
  kPartial,      // unterminated lines at the end of a connection
  kOverlong,     // lines cut at the line-length cap
  kDataConn,     // connections whose first line has op "dataConn"
  kCommandConn,  // connections whose first line has op "commandConn"
  kOtherConn,    // any other connection, including one that sent nothing
  kFnC,
  kFnR,
  kErr,
  kOtherOp,      // valid lines not counted above (a reply such as "arf", a
                 // second opening line, a JSON value that is not an object)
  // The next five count events only (op fnC, fnR or err).
  kFrontend,     // "prms" with "frontend"
  kException,    // "exc" present
  kBackend,      // "prms" without "frontend": SQL and HTTP backend records
  kSql,          // backend with "query" or "stmtid"
  kHttp,         // backend with "method", "resCode" or "resMsg"
  kSendDropped,  // lines not sent to a command connection whose backlog was full
  kCounterCount
};

const char *counterName(Counter c);

struct Counters {
  std::array<uint64_t, kCounterCount> n{};
  uint64_t &operator[](Counter c) { return n[c]; }
  uint64_t operator[](Counter c) const { return n[c]; }
};

// Numeric process ids in numeric order, then anything else in byte order.
struct ProcessIdOrder {
  bool operator()(const std::string &a, const std::string &b) const;
};

class Summary {
 public:
  // The bucket of a process id, created on first use. Ids are reduced to
  // [0-9A-Za-z_-] (64 characters at most) so that keys stay parseable; an
  // absent id is the bucket "unknown". References stay valid for the life of
  // the summary.
  Counters &bucket(const std::string *processId);

  // Counts one line. `opening` is set for a connection's first line: its
  // "dataConn" or "commandConn" op is then counted as that connection (by the
  // caller), not as another op.
  static void countLine(const LineInfo &info, bool opening, Counters &c);

  // "total.<counter>=N" for every counter, then "pid.<id>.<counter>=N" for
  // every counter of every process id, one per line.
  std::string render() const;

 private:
  std::map<std::string, Counters, ProcessIdOrder> byProcess_;
};

}  // namespace orvo_collector

#endif
