// standin-php run as a program, as the end-to-end tests drive it: the host
// that loads extensions named in an ini file and runs a scenario.
#ifndef ORVO_TESTS_COMMON_STANDIN_PHP_PROCESS_H
#define ORVO_TESTS_COMMON_STANDIN_PHP_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace orvo_test {

// The path of the built standin-php and of the probe's module.
std::string standinPhpBinary();
std::string probeModule();

struct StandinRun {
  pid_t pid = 0;
  bool exited = false;     // ended by itself (not killed, not timed out)
  int exitCode = -1;
  std::string out;         // standard output
  std::string err;         // standard error
};

// Runs `standin-php -c <ini> <scenario> [--responses <responses>] <extra...>`
// with standard output and error captured in files of `workDir`. A run that
// outlives `timeout` is killed (exited stays false).
StandinRun runStandinPhp(const std::string &workDir, const std::string &ini,
                         const std::string &scenario,
                         const std::string &responses = "",
                         const std::vector<std::string> &extraArgs = {},
                         std::chrono::milliseconds timeout =
                             std::chrono::seconds(60));

}  // namespace orvo_test

#endif
