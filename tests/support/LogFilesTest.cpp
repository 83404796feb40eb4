#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "common/TestSupport.h"
#include "engine/orvo_php_agent_globals.h"
#include "support/Log.h"
#include "support/LogFiles.h"
#include "support/LogSystem.h"

using orvo_test::TempDir;
using orvo_test::fileExists;
using orvo_test::readFile;
using orvo_test::readLines;
using orvo_test::runInChild;

namespace {

const unsigned kMainId = 4711;

std::string format(const char *fmt, unsigned a, int b = 0) {
  char buf[256];
  snprintf(buf, sizeof(buf), fmt, a, b);
  return buf;
}

std::string mainFile(const TempDir &dir) {
  return dir.file(format("orvo_php_agent_%05u.log", kMainId));
}

std::string workerFile(const TempDir &dir, int pid, int n) {
  return dir.file(format("orvo_php_agent_%05u-%05d", kMainId, pid) + "_" +
                  std::to_string(n) + ".log");
}

std::string executableName() {
  char path[1024];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  path[n > 0 ? n : 0] = '\0';
  std::string s = path;
  return s.substr(s.rfind('/') + 1);
}

// The main process sets up its file as module start does; workers are
// forked from it afterwards and inherit the logger and the threshold.
class LogFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLogFacadeForTesting();
    orvo_php_agent_globals.mainPid = getpid();
    orvo_php_agent_globals.logger = nullptr;
    initFileLogger(dir.path().c_str(), kMainId);
    setLogLevel(LOG_LEVEL_INFO);
  }
  void TearDown() override {
    destroyLogger();
    resetLogFacadeForTesting();
  }
  TempDir dir;
};

TEST_F(LogFilesTest, MainProcessAppendsToItsNamedFile) {
  destroyLogger();
  orvo_test::writeFile(mainFile(dir), "an earlier line\n");
  initFileLogger(dir.path().c_str(), kMainId);
  setLogLevel(LOG_LEVEL_INFO);
  logInfo("main", "hello");
  auto lines = readLines(mainFile(dir));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "an earlier line");
  EXPECT_NE(lines[1].find(":main hello"), std::string::npos);
}

TEST_F(LogFilesTest, WorkerWritesItsOwnFileInTheWorkerFormat) {
  int workerPid = 0;
  int status = runInChild([&] {
    initFileLogger(dir.path().c_str(), kMainId);
    logInfo("main", "initializing dataqueue in pid %d", getpid());
    logDebug("main", "below the inherited threshold");
  }, &workerPid);
  ASSERT_EQ(status, 0);

  auto lines = readLines(workerFile(dir, workerPid, 0));
  ASSERT_EQ(lines.size(), 1u);
  const std::string channel = format("%05u-%05d", kMainId, workerPid);
  std::regex shape(R"(^\d\d-\d\d-\d{4} \d\d:\d\d:\d\d (AM|PM) <info>  )" +
                   executableName() + R"(:\|)" + channel +
                   R"(\|:main  initializing dataqueue in pid )" +
                   std::to_string(workerPid) + "$");
  EXPECT_TRUE(std::regex_match(lines[0], shape)) << lines[0];
  // Nothing of the worker reached the main process's file.
  EXPECT_EQ(readFile(mainFile(dir)).find("initializing"), std::string::npos);
}

TEST_F(LogFilesTest, WorkerFileRotatesAfterOneMebibyte) {
  int workerPid = 0;
  int status = runInChild([&] {
    initFileLogger(dir.path().c_str(), kMainId);
    std::string chunk(900, 'r');
    for (int i = 0; i < 1300; ++i) logInfo("main", "%04d %s", i, chunk.c_str());
  }, &workerPid);
  ASSERT_EQ(status, 0);

  struct stat first;
  ASSERT_EQ(stat(workerFile(dir, workerPid, 0).c_str(), &first), 0);
  EXPECT_GE(first.st_size, 1048576 - 1024);
  EXPECT_LE(first.st_size, 1048576 + 1024);
  auto second = readLines(workerFile(dir, workerPid, 1));
  ASSERT_FALSE(second.empty());
  EXPECT_NE(second.back().find("1299 rrr"), std::string::npos);
  EXPECT_FALSE(fileExists(workerFile(dir, workerPid, 2)));
}

TEST_F(LogFilesTest, WorkerFileNumbersContinueAfterTheFilesAlreadyThere) {
  int workerPid = 0;
  int status = runInChild([&] {
    const int pid = getpid();
    // Files an earlier process with the same id left behind.
    orvo_test::writeFile(workerFile(dir, pid, 0), "old 0\n");
    orvo_test::writeFile(workerFile(dir, pid, 3), "old 3\n");
    initFileLogger(dir.path().c_str(), kMainId);
    logInfo("main", "fresh");
  }, &workerPid);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(readFile(workerFile(dir, workerPid, 0)), "old 0\n");
  EXPECT_EQ(readFile(workerFile(dir, workerPid, 3)), "old 3\n");
  EXPECT_NE(readFile(workerFile(dir, workerPid, 4)).find("main  fresh"),
            std::string::npos);
}

TEST_F(LogFilesTest, ProcessForkedFromAWorkerNeverWritesIntoTheWorkersFile) {
  // The grandchild's pid is known only inside the worker: it leaves it in a
  // file for the test.
  const std::string grandchildPidFile = dir.file("grandchild.pid");
  int workerPid = 0;
  int status = runInChild([&] {
    initFileLogger(dir.path().c_str(), kMainId);
    logInfo("main", "from the worker");
    int grandchildPid = 0;
    int grandchild = runInChild([&] {
      initFileLogger(dir.path().c_str(), kMainId);
      logInfo("main", "from the grandchild");
    }, &grandchildPid);
    if (grandchild != 0) throw 1;
    logInfo("main", "worker again");
    orvo_test::writeFile(grandchildPidFile, std::to_string(grandchildPid));
  }, &workerPid);
  ASSERT_EQ(status, 0);
  const int grandchildPid = std::stoi(readFile(grandchildPidFile));

  std::string worker = readFile(workerFile(dir, workerPid, 0));
  EXPECT_NE(worker.find("from the worker"), std::string::npos);
  EXPECT_NE(worker.find("worker again"), std::string::npos);
  EXPECT_EQ(worker.find("from the grandchild"), std::string::npos);
  EXPECT_NE(readFile(workerFile(dir, grandchildPid, 0)).find("from the grandchild"),
            std::string::npos);
}

TEST_F(LogFilesTest, UnusableLogDirectoryNeverStopsTheProcess) {
  // A path below a regular file can be neither created nor written, even
  // by root.
  orvo_test::writeFile(dir.file("plain"), "");
  const std::string bad = dir.file("plain/logs");

  // Main process: the file cannot be opened; lines are dropped quietly.
  destroyLogger();
  initFileLogger(bad.c_str(), kMainId);
  EXPECT_TRUE(logInfoEnabled());
  logError("main", "goes nowhere");

  // Worker: the directory cannot be created; set-up says so on standard
  // output and the worker goes on without a log file.
  const std::string out = dir.file("stdout.txt");
  int status = runInChild([&] {
    if (freopen(out.c_str(), "w", stdout) == nullptr) throw 1;
    resetLogFacadeForTesting();
    initFileLogger(bad.c_str(), kMainId);
    if (logErrorEnabled()) throw 2;  // set-up failed, so nothing is enabled
    logError("main", "goes nowhere either");
  });
  EXPECT_EQ(status, 0);
  std::string said = readFile(out);
  EXPECT_TRUE(std::regex_match(
      said, std::regex("^caught \\(and ignored\\): .+ while initializing the "
                       "logging subsystem\n$")))
      << said;
}

}  // namespace
