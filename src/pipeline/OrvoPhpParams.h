// The event kinds and the parameter record that producers attach to an
// event: a web request (frontend), a database call or an HTTP client call.
//
// Plain C so that C-linkage producers (the execute hook, the tracers) can
// fill one on their stack. A producer owns the record and every text it
// points to; the enqueue entry points take a deep copy, so the producer may
// free or reuse everything as soon as the call returns.
#ifndef ORVO_PIPELINE_ORVO_PHP_PARAMS_H
#define ORVO_PIPELINE_ORVO_PHP_PARAMS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// What an event is about. Only calls and returns are ever enqueued; any
// value other than 0 and 1 is written as an error event. C++ gets the
// 32-bit underlying type spelled out so that every such value is a valid
// value of the type there too, as it is in C.
#ifdef __cplusplus
typedef enum OrvoPhpAgentDataOp : int32_t {
#else
typedef enum OrvoPhpAgentDataOp {
#endif
  DATA_OP_CALL = 0,
  DATA_OP_RETURN = 1,
  DATA_OP_ERROR = 2
} OrvoPhpAgentDataOp;

// Values of _OrvoPhpParams.kind. Any other kind attaches nothing.
enum {
  ORVO_PARAMS_FRONTEND = 1,
  ORVO_PARAMS_SQL_BACKEND = 2,
  ORVO_PARAMS_HTTP_BACKEND = 3
};

typedef struct HttpHeaderPair {
  const char *name;
  const char *value;
} HttpHeaderPair;

// One record type for the three kinds; the members keep their position and
// change meaning with `kind`. A null text means "absent".
//
//   member        frontend (1)       SQL backend (2)        HTTP backend (3)
//   url           request URI        connection URL         request URL
//   host          server host name   -- (statementId)       HTTP method
//   port          server port        SQL text               response code text
//   httpMethod    request method     --                     response message
//   txnTraceId    trace id           --                     --
//   txnCorId      correlation id     --                     --
//   headers       headers to report  --                     --
//   headerCount   entries in headers --                     --
//
// The SQL statement id lives in the second member's storage: `host` and
// `statementId` share one 64-bit slot through an anonymous union, so a SQL
// producer writes `statementId` (0 means no statement) and never `host`,
// and every other producer writes `host`. Zero-initialising the record
// clears both views.
typedef struct _OrvoPhpParams {
  const char *url;
  union {
    const char *host;
    uint64_t statementId;
  };
  const char *port;
  const char *httpMethod;
  const char *txnTraceId;
  const char *txnCorId;
  HttpHeaderPair *headers;
  int headerCount;
  int kind;
} _OrvoPhpParams;

#ifdef __cplusplus
}
#endif

#endif
