#include "common/TcpTestPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace orvo_test {

namespace {

int listenOn(int port, int backlog, int *bound, int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (receiveBuffer > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0 ||
      listen(fd, backlog) != 0) {
    close(fd);
    throw std::runtime_error("bind/listen failed on port " + std::to_string(port));
  }
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len);
  *bound = ntohs(addr.sin_port);
  return fd;
}

long remainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? left.count() : 0;
}

}  // namespace

TcpListener::TcpListener(int port, int backlog, int receiveBuffer)
    : fd(listenOn(port, backlog, &boundPort, receiveBuffer)) {}

TcpListener::~TcpListener() { close(fd); }

int TcpListener::accept(int timeoutMs) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return -1;
  return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

int unusedPort() {
  int port = 0;
  int fd = listenOn(0, 1, &port);
  close(fd);
  return port;
}

std::string readAtLeast(int fd, size_t wanted, int timeoutMs) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(timeoutMs);
  char buf[65536];
  while (got.size() < wanted) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(remainingMs(deadline))) != 1) break;
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string readLine(int fd, int timeoutMs) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(timeoutMs);
  char c;
  while (got.empty() || got.back() != '\n') {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(remainingMs(deadline))) != 1) break;
    if (recv(fd, &c, 1, 0) != 1) break;
    got.push_back(c);
  }
  return got;
}

void sendAll(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    done += static_cast<size_t>(n);
  }
}

}  // namespace orvo_test
