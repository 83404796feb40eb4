#include "pipeline/DataQueueItem.h"

#include <string.h>

#include <new>

namespace {

static_assert(sizeof(DataQueueItem) == 120,
              "keep the record in the allocator's 128-byte class");

// A text longer than this is cut; no traced name, message or query comes
// near it, and it keeps every offset of a record inside 32 bits.
const size_t kMaxTextLength = size_t(1) << 28;

size_t boundedLength(const char *s) {
  if (!s) return 0;
  size_t n = strlen(s);
  return n < kMaxTextLength ? n : kMaxTextLength;
}

// Copies `s` (when present) to `*cursor` with its NUL and advances the
// cursor; returns the copy or null.
const char *place(const char *s, char **cursor) {
  if (!s) return nullptr;
  size_t n = boundedLength(s);
  char *copy = *cursor;
  memcpy(copy, s, n);
  copy[n] = '\0';
  *cursor += n + 1;
  return copy;
}

size_t placeSize(const char *s) { return s ? boundedLength(s) + 1 : 0; }

// The private copy of a parameter record: the record, its header array and
// every text in one block, released with one ::operator delete.
_OrvoPhpParams *copyParams(const _OrvoPhpParams *src) {
  if (!src) return nullptr;
  const int kind = src->kind;
  if (kind != ORVO_PARAMS_FRONTEND && kind != ORVO_PARAMS_SQL_BACKEND &&
      kind != ORVO_PARAMS_HTTP_BACKEND)
    return nullptr;

  // What is taken over, by kind. A frontend without a URI keeps nothing
  // else; trace and correlation ids travel together or not at all.
  const char *url = src->url, *host = nullptr, *port = nullptr,
             *method = nullptr, *traceId = nullptr, *corId = nullptr;
  int headerCount = 0;
  if (kind == ORVO_PARAMS_FRONTEND) {
    if (url) {
      host = src->host;
      port = src->port;
      method = src->httpMethod;
      if (src->txnTraceId && src->txnCorId) {
        traceId = src->txnTraceId;
        corId = src->txnCorId;
      }
      if (src->headerCount > 0 && src->headers) headerCount = src->headerCount;
    }
  } else if (kind == ORVO_PARAMS_SQL_BACKEND) {
    port = src->port;  // the SQL text
  } else {
    host = src->host;
    port = src->port;
    method = src->httpMethod;
  }

  size_t size = sizeof(_OrvoPhpParams) + headerCount * sizeof(HttpHeaderPair);
  size += placeSize(url) + placeSize(host) + placeSize(port) +
          placeSize(method) + placeSize(traceId) + placeSize(corId);
  for (int i = 0; i < headerCount; ++i)
    size += placeSize(src->headers[i].name) + placeSize(src->headers[i].value);

  char *block = static_cast<char *>(::operator new(size));
  _OrvoPhpParams *copy = new (block) _OrvoPhpParams();
  copy->kind = kind;
  char *cursor = block + sizeof(_OrvoPhpParams);
  if (headerCount > 0) {
    copy->headers = reinterpret_cast<HttpHeaderPair *>(cursor);
    copy->headerCount = headerCount;
    cursor += headerCount * sizeof(HttpHeaderPair);
  }
  copy->url = place(url, &cursor);
  if (kind == ORVO_PARAMS_SQL_BACKEND)
    copy->statementId = src->statementId;
  else
    copy->host = place(host, &cursor);
  copy->port = place(port, &cursor);
  copy->httpMethod = place(method, &cursor);
  copy->txnTraceId = place(traceId, &cursor);
  copy->txnCorId = place(corId, &cursor);
  for (int i = 0; i < headerCount; ++i) {
    copy->headers[i].name = place(src->headers[i].name, &cursor);
    copy->headers[i].value = place(src->headers[i].value, &cursor);
  }
  return copy;
}

}  // namespace

DataQueueItem::DataQueueItem(OrvoPhpAgentDataOp op, const char *fn,
                             unsigned long timestamp, unsigned long long seq,
                             const char *excClass, const char *excMsg,
                             const char *excFn, const char *excFile,
                             int excLine, const _OrvoPhpParams *params,
                             const char *cfAppName, const char *cfAppId,
                             const char *cfInstIdx)
    : op_(op),
      exceptionLine_(excFile ? excLine : 0),
      timestamp_(timestamp),
      seq_(seq),
      params_(nullptr),
      texts_(inlineTexts_) {
  const bool cloudFoundry = cfAppId && cfInstIdx;
  if (!cloudFoundry && !excClass && !excMsg && !excFn && !excFile) {
    // Most records are plain calls and returns: the name is the only text.
    const size_t n = boundedLength(fn);
    const uint32_t end = n ? static_cast<uint32_t>(n + 1) : 0;
    if (params) params_ = copyParams(params);
    if (end > kInlineTextBytes) {
      try {
        texts_ = static_cast<char *>(::operator new(end));
      } catch (...) {
        ::operator delete(params_);
        throw;
      }
    }
    if (n) {
      memcpy(texts_, fn, n);
      texts_[n] = '\0';
    }
    for (uint32_t &e : textEnd_) e = end;
    return;
  }
  const char *source[kTextCount] = {fn,
                                    cloudFoundry ? cfAppId : nullptr,
                                    cloudFoundry ? cfInstIdx : nullptr,
                                    cloudFoundry ? cfAppName : nullptr,
                                    excClass,
                                    excMsg,
                                    excFn,
                                    excFile};
  size_t length[kTextCount];
  size_t total = 0;
  for (int i = 0; i < kTextCount; ++i) {
    length[i] = boundedLength(source[i]);
    if (length[i]) total += length[i] + 1;
  }

  // The parameter copy first: if it cannot be made nothing else is held.
  if (params) params_ = copyParams(params);
  if (total > kInlineTextBytes) {
    try {
      texts_ = static_cast<char *>(::operator new(total));
    } catch (...) {
      ::operator delete(params_);
      throw;
    }
  }

  uint32_t offset = 0;
  for (int i = 0; i < kTextCount; ++i) {
    if (length[i]) {
      memcpy(texts_ + offset, source[i], length[i]);
      texts_[offset + length[i]] = '\0';
      offset += static_cast<uint32_t>(length[i] + 1);
    }
    textEnd_[i] = offset;
  }
}

DataQueueItem::~DataQueueItem() {
  if (texts_ != inlineTexts_) ::operator delete(texts_);
  if (params_) ::operator delete(params_);  // one block, trivial contents
}

const char *DataQueueItem::getOpStr() const {
  switch (op_) {
    case DATA_OP_CALL:
      return kOpCall;
    case DATA_OP_RETURN:
      return kOpReturn;
    default:
      return kError;
  }
}

const char *DataQueueItem::getSeqTag() const {
  switch (op_) {
    case DATA_OP_CALL:
      return kSeq;
    case DATA_OP_RETURN:
      return kCSeq;
    default:
      return kError;
  }
}
