#include "Collector.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace orvo_collector {

namespace {

using namespace std::chrono_literals;

// A connection's input buffer starts small and grows to kLargeInput while the
// peer keeps it full, so a busy probe is read in large chunks while an idle
// one costs little. It never needs more than the line cap plus kMinFreeInput.
constexpr size_t kInitialInput = 64 * 1024;
constexpr size_t kLargeInput = 1 << 20;
constexpr size_t kMinFreeInput = 16 * 1024;
// Bytes taken from one connection before the others get their turn.
constexpr size_t kReadBudget = 4 << 20;
// Bytes queued for one command connection that does not read; past this,
// further lines to it are dropped whole (and counted).
constexpr size_t kMaxBacklog = 1 << 20;
// A longer line on standard input is not a command; it is dropped.
constexpr size_t kMaxStdinLine = 1 << 20;
constexpr auto kFlushInterval = 100ms;
constexpr int kMaxAcceptsPerPass = 64;
// Out of descriptors: stop accepting for a while instead of spinning on a
// listening socket that stays readable.
constexpr auto kAcceptPause = 100ms;

void warn(const std::string &text) {
  std::string line = "orvo-collector: " + text + "\n";
  writeFully(STDERR_FILENO, line.data(), line.size());
}

enum class Kind { Unknown, Data, Command, Other };

}  // namespace

struct Collector::Connection {
  explicit Connection(int socket) : fd(socket) {}

  size_t backlog() const { return out.size() - outSent; }

  int fd;
  bool closed = false;
  bool opened = false;  // first line seen, kind known
  Kind kind = Kind::Unknown;

  std::unique_ptr<char[]> in;
  size_t inSize = 0;
  size_t inCapacity = 0;
  bool skipping = false;  // dropping the rest of an overlong line

  std::string out;
  size_t outSent = 0;
  bool outBroken = false;
  bool dropReported = false;

  // Summary buckets: the connection's own process (from its first line) for
  // lines that name none, and the last process id a line named.
  Counters *counters = nullptr;
  std::string lastProcessId;
  Counters *lastCounters = nullptr;
};

Collector::Collector(Options options, int stopFd)
    : options_(std::move(options)), stopFd_(stopFd) {
  if (options_.summary) summary_.reset(new Summary);
}

Collector::~Collector() {
  for (auto &c : connections_)
    if (!c->closed) ::close(c->fd);
  if (listenFd_ >= 0) ::close(listenFd_);
}

bool Collector::open() {
  if (!sink_.open(options_.outPath)) {
    error_ = sink_.error();
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  std::string port = std::to_string(options_.port);
  int rc = getaddrinfo(options_.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    error_ = "cannot resolve " + options_.host + ": " + gai_strerror(rc);
    return false;
  }
  error_.clear();
  for (addrinfo *a = found; a != nullptr && listenFd_ < 0; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                      a->ai_protocol);
    if (fd < 0) {
      error_ = std::string("socket: ") + strerror(errno);
      continue;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
      error_ = "cannot listen on " + options_.host + ":" + port + ": " +
               strerror(errno);
      ::close(fd);
      continue;
    }
    listenFd_ = fd;
  }
  freeaddrinfo(found);
  if (listenFd_ < 0) return false;

  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  char host[NI_MAXHOST], service[NI_MAXSERV];
  if (getsockname(listenFd_, reinterpret_cast<sockaddr *>(&bound), &length) != 0 ||
      getnameinfo(reinterpret_cast<sockaddr *>(&bound), length, host, sizeof host,
                  service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    error_ = std::string("cannot read the bound address: ") + strerror(errno);
    return false;
  }
  boundAddress_ = bound.ss_family == AF_INET6
                      ? "[" + std::string(host) + "]:" + service
                      : std::string(host) + ":" + service;
  return true;
}

bool Collector::run() {
  std::vector<pollfd> fds;
  lastFlush_ = Clock::now();
  bool stopping = false;
  while (!stopping && !sink_.failed()) {
    Clock::time_point now = Clock::now();
    bool accepting = now >= acceptPausedUntil_;
    fds.clear();
    fds.push_back({stopFd_, POLLIN, 0});
    fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
    fds.push_back({stdinOpen_ ? STDIN_FILENO : -1, POLLIN, 0});
    const size_t first = fds.size();
    const size_t polled = connections_.size();
    for (auto &c : connections_) {
      short events = POLLIN;
      if (c->backlog() > 0) events |= POLLOUT;
      fds.push_back({c->fd, events, 0});
    }

    int timeout = -1;
    if (!accepting) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          acceptPausedUntil_ - now);
      timeout = static_cast<int>(left.count()) + 1;
    }
    // Recorded lines go out as soon as the collector has nothing to read,
    // and under a steady stream at least every kFlushInterval (below).
    int ready;
    if (sink_.pending()) {
      ready = poll(fds.data(), fds.size(), 0);
      if (ready == 0) {
        flushOut();
        ready = poll(fds.data(), fds.size(), timeout);
      }
    } else {
      ready = poll(fds.data(), fds.size(), timeout);
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      warn(std::string("poll: ") + strerror(errno));
      break;
    }

    if (fds[0].revents != 0) stopping = true;
    for (size_t i = 0; i < polled; ++i) {
      Connection &c = *connections_[i];
      short revents = fds[first + i].revents;
      if (revents & POLLOUT) sendBacklog(c);
      if (!c.closed && (revents & (POLLIN | POLLHUP | POLLERR))) readFrom(c);
    }
    if (fds[2].revents != 0) readStdin();
    if (fds[1].revents != 0) acceptAll();

    connections_.erase(
        std::remove_if(connections_.begin(), connections_.end(),
                       [](const std::unique_ptr<Connection> &c) { return c->closed; }),
        connections_.end());

    if (sink_.pending() && Clock::now() - lastFlush_ >= kFlushInterval) flushOut();
  }

  // What a peer had sent of an unfinished line is kept, as when it closes.
  for (auto &c : connections_) closeConnection(*c);
  connections_.clear();
  flushOut();
  if (sink_.failed()) {
    warn(sink_.error());
    return false;
  }
  return true;
}

std::string Collector::summaryText() const {
  return summary_ ? summary_->render() : std::string();
}

void Collector::flushOut() {
  sink_.flush();
  lastFlush_ = Clock::now();
}

void Collector::acceptAll() {
  for (int i = 0; i < kMaxAcceptsPerPass; ++i) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      connections_.emplace_back(new Connection(fd));
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    warn(std::string("accept: ") + strerror(errno));
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
      acceptPausedUntil_ = Clock::now() + kAcceptPause;
    return;
  }
}

void Collector::reserveInput(Connection &c, bool lastReadFilled) {
  size_t need = c.inSize + kMinFreeInput;
  size_t capacity = c.inCapacity != 0 ? c.inCapacity : kInitialInput;
  if (lastReadFilled && capacity < kLargeInput) capacity *= 2;
  while (capacity < need) capacity *= 2;
  // Doubling must not overshoot the bound on what a connection holds.
  capacity = std::max(need, std::min(capacity, std::max(kLargeInput,
                                                        options_.maxLine + kMinFreeInput)));
  if (capacity == c.inCapacity) return;
  std::unique_ptr<char[]> bigger(new char[capacity]);
  if (c.inSize > 0) std::memcpy(bigger.get(), c.in.get(), c.inSize);
  c.in = std::move(bigger);
  c.inCapacity = capacity;
}

void Collector::readFrom(Connection &c) {
  size_t budget = kReadBudget;
  bool filled = false;
  while (budget > 0) {
    reserveInput(c, filled);
    size_t room = c.inCapacity - c.inSize;
    ssize_t n = ::read(c.fd, c.in.get() + c.inSize, room);
    if (n > 0) {
      size_t from = c.inSize;
      c.inSize += static_cast<size_t>(n);
      consume(c, from);
      budget -= std::min(budget, static_cast<size_t>(n));
      filled = static_cast<size_t>(n) == room;
      // A short read means the socket is empty: saves the read that would
      // only say EAGAIN.
      if (!filled) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // End of stream, or an error such as a reset: the peer is gone.
    closeConnection(c);
    return;
  }
}

// Takes the bytes [from, inSize) just read: records every complete line and
// keeps the unfinished one for the next read.
void Collector::consume(Connection &c, size_t from) {
  char *buf = c.in.get();
  size_t begin = 0;
  if (c.skipping) {
    // Everything before was dropped, so from is 0 here.
    const char *nl = static_cast<const char *>(std::memchr(buf, '\n', c.inSize));
    if (nl == nullptr) {
      c.inSize = 0;
      return;
    }
    c.skipping = false;
    begin = static_cast<size_t>(nl - buf) + 1;
  }
  // Bytes kept from earlier reads hold no newline, so the last newline of
  // the new bytes ends the complete lines.
  size_t scan = std::max(begin, from);
  const char *last =
      static_cast<const char *>(memrchr(buf + scan, '\n', c.inSize - scan));
  size_t end = last != nullptr ? static_cast<size_t>(last - buf) + 1 : begin;
  if (end > begin) recordLines(c, buf + begin, end - begin);

  size_t rest = c.inSize - end;
  if (rest > options_.maxLine) {
    recordCutLine(c, buf + end, options_.maxLine, kOverlong);
    c.skipping = true;
    c.inSize = 0;
    return;
  }
  if (end > 0 && rest > 0) std::memmove(buf, buf + end, rest);
  c.inSize = rest;
}

// `data` holds whole lines, each with its newline. They go to the out file in
// large blocks; lines are looked at one by one only for the summary, to learn
// a new connection's kind from its first line, and where the block is long
// enough to hide a line over the cap (a line can end in the same read that
// brought most of it).
void Collector::recordLines(Connection &c, const char *data, size_t size) {
  const char *p = data;
  const char *end = data + size;
  const char *block = data;
  while (p < end && (summary_ || !c.opened || static_cast<size_t>(end - p) > options_.maxLine)) {
    const char *nl = static_cast<const char *>(std::memchr(p, '\n', end - p));
    size_t length = static_cast<size_t>(nl - p);
    if (length > options_.maxLine) {
      sink_.append(block, static_cast<size_t>(p - block));
      recordCutLine(c, p, options_.maxLine, kOverlong);
      block = nl + 1;
    } else if (summary_ || !c.opened) {
      handleLine(c, p, length);
    }
    p = nl + 1;
  }
  sink_.append(block, static_cast<size_t>(end - block));
}

void Collector::handleLine(Connection &c, const char *data, size_t size) {
  classifier_.classify(data, size, info_);
  bool opening = !c.opened;
  if (opening) openConnection(c, info_);
  if (summary_) Summary::countLine(info_, opening, countersFor(c, info_));
}

// A line that cannot be kept whole: the unterminated end of a connection, or
// the first maxLine bytes of an overlong line. It is recorded with a newline
// added and counted as not valid JSON, whatever its bytes.
void Collector::recordCutLine(Connection &c, const char *data, size_t size,
                              Counter why) {
  if (!c.opened) openConnection(c, noInfo_);
  sink_.appendLine(data, size);
  if (summary_) {
    Counters &counters = *c.counters;
    Summary::countLine(noInfo_, false, counters);
    ++counters[why];
  }
}

void Collector::openConnection(Connection &c, const LineInfo &info) {
  c.opened = true;
  c.kind = info.op == LineOp::DataConn      ? Kind::Data
           : info.op == LineOp::CommandConn ? Kind::Command
                                            : Kind::Other;
  if (summary_) {
    c.counters = &summary_->bucket(info.processId());
    ++(*c.counters)[c.kind == Kind::Data      ? kDataConn
                    : c.kind == Kind::Command ? kCommandConn
                                              : kOtherConn];
  }
  if (c.kind == Kind::Command)
    for (const std::string &line : options_.onConnect) queueSend(c, line + "\n");
}

Counters &Collector::countersFor(Connection &c, const LineInfo &info) {
  const std::string *id = info.processId();
  if (id == nullptr) return *c.counters;
  if (c.lastCounters == nullptr || c.lastProcessId != *id) {
    c.lastProcessId = *id;
    c.lastCounters = &summary_->bucket(id);
  }
  return *c.lastCounters;
}

void Collector::closeConnection(Connection &c) {
  if (c.closed) return;
  if (!c.skipping && c.inSize > 0) recordCutLine(c, c.in.get(), c.inSize, kPartial);
  // A connection that never sent a line is still a connection.
  if (!c.opened) openConnection(c, noInfo_);
  ::close(c.fd);
  c.closed = true;
  c.in.reset();
  c.inSize = c.inCapacity = 0;
  c.out.clear();
  c.outSent = 0;
}

void Collector::queueSend(Connection &c, const std::string &line) {
  if (c.closed || c.outBroken) return;
  size_t backlog = c.backlog();
  if (backlog + line.size() > kMaxBacklog) {
    if (summary_) ++(*c.counters)[kSendDropped];
    if (!c.dropReported) {
      warn("a command connection does not read; lines to it are dropped");
      c.dropReported = true;
    }
    return;
  }
  size_t sent = 0;
  if (backlog == 0) {
    ssize_t n = ::send(c.fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent = static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      // The peer is gone; reading will see it and close the connection.
      c.outBroken = true;
      return;
    }
  }
  if (sent < line.size()) c.out.append(line, sent, std::string::npos);
}

void Collector::sendBacklog(Connection &c) {
  while (c.backlog() > 0) {
    ssize_t n = ::send(c.fd, c.out.data() + c.outSent, c.backlog(),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.outSent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      c.outBroken = true;
      c.out.clear();
      c.outSent = 0;
    }
    break;
  }
  if (c.outSent == c.out.size()) {
    c.out.clear();
    c.outSent = 0;
  } else if (c.outSent >= 64 * 1024) {
    c.out.erase(0, c.outSent);
    c.outSent = 0;
  }
}

void Collector::readStdin() {
  char buf[64 * 1024];
  ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n <= 0) {
    // End of input (or a standard input that cannot be read): the collector
    // goes on serving; a last line without newline still counts as a line.
    if (n < 0) warn(std::string("standard input: ") + strerror(errno));
    if (!stdinSkipping_ && !stdinLine_.empty()) broadcast(stdinLine_);
    stdinLine_.clear();
    stdinOpen_ = false;
    return;
  }
  const char *p = buf;
  const char *end = buf + n;
  while (p < end) {
    const char *nl = static_cast<const char *>(std::memchr(p, '\n', end - p));
    const char *stop = nl != nullptr ? nl : end;
    if (!stdinSkipping_) stdinLine_.append(p, stop);
    if (stdinLine_.size() > kMaxStdinLine) {
      warn("a line on standard input is too long; dropped");
      stdinLine_.clear();
      stdinSkipping_ = true;
    }
    if (nl == nullptr) break;
    if (!stdinSkipping_) broadcast(stdinLine_);
    stdinLine_.clear();
    stdinSkipping_ = false;
    p = nl + 1;
  }
}

void Collector::broadcast(const std::string &line) {
  std::string message = line + "\n";
  for (auto &c : connections_)
    if (c->kind == Kind::Command) queueSend(*c, message);
}

}  // namespace orvo_collector
