// Small helpers shared by the probe's tests: temporary directories, files,
// waiting on conditions, and running a piece of a test in a forked child.
#ifndef ORVO_TESTS_COMMON_TEST_SUPPORT_H
#define ORVO_TESTS_COMMON_TEST_SUPPORT_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace orvo_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return dir; }
  std::string file(const std::string &name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

std::string readFile(const std::string &path);
std::vector<std::string> readLines(const std::string &path);
void writeFile(const std::string &path, const std::string &content);
bool fileExists(const std::string &path);
// Names of the entries of a directory, sorted.
std::vector<std::string> listDir(const std::string &path);

// Number of this process's threads whose name starts with `prefix` (the
// probe names its threads "orvo-...").
int threadsNamed(const std::string &prefix);

// Polls `condition` every few milliseconds until it holds or `timeout`
// passes; returns its last value.
bool waitFor(const std::function<bool()> &condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs `body` in a forked child and returns its exit status: 0 when the body
// returned normally, 1 when it threw, the signal number + 128 when it died.
// The child leaves with _exit so that nothing of the parent's test state
// runs twice. `childPid`, when given, receives the child's process id.
int runInChild(const std::function<void()> &body, int *childPid = nullptr);

}  // namespace orvo_test

#endif
