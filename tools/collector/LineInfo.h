// What the collector needs to know about one received line: whether it is
// valid JSON, and the few top-level members it counts by.
#ifndef ORVO_COLLECTOR_LINE_INFO_H
#define ORVO_COLLECTOR_LINE_INFO_H

#include <rapidjson/reader.h>

#include <cstddef>
#include <string>
#include <vector>

namespace orvo_collector {

enum class LineOp { None, FnC, FnR, Err, DataConn, CommandConn, Other };

struct LineInfo {
  // The whole line (newline excluded) is exactly one JSON value, optionally
  // surrounded by whitespace. Syntax only: bytes >= 128 are not checked as
  // UTF-8, because the probe passes application bytes through unchanged.
  bool valid = false;
  // Top-level "op" when the line is an object and "op" is a string.
  LineOp op = LineOp::None;
  // Top-level "pid" and "instid", as text, whether sent as string or number.
  bool hasPid = false;
  std::string pid;
  bool hasInstid = false;
  std::string instid;
  bool hasException = false;  // top-level "exc" present
  bool hasParams = false;     // top-level "prms" present
  bool frontend = false;      // "prms" has "frontend"
  bool sql = false;           // "prms" has "query" or "stmtid"
  bool http = false;          // "prms" has "method", "resCode" or "resMsg"

  // The process a line belongs to: "pid", else "instid" (the command
  // connection's opening line only carries the latter).
  const std::string *processId() const {
    if (hasPid) return &pid;
    if (hasInstid) return &instid;
    return nullptr;
  }
};

// Lines nested deeper than this are reported as not valid. It keeps the
// parser's stack bounded on garbage such as megabytes of '['; the probe's
// lines are three levels deep at most.
constexpr unsigned kMaxNesting = 512;

// Classifies lines; keeps the parser's scratch memory between calls, so one
// instance per event loop avoids an allocation per line.
class LineClassifier {
 public:
  // `data` need not be NUL-terminated and may contain NUL bytes.
  void classify(const char *data, size_t size, LineInfo &info);

 private:
  rapidjson::Reader reader_;
  std::vector<char> scratch_;
};

}  // namespace orvo_collector

#endif
