// A collector's end of a TCP connection on 127.0.0.1, for tests that talk
// to the probe's transport directly.
#ifndef ORVO_TESTS_COMMON_TCP_TEST_PEER_H
#define ORVO_TESTS_COMMON_TCP_TEST_PEER_H

#include <string>

namespace orvo_test {

class TcpListener {
 public:
  // Listens on 127.0.0.1:port; port 0 takes an ephemeral port. A
  // non-zero receive buffer size is given to every accepted connection.
  explicit TcpListener(int port = 0, int backlog = 16, int receiveBuffer = 0);
  ~TcpListener();
  TcpListener(const TcpListener &) = delete;
  TcpListener &operator=(const TcpListener &) = delete;

  int port() const { return boundPort; }
  std::string portText() const { return std::to_string(boundPort); }
  // Accepts one connection; -1 when none arrives within the timeout.
  int accept(int timeoutMs = 10000);

 private:
  int fd;
  int boundPort;
};

// A port on 127.0.0.1 that nothing listens on (taken and released again).
int unusedPort();

// Reads from `fd` until `wanted` bytes arrived, the peer closed, or the
// timeout passed; returns what arrived.
std::string readAtLeast(int fd, size_t wanted, int timeoutMs = 10000);
// Reads until a newline arrived (or close / timeout); returns the bytes.
std::string readLine(int fd, int timeoutMs = 10000);
void sendAll(int fd, const std::string &text);

}  // namespace orvo_test

#endif
