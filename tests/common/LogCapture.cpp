#include "common/LogCapture.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "engine/orvo_php_agent_globals.h"
#include "support/LogFiles.h"
#include "support/LogSystem.h"

namespace orvo_test {

namespace {
const unsigned kCaptureId = 4711;

// "<stamp> <tag> process:<pid>:<label> <message>" with a five-character
// pid: everything after the pid's colon is the label, a blank, the message.
std::string labelAndMessageOf(const std::string &line) {
  const std::string marker = " process:";
  size_t p = line.find(marker);
  if (p == std::string::npos) return line;
  p += marker.size() + 6;
  return p <= line.size() ? line.substr(p) : std::string();
}
}  // namespace

LogCapture::LogCapture(LogLevel level) {
  char name[64];
  snprintf(name, sizeof(name), "orvo_php_agent_%05u.log", kCaptureId);
  file = dir.file(name);
  orvo_php_agent_globals.mainPid = getpid();
  initFileLogger(dir.path().c_str(), kCaptureId);
  setLogLevel(level);
}

LogCapture::~LogCapture() {
  destroyLogger();
  resetLogFacadeForTesting();
}

std::vector<std::string> LogCapture::lines() const { return readLines(file); }

std::vector<std::string> LogCapture::entries() const {
  std::vector<std::string> result;
  for (const std::string &line : lines())
    result.push_back(labelAndMessageOf(line));
  return result;
}

int LogCapture::count(const std::string &label,
                      const std::string &message) const {
  const std::string wanted = label + " " + message;
  int n = 0;
  for (const std::string &e : entries())
    if (e == wanted) ++n;
  return n;
}

int LogCapture::countContaining(const std::string &part) const {
  int n = 0;
  for (const std::string &e : entries())
    if (e.find(part) != std::string::npos) ++n;
  return n;
}

bool LogCapture::waitForCount(const std::string &label,
                              const std::string &message, int n,
                              int timeoutMs) const {
  return waitFor([&] { return count(label, message) >= n; },
                 std::chrono::milliseconds(timeoutMs));
}

}  // namespace orvo_test
