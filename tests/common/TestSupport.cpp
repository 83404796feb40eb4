#include "common/TestSupport.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace orvo_test {

namespace {

void removeTree(const std::string &path) {
  DIR *d = opendir(path.c_str());
  if (d != nullptr) {
    while (struct dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat st;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        removeTree(child);
      else
        unlink(child.c_str());
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

}  // namespace

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") +
                        "/orvo_test_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed for " + pattern);
  dir = buf.data();
}

TempDir::~TempDir() { removeTree(dir); }

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> readLines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

void writeFile(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool fileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (d == nullptr) return names;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

int threadsNamed(const std::string &prefix) {
  int n = 0;
  for (const std::string &task : listDir("/proc/self/task")) {
    std::string name = readFile("/proc/self/task/" + task + "/comm");
    if (name.compare(0, prefix.size(), prefix) == 0) ++n;
  }
  return n;
}

bool waitFor(const std::function<bool()> &condition,
             std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int runInChild(const std::function<void()> &body, int *childPid) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid > 0 && childPid != nullptr) *childPid = pid;
  if (pid == 0) {
    int code = 0;
    try {
      body();
    } catch (...) {
      code = 1;
    }
    fflush(nullptr);
    _exit(code);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace orvo_test
