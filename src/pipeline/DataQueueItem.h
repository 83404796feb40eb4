// One event on its way from the interpreter's thread to the collector.
//
// A record deep-copies every text it is given, so the interpreter may free
// its buffers as soon as the constructor returns, and is never changed after
// construction: the write thread reads it, writes its JSON line and deletes
// it.
//
// Layout. The interpreter's thread builds one record per traced call and per
// return, and up to the queue's maximum capacity of them may wait in memory,
// so the record keeps its eight texts (function name, Cloud Foundry
// identity, exception details) in one character block instead of eight
// string objects: each non-empty text is stored with its terminating NUL,
// one after the other, and `textEnd_` holds the offset just past each one.
// A record whose texts fit into `inlineTexts_` (a plain call with a
// function name of up to 47 bytes) is a single allocation; otherwise the
// texts take one more. The attached parameter copy is one allocation
// too: the record, its header array and all its texts in one block.
#ifndef ORVO_PIPELINE_DATA_QUEUE_ITEM_H
#define ORVO_PIPELINE_DATA_QUEUE_ITEM_H

#include <stddef.h>
#include <stdint.h>

#include <string_view>

#include "pipeline/OrvoPhpParams.h"

// The op texts and sequence keys of the JSON lines.
inline constexpr char kOpCall[] = "fnC";
inline constexpr char kOpReturn[] = "fnR";
inline constexpr char kError[] = "err";
inline constexpr char kSeq[] = "seq";
inline constexpr char kCSeq[] = "cseq";

class DataQueueItem {
 public:
  // `fn` is required (a null one is stored as an empty name); every other
  // text may be null and leaves its field empty. `excLine` is kept only
  // together with `excFile`. The Cloud Foundry identity is kept only when
  // both `cfAppId` and `cfInstIdx` are given. `params` is copied when its
  // kind is 1, 2 or 3 and stays the caller's. Throws std::bad_alloc when
  // memory runs out, with nothing left allocated.
  DataQueueItem(OrvoPhpAgentDataOp op, const char *fn, unsigned long timestamp,
                unsigned long long seq, const char *excClass,
                const char *excMsg, const char *excFn, const char *excFile,
                int excLine, const _OrvoPhpParams *params,
                const char *cfAppName, const char *cfAppId,
                const char *cfInstIdx);
  ~DataQueueItem();

  DataQueueItem(const DataQueueItem &) = delete;
  DataQueueItem &operator=(const DataQueueItem &) = delete;

  OrvoPhpAgentDataOp getOp() const { return op_; }
  // "fnC", "fnR", or "err" for any other kind.
  const char *getOpStr() const;
  // "seq", "cseq", or "err" for any other kind.
  const char *getSeqTag() const;
  unsigned long getTimestamp() const { return timestamp_; }
  unsigned long long getSeq() const { return seq_; }

  // Views into the record, valid while it lives. Each is followed by a NUL,
  // so data() may be passed on as a C string. Empty when absent.
  std::string_view getFuncNameStr() const { return text(kFuncName); }
  std::string_view getExceptionClass() const { return text(kExcClass); }
  std::string_view getExceptionMsg() const { return text(kExcMsg); }
  std::string_view getExceptionFn() const { return text(kExcFn); }
  std::string_view getExceptionFile() const { return text(kExcFile); }
  int getExceptionLine() const { return exceptionLine_; }

  // Null when not running under Cloud Foundry.
  const char *getCFAppID() const { return cText(kCfAppId); }
  const char *getCFInstIdx() const { return cText(kCfInstIdx); }
  const char *getCFAppName() const { return cText(kCfAppName); }

  bool isFrontend() const { return hasKind(ORVO_PARAMS_FRONTEND); }
  bool isBackend() const { return hasKind(ORVO_PARAMS_SQL_BACKEND); }
  bool isHttpBackend() const { return hasKind(ORVO_PARAMS_HTTP_BACKEND); }

  // Frontend copy members; null for any other record.
  const char *getUrl() const { return frontend() ? params_->url : nullptr; }
  const char *getHost() const { return frontend() ? params_->host : nullptr; }
  const char *getPort() const { return frontend() ? params_->port : nullptr; }
  const char *getHttpMethod() const {
    return frontend() ? params_->httpMethod : nullptr;
  }
  const char *getTxnTraceId() const {
    return frontend() ? params_->txnTraceId : nullptr;
  }
  const char *getTxnCorId() const {
    return frontend() ? params_->txnCorId : nullptr;
  }
  int getHeaderBufferSize() const {
    return frontend() ? params_->headerCount : 0;
  }
  const char *getHttpHeaderName(int i) const {
    return header(i) ? header(i)->name : nullptr;
  }
  const char *getHttpHeaderValue(int i) const {
    return header(i) ? header(i)->value : nullptr;
  }

  // SQL backend copy members; null (0) for any other record.
  const char *getJDBCUrl() const { return isBackend() ? params_->url : nullptr; }
  const char *getSqlQuery() const {
    return isBackend() ? params_->port : nullptr;
  }
  unsigned long long getStatementId() const {
    return isBackend() ? params_->statementId : 0;
  }

  // HTTP backend copy members; null for any other record.
  const char *getHttpBackendUrl() const {
    return isHttpBackend() ? params_->url : nullptr;
  }
  const char *getHttpBackendMethod() const {
    return isHttpBackend() ? params_->host : nullptr;
  }
  const char *getHttpBackendRespCode() const {
    return isHttpBackend() ? params_->port : nullptr;
  }
  const char *getHttpBackendRespMsg() const {
    return isHttpBackend() ? params_->httpMethod : nullptr;
  }

  // The attached copy, or null.
  const _OrvoPhpParams *getParams() const { return params_; }

 private:
  enum TextIndex {
    kFuncName,
    kCfAppId,
    kCfInstIdx,
    kCfAppName,
    kExcClass,
    kExcMsg,
    kExcFn,
    kExcFile,
    kTextCount
  };

  // Sized so that the whole record is 120 bytes, which the allocator serves
  // from its 128-byte class without waste.
  static constexpr size_t kInlineTextBytes = 48;

  std::string_view text(int i) const {
    uint32_t begin = i == 0 ? 0 : textEnd_[i - 1];
    uint32_t n = textEnd_[i] - begin;
    return n ? std::string_view(texts_ + begin, n - 1) : std::string_view("", 0);
  }
  const char *cText(int i) const {
    uint32_t begin = i == 0 ? 0 : textEnd_[i - 1];
    return textEnd_[i] != begin ? texts_ + begin : nullptr;
  }
  bool hasKind(int kind) const { return params_ && params_->kind == kind; }
  bool frontend() const { return hasKind(ORVO_PARAMS_FRONTEND); }
  const HttpHeaderPair *header(int i) const {
    return frontend() && i >= 0 && i < params_->headerCount
               ? &params_->headers[i]
               : nullptr;
  }

  OrvoPhpAgentDataOp op_;
  int32_t exceptionLine_;
  uint64_t timestamp_;
  uint64_t seq_;
  _OrvoPhpParams *params_;
  char *texts_;  // inlineTexts_ or a block of its own
  uint32_t textEnd_[kTextCount];
  char inlineTexts_[kInlineTextBytes];
};

#endif
