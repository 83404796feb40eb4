#include "common/CollectorProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#ifndef ORVO_BINARY_DIR
#error "ORVO_BINARY_DIR must name the build directory"
#endif

namespace orvo_test {

namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string collectorBinary() {
  return std::string(ORVO_BINARY_DIR) + "/orvo-collector";
}

CollectorProcess::CollectorProcess(const std::vector<std::string> &extraArgs,
                                   int port, bool recordToFile) {
  int in[2], outPipe[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<std::string> args = {collectorBinary(), "--port",
                                   std::to_string(port)};
  for (size_t i = 0; i + 1 < extraArgs.size(); ++i)
    if (extraArgs[i] == "--out") out = extraArgs[i + 1];
  if (out.empty() && recordToFile) {
    out = dir.file("collector.out");
    args.push_back("--out");
    args.push_back(out);
  }
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  // A test that stops reading the child's standard input must not die of
  // SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(outPipe[1], 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(outPipe[1]);
  stdinFd = in[1];
  stdoutFd = outPipe[0];

  waitForOutput([](const std::string &text) {
    return text.find('\n') != std::string::npos;
  });
  size_t nl = stdoutText.find('\n');
  if (nl == std::string::npos) {
    // The destructor does not run for a constructor that throws.
    stop(SIGKILL);
    close(stdinFd);
    close(stdoutFd);
    throw std::runtime_error("orvo-collector printed no first line");
  }
  listening = stdoutText.substr(0, nl);
  stdoutText.erase(0, nl + 1);
  size_t colon = listening.rfind(':');
  if (listening.rfind("listening on ", 0) != 0 || colon == std::string::npos)
    throw std::runtime_error("unexpected first line: " + listening);
  boundPort = std::stoi(listening.substr(colon + 1));
}

CollectorProcess::~CollectorProcess() {
  if (pid > 0) stop(SIGTERM);
  if (stdinFd >= 0) close(stdinFd);
  if (stdoutFd >= 0) close(stdoutFd);
}

std::vector<std::string> CollectorProcess::lines() const {
  std::string text = readFile(out);
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos;
       start = nl + 1)
    result.push_back(text.substr(start, nl - start));
  return result;
}

void CollectorProcess::writeStdin(const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(stdinFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to collector stdin failed");
    done += static_cast<size_t>(n);
  }
}

void CollectorProcess::closeStdin() {
  if (stdinFd >= 0) close(stdinFd);
  stdinFd = -1;
}

// False once standard output has ended; true after data or a time-out.
bool CollectorProcess::readOutput(std::chrono::milliseconds timeout) {
  struct pollfd p = {stdoutFd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return true;
  char buf[65536];
  ssize_t n = read(stdoutFd, buf, sizeof(buf));
  if (n <= 0) return false;
  stdoutText.append(buf, static_cast<size_t>(n));
  return true;
}

bool CollectorProcess::waitForOutput(
    const std::function<bool(const std::string &)> &condition,
    std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!condition(stdoutText)) {
    if (millisLeft(deadline) == 0) return false;
    if (!readOutput(std::chrono::milliseconds(millisLeft(deadline))))
      return condition(stdoutText);
  }
  return true;
}

int CollectorProcess::stop(int sig) {
  if (pid <= 0) return -1;
  kill(pid, sig);
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (millisLeft(deadline) > 0 &&
         readOutput(std::chrono::milliseconds(millisLeft(deadline)))) {
  }
  int status = 0;
  bool ended = waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                       std::chrono::milliseconds(millisLeft(deadline) + 100));
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  pid = -1;
  if (!ended) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace orvo_test
