// Setting up and closing this process's log file: the main process appends
// to "orvo_php_agent_<id>.log" through the single-process logger; every
// worker writes a rotating file set "orvo_php_agent_<id>-<pid>_<n>.log"
// through the log system, filtered to its own channel.
#ifndef ORVO_SUPPORT_LOG_FILES_H
#define ORVO_SUPPORT_LOG_FILES_H

#ifdef __cplusplus
extern "C" {
#endif

void initFileLogger(const char *logDir, unsigned id);
void destroyLogger(void);

#ifdef __cplusplus
}

void initFileLoggerParent(const char *logDir, int id);
void initFileLoggerChild(const char *logDir, int id);
void destroyLoggerImpl();
#endif

#endif
