#include "common/StandinPhpProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/TestSupport.h"

#ifndef ORVO_BINARY_DIR
#error "ORVO_BINARY_DIR must name the build directory"
#endif

namespace orvo_test {

std::string standinPhpBinary() {
  return std::string(ORVO_BINARY_DIR) + "/standin-php";
}

std::string probeModule() {
  return std::string(ORVO_BINARY_DIR) + "/orvo_php_agent.so";
}

StandinRun runStandinPhp(const std::string &workDir, const std::string &ini,
                         const std::string &scenario,
                         const std::string &responses,
                         const std::vector<std::string> &extraArgs,
                         std::chrono::milliseconds timeout) {
  std::vector<std::string> args = {standinPhpBinary(), "-c", ini, scenario};
  if (!responses.empty()) {
    args.push_back("--responses");
    args.push_back(responses);
  }
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  const std::string outPath = workDir + "/standin-php.stdout";
  const std::string errPath = workDir + "/standin-php.stderr";
  StandinRun run;
  fflush(nullptr);
  run.pid = fork();
  if (run.pid < 0) return run;
  if (run.pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  bool ended = waitFor(
      [&] { return waitpid(run.pid, &status, WNOHANG) == run.pid; }, timeout);
  if (!ended) {
    // A hung host: kill its whole family, not only the loading process.
    kill(run.pid, SIGKILL);
    waitpid(run.pid, &status, 0);
  }
  run.exited = ended && WIFEXITED(status);
  run.exitCode = run.exited ? WEXITSTATUS(status) : -1;
  run.out = readFile(outPath);
  run.err = readFile(errPath);
  return run;
}

}  // namespace orvo_test
