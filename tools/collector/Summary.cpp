#include "Summary.h"

#include <algorithm>

namespace orvo_collector {

namespace {

const char *const kNames[kCounterCount] = {
    "lines",    "invalid",   "partial",     "overlong",  "dataConn",
    "commandConn", "otherConn", "fnC",      "fnR",       "err",
    "otherOp",  "frontend",  "exception",   "backend",   "sql",
    "http",     "sendDropped"};

constexpr size_t kMaxIdLength = 64;

bool allDigits(const std::string &s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char ch) {
           return ch >= '0' && ch <= '9';
         });
}

std::string keyFor(const std::string *processId) {
  if (processId == nullptr || processId->empty()) return "unknown";
  std::string key = processId->substr(0, kMaxIdLength);
  for (char &ch : key) {
    bool keep = (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') ||
                (ch >= 'A' && ch <= 'Z') || ch == '_' || ch == '-';
    if (!keep) ch = '_';
  }
  return key;
}

void renderCounters(std::string &out, const std::string &prefix,
                    const Counters &c) {
  for (unsigned i = 0; i < kCounterCount; ++i) {
    out += prefix;
    out += kNames[i];
    out += '=';
    out += std::to_string(c.n[i]);
    out += '\n';
  }
}

}  // namespace

const char *counterName(Counter c) { return kNames[c]; }

bool ProcessIdOrder::operator()(const std::string &a,
                                const std::string &b) const {
  bool da = allDigits(a), db = allDigits(b);
  if (da != db) return da;
  if (da) {
    // Leading zeros aside (the probe writes none), the shorter is smaller.
    if (a.size() != b.size()) return a.size() < b.size();
  }
  return a < b;
}

Counters &Summary::bucket(const std::string *processId) {
  return byProcess_[keyFor(processId)];
}

void Summary::countLine(const LineInfo &info, bool opening, Counters &c) {
  ++c[kLines];
  if (!info.valid) {
    ++c[kInvalid];
    return;
  }
  switch (info.op) {
    case LineOp::FnC:
      ++c[kFnC];
      break;
    case LineOp::FnR:
      ++c[kFnR];
      break;
    case LineOp::Err:
      ++c[kErr];
      break;
    case LineOp::DataConn:
    case LineOp::CommandConn:
      if (!opening) ++c[kOtherOp];
      return;
    default:
      ++c[kOtherOp];
      return;
  }
  // Only events carry exceptions and parameter records; the command
  // connection's opening line has a "prms" of its own that is neither.
  if (info.hasException) ++c[kException];
  if (info.hasParams) {
    if (info.frontend) {
      ++c[kFrontend];
    } else {
      ++c[kBackend];
      if (info.sql) ++c[kSql];
      if (info.http) ++c[kHttp];
    }
  }
}

std::string Summary::render() const {
  Counters total;
  for (const auto &entry : byProcess_)
    for (unsigned i = 0; i < kCounterCount; ++i) total.n[i] += entry.second.n[i];
  std::string out;
  renderCounters(out, "total.", total);
  for (const auto &entry : byProcess_)
    renderCounters(out, "pid." + entry.first + ".", entry.second);
  return out;
}

}  // namespace orvo_collector
