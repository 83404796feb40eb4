// The main process's log file: one file, appended to, one line per message,
// writes serialised by a lock that is waited for at most one second.
#ifndef ORVO_SUPPORT_SINGLE_PROCESS_LOGGER_H
#define ORVO_SUPPORT_SINGLE_PROCESS_LOGGER_H

#include <fstream>
#include <string>

#include <boost/thread/mutex.hpp>

#include "support/Log.h"

class SingleProcessLogger {
 public:
  SingleProcessLogger(bool toFile, char *path, LogLevel level);
  ~SingleProcessLogger();

  SingleProcessLogger(const SingleProcessLogger &) = delete;
  SingleProcessLogger &operator=(const SingleProcessLogger &) = delete;

  bool shouldLog(LogLevel level) const;
  // 0, 1, 2, 4 and 5 are kept; any other value means warning.
  void setLevel(int level);
  LogLevel getLevel() const { return level; }
  static const char *getLevelString(LogLevel level);
  bool log(LogLevel level, const char *threadLabel, char *message);
  void writeToFile(std::string &line);

 private:
  LogLevel level;
  bool toFile;
  std::ofstream file;
  boost::timed_mutex fileLock;
};

#endif
