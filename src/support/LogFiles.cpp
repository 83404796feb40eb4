#include "support/LogFiles.h"

#include <stdio.h>
#include <unistd.h>

#include <string>

#include <boost/filesystem/exception.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/utility/setup/file.hpp>
#include <boost/make_shared.hpp>

#include "engine/orvo_php_agent_globals.h"
#include "support/LogSystem.h"
#include "support/SingleProcessLogger.h"

namespace logging = boost::log;
namespace sinks = boost::log::sinks;
namespace expr = boost::log::expressions;

namespace {

const size_t kLogFileNameBufferSize = 1024;
const size_t kChannelBufferSize = 12;
const uintmax_t kRotationSize = 1048576;
const uintmax_t kCollectorMaxSize = 10485760;
const uintmax_t kCollectorMinFreeSpace = 104857600;

}  // namespace

extern "C" void initFileLogger(const char *logDir, unsigned id) {
  if (logDir == nullptr) return;
  try {
    if (isParentProcess())
      initFileLoggerParent(logDir, static_cast<int>(id));
    else
      initFileLoggerChild(logDir, static_cast<int>(id));
  } catch (const boost::filesystem::filesystem_error &e) {
    printf("caught (and ignored): %s while initializing the logging subsystem\n",
           e.what());
    fflush(stdout);
    return;
  } catch (...) {
    printf("exception caught (and ignored) while initializing the logging "
           "subsystem\n");
    fflush(stdout);
    return;
  }
  enableLogFacade();
}

extern "C" void destroyLogger(void) {
  if (isParentProcess()) destroyLoggerImpl();
}

void initFileLoggerParent(const char *logDir, int id) {
  char name[kLogFileNameBufferSize];
  snprintf(name, sizeof(name), "%s/orvo_php_agent_%05u.log", logDir,
           static_cast<unsigned>(id));
  // Warning until setLogLevel says otherwise. A logger already stored is
  // replaced without being closed: it may still be in use by another thread.
  orvo_php_agent_globals.logger =
      new SingleProcessLogger(true, name, LOG_LEVEL_WARNING);
}

void initFileLoggerChild(const char *logDir, int id) {
  // The pointer inherited from the parent names the parent's logger; this
  // process's copy of it is closed here so the worker never writes into the
  // parent's file.
  destroyLoggerImpl();

  const int pid = static_cast<int>(getpid());
  char name[kLogFileNameBufferSize];
  snprintf(name, sizeof(name), "%s/orvo_php_agent_%05u-%05d_%%N.log", logDir,
           static_cast<unsigned>(id), pid);
  char channel[kChannelBufferSize];
  snprintf(channel, sizeof(channel), "%05u-%05d", static_cast<unsigned>(id),
           pid);

  typedef sinks::synchronous_sink<sinks::text_file_backend> FileSink;
  auto backend = boost::make_shared<sinks::text_file_backend>(
      logging::keywords::file_name = name,
      logging::keywords::rotation_size = kRotationSize,
      logging::keywords::time_based_rotation =
          sinks::file::rotation_at_time_point(0, 0, 0),
      logging::keywords::auto_flush = true);
  auto sink = boost::make_shared<FileSink>(backend);
  sink->set_formatter(getFormatter());
  // Every sink keeps the channel of the process that made it, so a process
  // forked from this worker never writes into this worker's file.
  sink->set_filter(expr::attr<std::string>("Channel") == std::string(channel));
  // Creates the directory (with its parents) or throws before anything is
  // registered, so a failed set-up leaves no half-made sink behind.
  backend->set_file_collector(sinks::file::make_collector(
      logging::keywords::target = logDir,
      logging::keywords::max_size = kCollectorMaxSize,
      logging::keywords::min_free_space = kCollectorMinFreeSpace));
  backend->scan_for_files();
  logging::core::get()->add_sink(sink);
  getLogger().channel(channel);
}

void destroyLoggerImpl() {
  delete orvo_php_agent_globals.logger;
  orvo_php_agent_globals.logger = nullptr;
}
