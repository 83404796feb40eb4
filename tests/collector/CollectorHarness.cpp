#include "CollectorHarness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace collector_test {

namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void fail(const std::string &what) {
  throw std::runtime_error(what + ": " + strerror(errno));
}

// fork + exec with the given standard descriptors (-1: /dev/null).
pid_t spawn(const std::vector<std::string> &args, int in, int out, int err) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDWR);
    dup2(in >= 0 ? in : devnull, 0);
    dup2(out >= 0 ? out : devnull, 1);
    dup2(err >= 0 ? err : devnull, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Reaps `pid` within the timeout; kills it when it does not end.
int reap(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  bool ended = waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (ended) return decodeStatus(status);
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

}  // namespace

size_t countLines(const std::string &text) {
  size_t n = 0;
  for (char ch : text) n += ch == '\n';
  return n;
}

std::map<std::string, uint64_t> parseSummary(const std::string &text) {
  std::map<std::string, uint64_t> values;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    values[line.substr(0, eq)] = std::stoull(line.substr(eq + 1));
  }
  return values;
}

int runToExit(const std::vector<std::string> &args) {
  std::vector<std::string> full{orvo_test::collectorBinary()};
  full.insert(full.end(), args.begin(), args.end());
  return reap(spawn(full, -1, -1, -1), 10s);
}

Client::Client(uint16_t port, int receiveBuffer) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) fail("socket");
  if (receiveBuffer > 0)
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) fail("connect");
}

Client::~Client() { close(); }

void Client::send(const std::string &bytes) {
  const char *p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("send");
    p += n;
    left -= static_cast<size_t>(n);
  }
}

std::string Client::receive(size_t bytes, std::chrono::milliseconds timeout) {
  std::string got;
  auto deadline = Clock::now() + timeout;
  while (got.size() < bytes) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, millisLeft(deadline)) <= 0) break;
    char buf[4096];
    ssize_t n = recv(fd_, buf, std::min(sizeof buf, bytes - got.size()), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string Client::receiveNow() {
  std::string got;
  char buf[4096];
  ssize_t n;
  while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<size_t>(n));
  return got;
}

void Client::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace collector_test
