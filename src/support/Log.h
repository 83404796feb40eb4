// The probe's one way of writing diagnostic lines.
//
// Six printf-style writes, one per level, and six cheap checks that callers
// use before building expensive arguments. In the main process lines go to
// the single-process logger's file; in every worker to the worker's own
// rotating file (see LogFiles.h). Nothing here ever fails visibly.
#ifndef ORVO_SUPPORT_LOG_H
#define ORVO_SUPPORT_LOG_H

// Levels, stored and compared as an int; any other value is "no level".
typedef enum LogLevel {
  LOG_LEVEL_TRACE = 0,
  LOG_LEVEL_DEBUG = 1,
  LOG_LEVEL_INFO = 2,
  LOG_LEVEL_WARNING = 3,
  LOG_LEVEL_ERROR = 4,
  LOG_LEVEL_FATAL = 5
} LogLevel;

#ifdef __cplusplus
extern "C" {
#endif

void logTrace(const char *threadLabel, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void logDebug(const char *threadLabel, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void logInfo(const char *threadLabel, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void logWarning(const char *threadLabel, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void logError(const char *threadLabel, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void logFatal(const char *threadLabel, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

bool logTraceEnabled(void);
bool logDebugEnabled(void);
bool logInfoEnabled(void);
bool logWarningEnabled(void);
bool logErrorEnabled(void);
bool logFatalEnabled(void);

// Sets the threshold, clamped to 0..5, and passes it on to the sink of this
// process once a logger has been set up.
void setLogLevel(int level);

// Thins out a message that repeats with a running count (starting at 1):
// true for 1..9, then every 10 up to 90, every 100 up to 900, and so on.
bool loggingBackoff(unsigned long count);

// Attaches a sink on standard error with the worker line format. Used by
// tools and tests; the module itself never calls it.
void initConsoleLogger(void);

#ifdef __cplusplus
}

// True in the process whose id is recorded as the main process.
bool isParentProcess();

// The threshold as stored (0..5).
int getLogLevel();
#endif

#endif
