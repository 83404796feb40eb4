#include "LineInfo.h"


#include <cstring>

namespace orvo_collector {

namespace {

using rapidjson::SizeType;

template <size_t N>
bool same(const char *s, SizeType n, const char (&lit)[N]) {
  return n == N - 1 && std::memcmp(s, lit, N - 1) == 0;
}

LineOp opOf(const char *s, SizeType n) {
  if (same(s, n, "fnC")) return LineOp::FnC;
  if (same(s, n, "fnR")) return LineOp::FnR;
  if (same(s, n, "err")) return LineOp::Err;
  if (same(s, n, "dataConn")) return LineOp::DataConn;
  if (same(s, n, "commandConn")) return LineOp::CommandConn;
  return LineOp::Other;
}

// SAX handler that looks only at the top-level keys and at the keys of a
// top-level "prms" object; everything else is validated and skipped, with no
// document built.
class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler> {
 public:
  explicit Handler(LineInfo &info) : info_(info) {}

  bool Default() { return true; }
  bool String(const char *s, SizeType n, bool) {
    if (depth_ == 1) topValue(s, n, true);
    return true;
  }
  bool RawNumber(const char *s, SizeType n, bool) {
    if (depth_ == 1) topValue(s, n, false);
    return true;
  }
  bool Key(const char *s, SizeType n, bool) {
    if (depth_ == 1) {
      key_ = Top::Other;
      if (same(s, n, "op")) {
        key_ = Top::Op;
      } else if (same(s, n, "pid")) {
        key_ = Top::Pid;
      } else if (same(s, n, "instid")) {
        key_ = Top::Instid;
      } else if (same(s, n, "exc")) {
        info_.hasException = true;
      } else if (same(s, n, "prms")) {
        key_ = Top::Params;
        info_.hasParams = true;
      }
    } else if (depth_ == 2 && inParams_) {
      if (same(s, n, "frontend")) {
        info_.frontend = true;
      } else if (same(s, n, "query") || same(s, n, "stmtid")) {
        info_.sql = true;
      } else if (same(s, n, "method") || same(s, n, "resCode") ||
                 same(s, n, "resMsg")) {
        info_.http = true;
      }
    }
    return true;
  }
  bool StartObject() {
    if (++depth_ > kMaxNesting) return false;
    if (depth_ == 2 && key_ == Top::Params) inParams_ = true;
    return true;
  }
  bool EndObject(SizeType) {
    if (depth_ == 2) inParams_ = false;
    --depth_;
    return true;
  }
  bool StartArray() { return ++depth_ <= kMaxNesting; }
  bool EndArray(SizeType) {
    --depth_;
    return true;
  }

 private:
  enum class Top { Other, Op, Pid, Instid, Params };

  void topValue(const char *s, SizeType n, bool isString) {
    switch (key_) {
      case Top::Op:
        if (isString) info_.op = opOf(s, n);
        break;
      case Top::Pid:
        info_.hasPid = true;
        info_.pid.assign(s, n);
        break;
      case Top::Instid:
        info_.hasInstid = true;
        info_.instid.assign(s, n);
        break;
      default:
        break;
    }
  }

  LineInfo &info_;
  unsigned depth_ = 0;
  Top key_ = Top::Other;
  bool inParams_ = false;
};

void reset(LineInfo &info) {
  info.valid = false;
  info.op = LineOp::None;
  info.hasPid = false;
  info.pid.clear();
  info.hasInstid = false;
  info.instid.clear();
  info.hasException = false;
  info.hasParams = false;
  info.frontend = false;
  info.sql = false;
  info.http = false;
}

}  // namespace

void LineClassifier::classify(const char *data, size_t size, LineInfo &info) {
  reset(info);
  // Parsing a private copy in place is markedly faster than parsing the
  // line where it lies, which copies every string and number aside.
  scratch_.assign(data, data + size);
  scratch_.push_back('\0');
  rapidjson::InsituStringStream in(scratch_.data());
  Handler handler(info);
  rapidjson::ParseResult result =
      reader_.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag>(in, handler);
  // The parser takes a NUL byte for the end of its input, so a line such as
  // {"a":1}<NUL>garbage would pass; only a parse that used every byte counts.
  info.valid = !result.IsError() && in.Tell() == size;
  if (!info.valid) {
    reset(info);
  }
}

}  // namespace orvo_collector
