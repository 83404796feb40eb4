#include "support/SingleProcessLogger.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <boost/chrono/duration.hpp>
#include <boost/thread/lock_types.hpp>

namespace {
const size_t kTimeStampBufferSize = 64;
}

SingleProcessLogger::SingleProcessLogger(bool toFile, char *path,
                                         LogLevel level)
    : level(level), toFile(toFile) {
  // A file that cannot be opened leaves the stream failed; writes then do
  // nothing and the process goes on.
  if (toFile && path != nullptr) file.open(path, std::ios::out | std::ios::app);
}

SingleProcessLogger::~SingleProcessLogger() {
  if (toFile && file.is_open()) file.close();
}

bool SingleProcessLogger::shouldLog(LogLevel messageLevel) const {
  return toFile && messageLevel >= level;
}

void SingleProcessLogger::setLevel(int newLevel) {
  switch (newLevel) {
    case LOG_LEVEL_TRACE:
    case LOG_LEVEL_DEBUG:
    case LOG_LEVEL_INFO:
    case LOG_LEVEL_ERROR:
    case LOG_LEVEL_FATAL:
      level = static_cast<LogLevel>(newLevel);
      break;
    default:
      level = LOG_LEVEL_WARNING;
  }
}

const char *SingleProcessLogger::getLevelString(LogLevel level) {
  switch (level) {
    case LOG_LEVEL_TRACE: return "<trace>";
    case LOG_LEVEL_DEBUG: return "<debug>";
    case LOG_LEVEL_INFO: return "<info.>";
    case LOG_LEVEL_WARNING: return "<warn.>";
    case LOG_LEVEL_ERROR: return "<error>";
    case LOG_LEVEL_FATAL: return "<fatal>";
  }
  return "<     >";
}

bool SingleProcessLogger::log(LogLevel messageLevel, const char *threadLabel,
                              char *message) {
  if (!shouldLog(messageLevel)) return false;
  char stamp[kTimeStampBufferSize];
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr ||
      strftime(stamp, sizeof(stamp), "%m-%d-%Y %I:%M:%S %p", &local) == 0)
    stamp[0] = '\0';
  // The id is cut to five characters so that every line has the same shape.
  char pid[6];
  snprintf(pid, sizeof(pid), "%05d", static_cast<int>(getpid()));
  try {
    std::string line;
    line.reserve(64 + strlen(threadLabel) + strlen(message));
    line.append(stamp).append(" ").append(getLevelString(messageLevel));
    line.append(" process:").append(pid).append(":");
    line.append(threadLabel).append(" ").append(message).append("\n");
    writeToFile(line);
  } catch (...) {
    return false;
  }
  return true;
}

void SingleProcessLogger::writeToFile(std::string &line) {
  // A writer stuck for a second is not waited for: the line is dropped.
  boost::unique_lock<boost::timed_mutex> guard(fileLock,
                                               boost::chrono::seconds(1));
  if (!guard.owns_lock()) return;
  file << line;
  file.flush();
}
