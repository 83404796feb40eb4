#include "support/Log.h"

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>

#include <boost/core/null_deleter.hpp>
#include <boost/log/attributes/clock.hpp>
#include <boost/log/attributes/current_process_name.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/expressions/formatters/date_time.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/make_shared.hpp>

#include "engine/orvo_php_agent_globals.h"
#include "support/LogSystem.h"
#include "support/SingleProcessLogger.h"

namespace logging = boost::log;
namespace expr = boost::log::expressions;
namespace attrs = boost::log::attributes;

namespace {

const size_t kLogMessageBufferSize = 1024;

// Both are written only during set-up and by setLogLevel and read on every
// check from every thread: relaxed atomics, plain loads on the hot path,
// and the latest value is good enough.
std::atomic<bool> disabled(true);
std::atomic<int> severityLevel(LOG_LEVEL_INFO);

bool levelEnabled(int level) {
  return !disabled.load(std::memory_order_relaxed) &&
         level >= severityLevel.load(std::memory_order_relaxed);
}

const char *workerLevelName(LogLevel level) {
  switch (level) {
    case LOG_LEVEL_TRACE: return "trace";
    case LOG_LEVEL_DEBUG: return "debug";
    case LOG_LEVEL_INFO: return "info";
    case LOG_LEVEL_WARNING: return "warning";
    case LOG_LEVEL_ERROR: return "error";
    case LOG_LEVEL_FATAL: return "fatal";
  }
  return "";
}

void writeToWorkerLog(LogLevel level, const char *threadLabel,
                      const char *message) {
  try {
    OrvoChildLogger &lg = getLogger();
    logging::record rec = lg.open_record(logging::keywords::severity = level);
    if (!rec) return;
    rec.attribute_values().insert(
        "ThreadId",
        attrs::make_attribute_value(std::string(threadLabel)));
    {
      logging::record_ostream strm(rec);
      strm << message;
      strm.flush();
    }
    lg.push_record(boost::move(rec));
  } catch (...) {
    // A line that the log system cannot take is dropped, never reported.
  }
}

void writeLog(LogLevel level, const char *threadLabel, const char *format,
              va_list args) {
  char message[kLogMessageBufferSize];
  int n = vsnprintf(message, sizeof(message), format, args);
  if (n <= 0 || message[0] == '\0') return;
  if (threadLabel == nullptr) threadLabel = "";
  if (isParentProcess()) {
    SingleProcessLogger *logger = orvo_php_agent_globals.logger;
    if (logger != nullptr) logger->log(level, threadLabel, message);
    return;
  }
  writeToWorkerLog(level, threadLabel, message);
}

void formatSeverity(const logging::record_view &rec,
                    logging::formatting_ostream &strm) {
  auto level = logging::extract<LogLevel>("Severity", rec);
  if (level) strm << workerLevelName(*level);
}

}  // namespace

#define ORVO_DEFINE_LOG_WRITE(function, level)                          \
  extern "C" void function(const char *threadLabel, const char *format, \
                           ...) {                                       \
    if (!levelEnabled(level)) return;                                   \
    va_list args;                                                       \
    va_start(args, format);                                             \
    writeLog(level, threadLabel, format, args);                         \
    va_end(args);                                                       \
  }

ORVO_DEFINE_LOG_WRITE(logTrace, LOG_LEVEL_TRACE)
ORVO_DEFINE_LOG_WRITE(logDebug, LOG_LEVEL_DEBUG)
ORVO_DEFINE_LOG_WRITE(logInfo, LOG_LEVEL_INFO)
ORVO_DEFINE_LOG_WRITE(logWarning, LOG_LEVEL_WARNING)
ORVO_DEFINE_LOG_WRITE(logError, LOG_LEVEL_ERROR)
ORVO_DEFINE_LOG_WRITE(logFatal, LOG_LEVEL_FATAL)

extern "C" bool logTraceEnabled(void) { return levelEnabled(LOG_LEVEL_TRACE); }
extern "C" bool logDebugEnabled(void) { return levelEnabled(LOG_LEVEL_DEBUG); }
extern "C" bool logInfoEnabled(void) { return levelEnabled(LOG_LEVEL_INFO); }
extern "C" bool logWarningEnabled(void) {
  return levelEnabled(LOG_LEVEL_WARNING);
}
extern "C" bool logErrorEnabled(void) { return levelEnabled(LOG_LEVEL_ERROR); }
extern "C" bool logFatalEnabled(void) { return levelEnabled(LOG_LEVEL_FATAL); }

extern "C" void setLogLevel(int level) {
  if (level > LOG_LEVEL_FATAL) level = LOG_LEVEL_FATAL;
  if (level < LOG_LEVEL_TRACE) level = LOG_LEVEL_TRACE;
  severityLevel.store(level, std::memory_order_relaxed);
  if (disabled.load(std::memory_order_relaxed)) return;
  if (isParentProcess()) {
    if (orvo_php_agent_globals.logger != nullptr)
      orvo_php_agent_globals.logger->setLevel(level);
    return;
  }
  try {
    logging::core::get()->set_filter(
        expr::attr<LogLevel>("Severity") >= static_cast<LogLevel>(level));
  } catch (...) {
  }
}

extern "C" bool loggingBackoff(unsigned long count) {
  if (count == 0) return false;
  unsigned long step = 1;
  while (count / step >= 10) step *= 10;
  return count % step == 0;
}

extern "C" void initConsoleLogger(void) {
  try {
    typedef logging::sinks::synchronous_sink<
        logging::sinks::text_ostream_backend>
        ConsoleSink;
    auto sink = boost::make_shared<ConsoleSink>();
    sink->locked_backend()->add_stream(
        boost::shared_ptr<std::ostream>(&std::cerr, boost::null_deleter()));
    sink->locked_backend()->auto_flush(true);
    sink->set_formatter(getFormatter());
    logging::core::get()->add_sink(sink);
    disabled.store(false, std::memory_order_relaxed);
    char channel[6];
    snprintf(channel, sizeof(channel), "%05d", static_cast<int>(getpid()));
    getLogger().channel(channel);
  } catch (...) {
  }
}

bool isParentProcess() { return getpid() == orvo_php_agent_globals.mainPid; }

int getLogLevel() { return severityLevel.load(std::memory_order_relaxed); }

OrvoChildLogger &getLogger() {
  static OrvoChildLogger childLogger(
      logging::keywords::channel = std::string("<unset>"),
      logging::keywords::severity = LOG_LEVEL_INFO);
  return childLogger;
}

logging::formatter getFormatter() {
  boost::shared_ptr<logging::core> core = logging::core::get();
  core->add_global_attribute("TimeStamp", attrs::local_clock());
  core->add_global_attribute("Process", attrs::current_process_name());
  return expr::stream
         << expr::format_date_time<boost::posix_time::ptime>(
                "TimeStamp", "%m-%d-%Y %I:%M:%S %p %Q")
         << "<" << expr::wrap_formatter(&formatSeverity) << ">  "
         << expr::attr<std::string>("Process") << ":"
         << "|" << expr::attr<std::string>("Channel") << "|"
         << ":" << expr::attr<std::string>("ThreadId") << "  "
         << expr::smessage;
}

void enableLogFacade() { disabled.store(false, std::memory_order_relaxed); }

void resetLogFacadeForTesting() {
  disabled.store(true, std::memory_order_relaxed);
  severityLevel.store(LOG_LEVEL_INFO, std::memory_order_relaxed);
  try {
    logging::core::get()->remove_all_sinks();
    logging::core::get()->reset_filter();
    getLogger().channel("<unset>");
  } catch (...) {
  }
}
