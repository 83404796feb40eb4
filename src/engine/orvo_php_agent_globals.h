// The probe's one process-wide record of settings and live objects.
//
// A plain global of the module, not engine module globals. Module start
// zeroes and fills it in the loading process; a forked worker starts from a
// copy as it stood at the fork and changes only its own copy afterwards.
// State that all processes of a family must share lives in the shared
// segments, never here.
#ifndef ORVO_ENGINE_ORVO_PHP_AGENT_GLOBALS_H
#define ORVO_ENGINE_ORVO_PHP_AGENT_GLOBALS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "transport/ConnData.h"

// Engine types, declared here so that the record does not pull in the whole
// engine interface.
struct _zend_execute_data;
struct _zend_fcall_info;
struct _sapi_headers_struct;
struct _hashtable;

// Objects built by the probe's classes; their headers include this one.
#ifdef __cplusplus
class DataQueue;
class Blacklist;
class SingleProcessLogger;
class Timestamp;
class CoridGenerator;
class SharedData;
#else
typedef struct DataQueue DataQueue;
typedef struct Blacklist Blacklist;
typedef struct SingleProcessLogger SingleProcessLogger;
typedef struct Timestamp Timestamp;
typedef struct CoridGenerator CoridGenerator;
typedef struct SharedData SharedData;
#endif
struct OrvoPhpAgentCallStackNode;

#ifdef __cplusplus
extern "C" {
#endif

// The engine pointers the probe replaces and restores.
typedef void (*OrvoPhpAgentExecuteFn)(struct _zend_execute_data *executeData);
typedef void (*OrvoPhpAgentExecuteInternalFn)(
    struct _zend_execute_data *executeData, struct _zend_fcall_info *fci,
    int returnValueUsed);
typedef void (*OrvoPhpAgentErrorCbFn)(int type, const char *errorFilename,
                                      const unsigned int errorLineno,
                                      const char *format, va_list args);
typedef int (*OrvoPhpAgentSendHeadersFn)(
    struct _sapi_headers_struct *sapiHeaders);
typedef int (*OrvoPhpAgentUbWriteFn)(const char *str, unsigned int strLength);

typedef struct OrvoPhpAgentGlobals {
  int processInitialized;
  int forkThreadOwner;
  pid_t mainPid;
  int mainSid;
  const char *sharedDataSegmentName;
  const char *blacklistSegmentName;
  char hostname[256];
  const char *customHostname;
  char ipAddresses[152];
  uint64_t ipAddress;
  int64_t requestStartMillis;
  const char *messageQueueIpcName;
  char *cfAppId;
  char *cfInstanceIndex;
  char *containerId;
  DataQueue *dataQueue;
  Blacklist *blacklist;
  SingleProcessLogger *logger;
  Timestamp *timestampClock;
  CoridGenerator *coridGenerator;
  int zendExecuteChanged;
  int zendExecuteInternalChanged;
  int zendErrorCbChanged;
  int sendHeadersChanged;
  int ubWriteChanged;
  char *lastUrlSegment;
  OrvoPhpAgentExecuteFn originalExecute;
  OrvoPhpAgentExecuteInternalFn originalExecuteInternal;
  OrvoPhpAgentErrorCbFn originalErrorCb;
  OrvoPhpAgentSendHeadersFn originalSendHeaders;
  OrvoPhpAgentUbWriteFn originalUbWrite;
  int64_t callSequence;
  ConnData commandConnection;
  ConnData dataConnection;
  char exePath[1024];
  SharedData *sharedData;
  uint64_t dataQueueInitialCapacity;
  uint64_t dataQueueCapacityIncrement;
  uint64_t dataQueueMaximumCapacity;
  uint64_t blacklistShmSize;
  uint64_t blacklistOverflowCount;
  bool disableLogging;
  bool cloudFoundry;
  bool processManagerSupport;
  int logLevel;
  const char *logDir;
  const char *applicationName;
  char *cfAppName;
  const char *collectorHost;
  const char *collectorPort;
  double threadExitWaitTime;
  int commandConnStatus;  // 0 tracing active, 1 no command connection, 2 paused
  struct OrvoPhpAgentCallStackNode *callStack;
  uint64_t hashScriptName;
  uint64_t hashServer;
  uint64_t hashServerName;
  uint64_t hashServerPort;
  uint64_t hashRequestUri;
  uint64_t hashRequestMethod;
  uint64_t hashForwardedFor;
  uint64_t hashForwardedHost;
  bool dbBackendSupport;
  bool httpBackendSupport;
  bool webserverCorrelation;
  bool responseDecoration;
  bool endpointDecorationAllTx;
  bool snippetAutoInjection;
  const char *snippet;
  bool snippetInjected;
  char *injectedOutput;
  bool injectSnippet;
  bool stackUnwound;
  bool backendError;
  bool btHeaderSeen;
  bool errorResponseDecoration;
  uint16_t maxSearchingLength;
  size_t snippetLength;
  uint32_t scannedLength;
  bool sustainabilityMetrics;
  int cookieExpirationTime;
  bool traceInternalFunctions;
  struct _hashtable *tracerTable;
  const char *mysqlDefaultHost;
  const char *mysqlDefaultPort;
} OrvoPhpAgentGlobals;

extern OrvoPhpAgentGlobals orvo_php_agent_globals;

// The calling thread's log label; "main" on the interpreter's thread.
extern __thread const char *orvoPhpAgentThreadName;

// Labels shared by the connection code and the data threads.
extern const char *mainThreadName;       // "main"
extern const char *dataQueueThreadName;  // "data"

// Names of the per-family shared objects, formatted with the main process id
// at module start.
enum { kIpcNameBufferSize = 64 };
extern char sharedDataSegName[kIpcNameBufferSize];
extern char blackListSegName[kIpcNameBufferSize];
extern char messageQueueName[kIpcNameBufferSize];

#ifdef __cplusplus
}
#endif

#endif
