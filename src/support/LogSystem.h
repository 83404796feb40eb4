// The worker log system behind the facade: the process's Boost.Log logger
// and the worker line format. Only the log facade and the log file set-up
// include this; everything else writes through Log.h.
#ifndef ORVO_SUPPORT_LOG_SYSTEM_H
#define ORVO_SUPPORT_LOG_SYSTEM_H

#include <string>

#include <boost/log/expressions/formatter.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>

#include "support/Log.h"

typedef boost::log::sources::severity_channel_logger_mt<LogLevel, std::string>
    OrvoChildLogger;

// The process's one logger, created on first use with channel "<unset>".
OrvoChildLogger &getLogger();

// The worker line format; building it also registers the process-wide
// "TimeStamp" and "Process" attributes on the log core.
boost::log::formatter getFormatter();

// Switches the facade on once a sink exists (set-up succeeded).
void enableLogFacade();

// Puts the facade back to its state at load: disabled, threshold info, no
// sinks on the core. For tests that set up several loggers in one process.
void resetLogFacadeForTesting();

#endif
