#include "pipeline/EventEncoding.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "engine/orvo_php_agent_globals.h"
#include "pipeline/DataQueue.h"
#include "pipeline/DataQueueItem.h"
#include "support/Log.h"

namespace {

// Every checked write (a text) leaves at least this much room behind it, so
// the literals and numbers that follow it up to the next text are written
// without a check. The longest such run in a line is under 100 bytes.
const size_t kHeadroom = 256;
// How far ahead of the write position the output string is grown inside
// its reserved capacity: std::string zero-fills what it grows by, and doing
// that in small steps keeps the filled bytes in cache for the writes that
// overwrite them.
const size_t kGrowStep = 64 * 1024;

// Bytes that must be escaped: control bytes, the double quote, the
// backslash.
struct EscapeTable {
  bool needed[256];
  constexpr EscapeTable() : needed() {
    for (int c = 0; c < 256; ++c) needed[c] = c < 0x20 || c == '"' || c == '\\';
  }
};
constexpr EscapeTable kEscape;

const char kHexDigits[] = "0123456789abcdef";

const char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536"
    "37383940414243444546474849505152535455565758596061626364656667686970717273"
    "7475767778798081828384858687888990919293949596979899";

inline unsigned decimalDigits(uint64_t v) {
  unsigned n = 1;
  for (;;) {
    if (v < 10) return n;
    if (v < 100) return n + 1;
    if (v < 1000) return n + 2;
    if (v < 10000) return n + 3;
    v /= 10000;
    n += 4;
  }
}

// Writes `v` in decimal at `out` (at most 20 bytes); returns the end.
inline char *writeDecimal(char *out, uint64_t v) {
  const unsigned n = decimalDigits(v);
  char *p = out + n;
  while (v >= 100) {
    const unsigned i = static_cast<unsigned>(v % 100) * 2;
    v /= 100;
    p -= 2;
    memcpy(p, kDigitPairs + i, 2);
  }
  if (v >= 10) {
    memcpy(p - 2, kDigitPairs + v * 2, 2);
  } else {
    p[-1] = static_cast<char>('0' + v);
  }
  return out + n;
}

inline char *writeEscape(char *o, unsigned char c) {
  memcpy(o, "\\u00", 4);
  o[4] = kHexDigits[c >> 4];
  o[5] = kHexDigits[c & 15];
  return o + 6;
}

// Appends to a std::string through a raw pointer: the string is kept a
// little longer than what was written, and cut to the written length by
// finish() (or when the writer goes away).
class LineWriter {
 public:
  explicit LineWriter(std::string &out) : out_(out) {
    base_ = out_.data();
    cur_ = base_ + out_.size();
    end_ = cur_;
  }
  ~LineWriter() { finish(); }
  LineWriter(const LineWriter &) = delete;
  LineWriter &operator=(const LineWriter &) = delete;

  size_t size() const { return static_cast<size_t>(cur_ - base_); }
  void finish() {
    out_.resize(size());
    end_ = cur_;
  }

  void ensure(size_t n) {
    if (static_cast<size_t>(end_ - cur_) < n) grow(n);
  }

  // Unchecked: only within the headroom of the last checked write.
  template <size_t N>
  void lit(const char (&s)[N]) {
    memcpy(cur_, s, N - 1);
    cur_ += N - 1;
  }
  void byte(char c) { *cur_++ = c; }
  void number(uint64_t v) { cur_ = writeDecimal(cur_, v); }
  void signedNumber(int v) {
    int64_t wide = v;
    if (wide < 0) {
      *cur_++ = '-';
      wide = -wide;
    }
    number(static_cast<uint64_t>(wide));
  }

  // Checked: bytes copied unchanged (for texts known to need no escape).
  void raw(const char *s, size_t n) {
    ensure(n + kHeadroom);
    memcpy(cur_, s, n);
    cur_ += n;
  }

  // Checked: a text value, escaped.
  void text(const char *s, size_t n) {
    ensure(6 * n + kHeadroom);
    char *o = cur_;
    size_t i = 0;
#ifdef __SSE2__
    // Sixteen bytes at a time: copy the block, and if it holds a byte to
    // escape, keep only what precedes it. The room ensured above covers the
    // speculative store.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i lastControl = _mm_set1_epi8(0x1f);
    while (i + 16 <= n) {
      const __m128i v =
          _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(o), v);
      const __m128i special = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
          _mm_cmpeq_epi8(_mm_min_epu8(v, lastControl), v));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
      if (mask == 0) {
        i += 16;
        o += 16;
        continue;
      }
      const unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
      o += k;
      i += k;
      o = writeEscape(o, static_cast<unsigned char>(s[i]));
      ++i;
    }
#endif
    for (; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (kEscape.needed[c])
        o = writeEscape(o, c);
      else
        *o++ = static_cast<char>(c);
    }
    cur_ = o;
  }
  void text(std::string_view v) { text(v.data(), v.size()); }
  // A missing text is written as an empty one.
  void text(const char *s) { text(s ? s : "", s ? strlen(s) : 0); }

 private:
  void grow(size_t n) {
    const size_t used = size();
    const size_t need = used + n;
    const size_t capacity = out_.capacity();
    size_t target;
    if (need <= capacity)
      target = std::min(capacity, std::max(need, used + kGrowStep));
    else
      target = std::max(need, 2 * capacity);
    out_.resize(target);
    base_ = out_.data();
    cur_ = base_ + used;
    end_ = base_ + target;
  }

  std::string &out_;
  char *base_;
  char *cur_;
  char *end_;
};

// The JSON number grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJsonNumber(const char *s) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (*s == '-') ++s;
  if (*s == '0') {
    ++s;
  } else if (*s >= '1' && *s <= '9') {
    while (digit(*s)) ++s;
  } else {
    return false;
  }
  if (*s == '.') {
    ++s;
    if (!digit(*s)) return false;
    while (digit(*s)) ++s;
  }
  if (*s == 'e' || *s == 'E') {
    ++s;
    if (*s == '+' || *s == '-') ++s;
    if (!digit(*s)) return false;
    while (digit(*s)) ++s;
  }
  return *s == '\0';
}

void writeException(LineWriter &w, const DataQueueItem &item) {
  const std::string_view cls = item.getExceptionClass();
  const std::string_view msg = item.getExceptionMsg();
  if (cls.empty() && msg.empty()) return;
  w.lit(",\"exc\":{");
  if (!cls.empty()) {
    w.lit("\"class\":\"");
    w.text(cls);
    w.byte('"');
    if (!msg.empty()) w.byte(',');
  }
  if (!msg.empty()) {
    w.lit("\"msg\":\"");
    w.text(msg);
    w.byte('"');
  }
  const std::string_view fn = item.getExceptionFn();
  if (!fn.empty()) {
    w.lit(",\"fn\":\"");
    w.text(fn);
    w.byte('"');
  }
  const std::string_view file = item.getExceptionFile();
  if (!file.empty()) {
    w.lit(",\"file\":\"");
    w.text(file);
    w.lit("\",\"line\":\"");
    w.signedNumber(item.getExceptionLine());
    w.byte('"');
  }
  w.byte('}');
}

void writeFrontend(LineWriter &w, const DataQueueItem &item,
                   const _OrvoPhpParams &p) {
  if (!p.url) return;
  w.lit(",\"prms\":{\"url\":\"");
  w.text(p.url);
  w.lit("\",\"frontend\":\"true\",\"hostName\":\"");
  w.text(p.host);
  w.byte('"');
  if (p.port) {
    w.lit(",\"hostPort\":\"");
    w.text(p.port);
    w.byte('"');
  }
  w.lit(",\"httpMethod\":\"");
  w.text(p.httpMethod);
  w.byte('"');
  // The ids travel together; an empty one counts as missing.
  if (p.txnTraceId && *p.txnTraceId && p.txnCorId && *p.txnCorId) {
    w.lit(",\"traceId\":\"");
    w.text(p.txnTraceId);
    w.lit("\",\"corId\":\"");
    w.text(p.txnCorId);
    w.byte('"');
    const char *appId = item.getCFAppID();
    const char *index = item.getCFInstIdx();
    const char *name = item.getCFAppName();
    if (appId && index && name) {
      w.lit(",\"ATTR_CloudFoundry_Container_Index\":\"");
      w.text(appId);
      w.byte(':');
      w.text(name);
      w.byte(':');
      w.text(index);
      w.byte('"');
    }
  }
  if (p.headerCount != 0) {
    w.lit(",\"hdrs\":{");
    for (int i = 0; i < p.headerCount; ++i) {
      if (i) w.byte(',');
      w.byte('"');
      w.text(p.headers[i].name);
      w.lit("\":\"");
      w.text(p.headers[i].value);
      w.byte('"');
    }
    w.byte('}');
  }
  w.byte('}');
}

void writeSqlBackend(LineWriter &w, const _OrvoPhpParams &p) {
  w.lit(",\"prms\":{");
  bool written = false;
  if (p.url) {
    w.lit("\"url\":\"");
    w.text(p.url);
    w.byte('"');
    written = true;
  }
  if (p.port) {
    if (written) w.byte(',');
    w.lit("\"query\":\"");
    w.text(p.port);
    w.byte('"');
    written = true;
  }
  if (p.statementId != 0) {
    if (written) w.byte(',');
    w.lit("\"stmtid\":\"");
    w.number(p.statementId);
    w.byte('"');
  }
  w.byte('}');
}

void writeHttpBackend(LineWriter &w, const _OrvoPhpParams &p) {
  w.lit(",\"prms\":{");
  if (p.url) {
    w.lit("\"url\":\"");
    w.text(p.url);
    w.byte('"');
    if (p.host) {
      w.lit(",\"method\":\"");
      w.text(p.host);
      w.byte('"');
    }
  }
  if (p.port) {
    if (p.url) w.byte(',');
    w.lit("\"resCode\":");
    // Unquoted only when the collector can read it as a number.
    if (isJsonNumber(p.port)) {
      w.raw(p.port, strlen(p.port));
    } else {
      w.byte('"');
      w.text(p.port);
      w.byte('"');
    }
    w.lit(",\"resMsg\":\"");
    w.text(p.httpMethod);
    w.byte('"');
  }
  w.byte('}');
}

// `pid` is already escaped (a decimal needs nothing).
void writeLine(LineWriter &w, const DataQueueItem &item, const char *pid,
               size_t pidLength) {
  w.ensure(kHeadroom);
  switch (item.getOp()) {
    case DATA_OP_CALL:
      w.lit("{\"op\":\"fnC\",\"ts\":");
      break;
    case DATA_OP_RETURN:
      w.lit("{\"op\":\"fnR\",\"ts\":");
      break;
    default:
      w.lit("{\"op\":\"err\",\"ts\":");
      break;
  }
  w.number(item.getTimestamp());
  w.lit(",\"fn\":\"");
  w.text(item.getFuncNameStr());
  w.lit("\",\"pid\":\"");
  w.raw(pid, pidLength);
  switch (item.getOp()) {
    case DATA_OP_CALL:
      w.lit("\",\"seq\":");
      break;
    case DATA_OP_RETURN:
      w.lit("\",\"cseq\":");
      break;
    default:
      w.lit("\",\"err\":");
      break;
  }
  w.number(item.getSeq());
  writeException(w, item);
  if (const _OrvoPhpParams *p = item.getParams()) {
    switch (p->kind) {
      case ORVO_PARAMS_FRONTEND:
        writeFrontend(w, item, *p);
        break;
      case ORVO_PARAMS_SQL_BACKEND:
        writeSqlBackend(w, *p);
        break;
      case ORVO_PARAMS_HTTP_BACKEND:
        writeHttpBackend(w, *p);
        break;
      default:
        break;
    }
  }
  w.lit("}\n");
}

}  // namespace

std::string convertToSafeJSONstring(std::string text) {
  std::string out;
  {
    LineWriter w(out);
    w.text(text.data(), text.size());
  }
  return out;
}

void appendFunctionCall(std::string &out, DataQueueItem *item,
                        const char *pidText) {
  if (!item) return;
  const std::string pid = convertToSafeJSONstring(pidText ? pidText : "");
  LineWriter w(out);
  writeLine(w, *item, pid.data(), pid.size());
}

unsigned batchFunctionCalls(DataQueue *q, std::string &out) {
  if (!q) return 0;
  unsigned count = 0;
  DataQueueItem *current = nullptr;
  size_t lineStart = out.size();
  try {
    out.reserve(out.size() + kFunctionCallJSONBatchSize * kLongestJSONStringLen);
    char pid[24];
    const size_t pidLength = static_cast<size_t>(
        writeDecimal(pid, static_cast<size_t>(getpid())) - pid);
    LineWriter w(out);
    while (count < kFunctionCallJSONBatchSize && (current = q->dequeue())) {
      lineStart = w.size();
      writeLine(w, *current, pid, pidLength);
      delete current;
      current = nullptr;
      ++count;
    }
  } catch (const std::bad_alloc &) {
    // The writer has already cut `out` to what was written; drop the line
    // that was cut short so that the batch ends on a whole line.
    out.resize(lineStart);
    delete current;
    logError(dataQueueThreadName,
             "out of memory while building a batch: %u events kept, one lost",
             count);
  }
  return count;
}
