// orvo-collector: the reference collector. Records every line the probe's
// connections send, steers command connections from the command line and
// standard input, and can count what it saw. See README.md.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Collector.h"

namespace {

using orvo_collector::Options;
using orvo_collector::writeFully;

const char kUsage[] =
    "usage: orvo-collector [--host H] [--port P] [--out FILE] [--on-connect LINE]...\n"
    "                      [--summary] [--max-line BYTES]\n"
    "  --host H           address to listen on (default 127.0.0.1)\n"
    "  --port P           port to listen on, 0 for any free one (default 5005)\n"
    "  --out FILE         append received lines to FILE (default: standard output)\n"
    "  --on-connect LINE  send LINE to each command connection once it has\n"
    "                     announced itself; may be given several times\n"
    "  --summary          print counters per process id at exit\n"
    "  --max-line BYTES   longest line kept whole (default 16777216)\n"
    "Lines read on standard input are sent to every open command connection.\n"
    "SIGINT or SIGTERM ends the collector.\n";

int usageError(const std::string &message) {
  std::string text = "orvo-collector: " + message + "\n" + kUsage;
  writeFully(STDERR_FILENO, text.data(), text.size());
  return 2;
}

bool parseNumber(const std::string &text, unsigned long long max,
                 unsigned long long &value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  errno = 0;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0 && value <= max;
}

// Returns -1 when the options are usable, else the exit status.
int parseOptions(int argc, char **argv, Options &options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      writeFully(STDOUT_FILENO, kUsage, sizeof kUsage - 1);
      return 0;
    } else if (arg == "--summary" && !hasValue) {
      options.summary = true;
    } else if (arg == "--host" || arg == "--port" || arg == "--out" ||
               arg == "--on-connect" || arg == "--max-line") {
      if (!takeValue()) return usageError(arg + " needs a value");
      unsigned long long number = 0;
      if (arg == "--host") {
        options.host = value;
      } else if (arg == "--out") {
        options.outPath = value;
      } else if (arg == "--on-connect") {
        if (value.find('\n') != std::string::npos)
          return usageError("--on-connect takes one line, without newline");
        options.onConnect.push_back(value);
      } else if (arg == "--port") {
        if (!parseNumber(value, 65535, number))
          return usageError("bad port: " + value);
        options.port = static_cast<uint16_t>(number);
      } else {
        // The parser counts in 32 bits; stay well inside.
        if (!parseNumber(value, 1ull << 30, number) || number == 0)
          return usageError("bad line length: " + value);
        options.maxLine = static_cast<size_t>(number);
      }
    } else {
      return usageError("unknown argument: " + std::string(argv[i]));
    }
  }
  return -1;
}

int gStopPipe[2] = {-1, -1};

void onStopSignal(int) {
  int saved = errno;
  char byte = 1;
  // The pipe is non-blocking: if it is full, a stop is already pending.
  ssize_t ignored = write(gStopPipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

bool installSignals() {
  if (pipe2(gStopPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0)
    return false;
  // Peers that vanish and a closed standard output show up as EPIPE instead.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

// A collector started with a standard descriptor closed would hand that
// number to its first socket or pipe, and then read "standard input" from it
// or write recorded lines into it.
void ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  ensureStandardDescriptors();
  Options options;
  int status = parseOptions(argc, argv, options);
  if (status >= 0) return status;

  if (!installSignals()) {
    std::perror("orvo-collector: signal set-up");
    return 1;
  }
  orvo_collector::Collector collector(options, gStopPipe[0]);
  if (!collector.open()) {
    std::string text = "orvo-collector: " + collector.error() + "\n";
    writeFully(STDERR_FILENO, text.data(), text.size());
    return 1;
  }
  // Written directly, not through stdio, so that a reader of a pipe gets it
  // at once and before any recorded line when those go to standard output.
  std::string listening = "listening on " + collector.boundAddress() + "\n";
  writeFully(STDOUT_FILENO, listening.data(), listening.size());

  bool ok = collector.run();
  if (options.summary) {
    std::string text = collector.summaryText();
    writeFully(STDOUT_FILENO, text.data(), text.size());
  }
  return ok ? 0 : 1;
}
