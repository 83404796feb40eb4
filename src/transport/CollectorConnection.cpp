#include "transport/CollectorConnection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/orvo_php_agent_globals.h"
#include "support/Log.h"
#include "transport/ThreadControl.h"

namespace {

const int kFailuresBeforeSuspending = 5;
const long kConnectInProgressWaitMs = 10;
// A pass over the collector's addresses that ends without a connection is
// followed by this pause, so that a missing collector never costs a core.
const long kConnectRetryPauseMs = 3000;
const long kSendRetryWaitMs = 100;
const int kReadPollTimeoutMs = 10000;
const size_t kInitMessageBufferSize = 4096;

// connect() on a non-blocking socket, as a cancellation point.
int connectOnce(int fd, const struct sockaddr *addr, socklen_t len) {
  CancellationPoint cancellable;
  return connect(fd, addr, len);
}

}  // namespace

extern "C" int orvoPhpAgentInitConnData(
    ConnData *c, int withPipe, const char *name,
    OrvoPhpAgentInitMessageBuilder initMessage) {
  c->name = name;
  c->initMessage = initMessage;
  c->fd = -1;
  c->exitFlag = 0;
  c->readThread = 0;
  c->writeThread = 0;
  c->forkThread = 0;
  c->wakePipe[0] = -1;
  c->wakePipe[1] = -1;
  if (withPipe && pipe2(c->wakePipe, O_CLOEXEC) != 0) {
    logInfo("main", "pipe: %s", strerror(errno));
    c->wakePipe[0] = -1;
    c->wakePipe[1] = -1;
  }
  return orvoPhpAgentInitLock(c);
}

extern "C" void orvoPhpAgentSetBlocking(int fd, int blocking,
                                        const char *label) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    logInfo(label, "fcntl(F_GETFL): %s", strerror(errno));
    return;
  }
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (fcntl(fd, F_SETFL, flags) < 0)
    logInfo(label, "fcntl(F_SETFL, 0x%x): %s", flags, strerror(errno));
}

extern "C" int orvoPhpAgentConnectToTcp(ConnData *c, const char *host,
                                        const char *port, const char *label) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *result = nullptr;
  int rc = getaddrinfo(host, port, &hints, &result);
  if (rc != 0) {
    logError(label, "Unable to resolve hostname/ip address %s. Reason: %s",
             host, gai_strerror(rc));
    return -1;
  }
  // Only IPv4 addresses are tried. A host with none would make every pass
  // empty: report it like a host that cannot be resolved.
  bool anyIpv4 = false;
  for (struct addrinfo *ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET &&
        reinterpret_cast<struct sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr != 0)
      anyIpv4 = true;
  }
  if (!anyIpv4) {
    logError(label, "Unable to resolve hostname/ip address %s. Reason: %s",
             host, "no IPv4 address");
    freeaddrinfo(result);
    return -1;
  }

  // Told to exit: every wait of the loop below ends here.
  auto giveUp = [&](int fd) {
    logInfo(label, "%s thread exiting", c->name);
    if (fd >= 0) close(fd);
    freeaddrinfo(result);
    return -1;
  };

  int failures = 0;
  int lastError = 0;
  int connected = -1;
  char addrText[INET_ADDRSTRLEN] = "";
  while (connected < 0) {
    for (struct addrinfo *ai = result; ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_family != AF_INET) continue;
      struct sockaddr_in *sin = reinterpret_cast<struct sockaddr_in *>(ai->ai_addr);
      if (sin->sin_addr.s_addr == 0) continue;
      inet_ntop(AF_INET, &sin->sin_addr, addrText, sizeof(addrText));

      int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC,
                      ai->ai_protocol);
      if (fd < 0) {
        logError(label, "Failed to open a socket: %s", strerror(errno));
        continue;
      }
      orvoPhpAgentSetBlocking(fd, 0, label);
      while (true) {
        if (lastError != EINPROGRESS && lastError != EALREADY &&
            failures < kFailuresBeforeSuspending)
          logInfo(label, "making %s to the collector on host ip addr %s port %s",
                  c->name, addrText, port);
        if (connectOnce(fd, ai->ai_addr, ai->ai_addrlen) == 0 ||
            errno == EISCONN) {
          if (failures >= kFailuresBeforeSuspending)
            logInfo(label,
                    "re-connected to collector at IP addr %s listening on port %s",
                    addrText, port);
          failures = 0;
          lastError = 0;
          connected = fd;
          break;
        }
        int err = errno;
        if (err == EINPROGRESS || err == EALREADY) {
          lastError = err;
          if (waitForExitOrTimeout(c, kConnectInProgressWaitMs))
            return giveUp(fd);
          continue;
        }
        lastError = err;
        if (failures < kFailuresBeforeSuspending) {
          logError(label, "error(%d) making %s to the collector on port %s: %s",
                   err, c->name, port, strerror(err));
          ++failures;
          if (failures == kFailuresBeforeSuspending)
            logError(label, "suspending logging until connection is established");
        }
        break;
      }
      if (connected >= 0) break;
      close(fd);
      if (orvoPhpAgentGetExitFlag(c)) return giveUp(-1);
    }
    if (connected < 0 && waitForExitOrTimeout(c, kConnectRetryPauseMs))
      return giveUp(-1);
  }

  orvoPhpAgentSetBlocking(connected, 1, label);
  struct sockaddr_in local;
  socklen_t localLen = sizeof(local);
  if (getsockname(connected, reinterpret_cast<struct sockaddr *>(&local),
                  &localLen) != 0) {
    logError(label, "getsockname error: %s", strerror(errno));
  } else {
    logInfo(label,
            "%s to the collector succeeded, host=%s, remote port=%s, local "
            "port=%d, fd=%d",
            c->name, host, port, ntohs(local.sin_port), connected);
  }
  orvoPhpAgentSetConnFd(c, connected);
  freeaddrinfo(result);
  return 0;
}

extern "C" int orvoPhpAgentConnectToCollectorAndInitialize(ConnData *c,
                                                           const char *label) {
  if (orvoPhpAgentConnFd(c) >= 0) return 0;
  char message[kInitMessageBufferSize];
  message[0] = '\0';
  if (c->initMessage != nullptr) c->initMessage(message, sizeof(message));
  const char *host = orvo_php_agent_globals.collectorHost;
  const char *port = orvo_php_agent_globals.collectorPort;
  while (true) {
    if (orvoPhpAgentConnectToTcp(c, host, port, label) < 0) return -1;
    if (orvoPhpAgentSendToCollectorOnce(c, message, label) == 0) {
      logInfo(label, "sent %s initialization message to the collector", c->name);
      return 0;
    }
    if (orvoPhpAgentGetExitFlag(c)) return -1;
  }
}

extern "C" int orvoPhpAgentSendToCollector(ConnData *c, const char *text,
                                           const char *label) {
  while (true) {
    if (orvoPhpAgentConnectToCollectorAndInitialize(c, label) < 0) return -1;
    if (text == nullptr) return 0;
    if (orvoPhpAgentSendToCollectorOnce(c, text, label) == 0) return 0;
    if (waitForExitOrTimeout(c, kSendRetryWaitMs)) return -1;
  }
}

extern "C" int orvoPhpAgentSendToCollectorOnce(ConnData *c, const char *text,
                                               const char *label) {
  const int fd = orvoPhpAgentConnFd(c);
  size_t remaining = strlen(text);
  const char *next = text;
  // A short count is continued, so a batch is never cut mid-line by
  // anything but a closed connection.
  while (remaining > 0) {
    ssize_t n;
    {
      CancellationPoint cancellable;
      n = send(fd, next, remaining, MSG_NOSIGNAL);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      logError(label, "error writing to collector: %s", strerror(errno));
      orvoPhpAgentCloseConnection(c, label);
      return -1;
    }
    next += n;
    remaining -= static_cast<size_t>(n);
  }
  return 0;
}

extern "C" void orvoPhpAgentCloseConnection(ConnData *c, const char *label) {
  const int fd = orvoPhpAgentConnFd(c);
  if (fd < 0) return;
  logInfo(label, "closing %s fd %d", c->name, fd);
  orvoPhpAgentSetConnFd(c, -1);
  close(fd);
}

SocketWait waitForSocketOrWake(ConnData *c, int fd, int timeoutMs) {
  struct pollfd fds[2];
  fds[0].fd = fd;
  fds[0].events = POLLIN | POLLRDNORM;
  fds[0].revents = 0;
  fds[1].fd = c->wakePipe[0];
  fds[1].events = POLLIN | POLLRDNORM;
  fds[1].revents = 0;
  int rc;
  {
    CancellationPoint cancellable;
    rc = poll(fds, 2, timeoutMs);
  }
  if (rc < 0) return errno == EINTR ? SocketWait::kInterrupted : SocketWait::kFailed;
  if (fds[1].revents & POLLHUP) return SocketWait::kWoken;
  return fds[0].revents != 0 ? SocketWait::kReadable : SocketWait::kTimedOut;
}

ssize_t receiveCancellable(int fd, char *buffer, size_t size) {
  CancellationPoint cancellable;
  return recv(fd, buffer, size, 0);
}

extern "C" char *orvoPhpAgentFindLineEnd(LineBuffer *b) {
  if (b->length <= 0) return nullptr;
  char *newline = static_cast<char *>(memchr(b->data, '\n', b->length));
  return newline == nullptr ? nullptr : newline + 1;
}

extern "C" int orvoPhpAgentReadLine(ConnData *c, LineBuffer *b,
                                    const char *label) {
  while (true) {
    char *end = orvoPhpAgentFindLineEnd(b);
    if (end != nullptr) return static_cast<int>(end - b->data);
    if (orvoPhpAgentGetExitFlag(c)) return -1;
    if (b->length > kLineBufferSize - 1) {
      logError(label, "command from collector is too long");
      return 0;
    }
    const int fd = orvoPhpAgentConnFd(c);
    const SocketWait seen = waitForSocketOrWake(c, fd, kReadPollTimeoutMs);
    if (seen == SocketWait::kFailed) {
      int err = errno;
      logError(label, "command thread: poll error(%d): %s", err, strerror(err));
      return 0;
    }
    if (seen == SocketWait::kWoken) return -1;
    if (seen != SocketWait::kReadable) continue;
    ssize_t n = receiveCancellable(fd, b->data + b->length,
                                   kLineBufferSize - b->length);
    if (n <= 0) {
      logInfo(label, "command thread: EOF from collector");
      return 0;
    }
    b->length += static_cast<int>(n);
  }
}
