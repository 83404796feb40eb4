#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/LogCapture.h"
#include "engine/orvo_php_agent_globals.h"
#include "support/Log.h"
#include "support/LogFiles.h"
#include "support/LogSystem.h"
#include "support/SingleProcessLogger.h"

using orvo_test::LogCapture;

namespace {

class LogFacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLogFacadeForTesting();
    orvo_php_agent_globals.mainPid = getpid();
    orvo_php_agent_globals.logger = nullptr;
  }
  void TearDown() override {
    destroyLogger();
    resetLogFacadeForTesting();
  }
};

std::string pid5() {
  char buf[6];
  snprintf(buf, sizeof(buf), "%05d", static_cast<int>(getpid()));
  return buf;
}

const char *const kStamp = R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d (AM|PM))";

TEST_F(LogFacadeTest, NothingIsWrittenOrEnabledBeforeALoggerExists) {
  for (int threshold : {0, 2, 5}) {
    setLogLevel(threshold);
    EXPECT_FALSE(logTraceEnabled());
    EXPECT_FALSE(logDebugEnabled());
    EXPECT_FALSE(logInfoEnabled());
    EXPECT_FALSE(logWarningEnabled());
    EXPECT_FALSE(logErrorEnabled());
    EXPECT_FALSE(logFatalEnabled());
  }
  // With no sink anywhere these must simply do nothing.
  logFatal("main", "nobody listens %d", 1);
  orvo_php_agent_globals.mainPid = getpid() + 1;
  logFatal("main", "nobody listens %d", 2);
}

TEST_F(LogFacadeTest, MainProcessLineFormatForEveryLevel) {
  LogCapture capture(LOG_LEVEL_TRACE);
  logTrace("main", "t %d", 0);
  logDebug("main", "d %s", "x");
  logInfo("data", "i");
  logWarning("cmd ", "w");
  logError("main", "e");
  logFatal("main", "f");
  std::vector<std::string> lines = capture.lines();
  ASSERT_EQ(lines.size(), 6u);
  const std::string p = pid5();
  const std::vector<std::string> expected = {
      "<trace> process:" + p + ":main t 0",
      "<debug> process:" + p + ":main d x",
      "<info.> process:" + p + ":data i",
      "<warn.> process:" + p + ":cmd  w",
      "<error> process:" + p + ":main e",
      "<fatal> process:" + p + ":main f",
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    std::regex shape(std::string("^") + kStamp + " (.*)$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, shape)) << lines[i];
    EXPECT_EQ(m[2].str(), expected[i]);
  }
}

TEST_F(LogFacadeTest, LevelOutsideTheRangeGetsABlankTag) {
  EXPECT_STREQ(SingleProcessLogger::getLevelString(static_cast<LogLevel>(7)),
               "<     >");
  EXPECT_STREQ(SingleProcessLogger::getLevelString(static_cast<LogLevel>(-1)),
               "<     >");
  LogCapture capture(LOG_LEVEL_TRACE);
  char message[] = "odd level";
  orvo_php_agent_globals.logger->log(static_cast<LogLevel>(7), "main", message);
  std::vector<std::string> lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(std::string("^") + kStamp + " <     > process:" +
                           pid5() + ":main odd level$")))
      << lines[0];
}

TEST_F(LogFacadeTest, ThresholdGatesWritesAndChecks) {
  LogCapture capture(LOG_LEVEL_WARNING);
  EXPECT_FALSE(logInfoEnabled());
  EXPECT_TRUE(logWarningEnabled());
  EXPECT_TRUE(logFatalEnabled());
  logInfo("main", "not written");
  logWarning("main", "written");
  EXPECT_EQ(capture.count("main", "not written"), 0);
  EXPECT_EQ(capture.count("main", "written"), 1);
}

TEST_F(LogFacadeTest, LongMessagesAreCutAndEmptyOnesDropped) {
  LogCapture capture(LOG_LEVEL_TRACE);
  std::string big(2000, 'x');
  logInfo("main", "%s", big.c_str());
  logInfo("main", "%s", "");
  std::vector<std::string> entries = capture.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], "main " + std::string(1023, 'x'));
}

TEST_F(LogFacadeTest, WritesAfterDestroyLoggerAreDropped) {
  LogCapture capture(LOG_LEVEL_TRACE);
  logInfo("main", "before");
  destroyLogger();
  EXPECT_EQ(orvo_php_agent_globals.logger, nullptr);
  logInfo("main", "after");
  EXPECT_EQ(capture.count("main", "before"), 1);
  EXPECT_EQ(capture.count("main", "after"), 0);
}

TEST_F(LogFacadeTest, ConsoleLoggerWritesWorkerLinesOnStandardError) {
  orvo_test::TempDir dir;
  const std::string err = dir.file("stderr.txt");
  int status = orvo_test::runInChild([&] {
    if (freopen(err.c_str(), "w", stderr) == nullptr) throw 1;
    initConsoleLogger();
    logWarning("data", "to the console %d", 7);
  });
  ASSERT_EQ(status, 0);
  std::vector<std::string> lines = orvo_test::readLines(err);
  ASSERT_EQ(lines.size(), 1u);
  // The channel is the worker's own pid; the threshold is the default.
  EXPECT_TRUE(std::regex_search(
      lines[0], std::regex(std::string("^") + kStamp +
                           R"( <warning>  [^:]+:\|\d{5}\|:data  to the console 7$)")))
      << lines[0];
}

TEST_F(LogFacadeTest, SetLogLevelClamps) {
  const struct {
    int given;
    int stored;
  } cases[] = {{7, 5}, {6, 5}, {5, 5}, {3, 3}, {0, 0}, {-1, 0}, {-100, 0}};
  for (const auto &c : cases) {
    setLogLevel(c.given);
    EXPECT_EQ(getLogLevel(), c.stored) << c.given;
  }
}

TEST(SingleProcessLoggerTest, SetLevelKeepsKnownLevelsAndMapsTheRestToWarning) {
  SingleProcessLogger logger(false, nullptr, LOG_LEVEL_ERROR);
  const struct {
    int given;
    LogLevel stored;
  } cases[] = {{0, LOG_LEVEL_TRACE},   {1, LOG_LEVEL_DEBUG},
               {2, LOG_LEVEL_INFO},    {3, LOG_LEVEL_WARNING},
               {4, LOG_LEVEL_ERROR},   {5, LOG_LEVEL_FATAL},
               {9, LOG_LEVEL_WARNING}, {-1, LOG_LEVEL_WARNING}};
  for (const auto &c : cases) {
    logger.setLevel(c.given);
    EXPECT_EQ(logger.getLevel(), c.stored) << c.given;
  }
  EXPECT_FALSE(logger.shouldLog(LOG_LEVEL_FATAL)) << "no file was requested";
}

TEST(LoggingBackoffTest, LetsThroughTheNineMultiplesOfEachPowerOfTen) {
  for (unsigned long n : {1ul, 2ul, 9ul, 10ul, 20ul, 90ul, 100ul, 500ul,
                          1000ul, 7000ul, 10000000000ul})
    EXPECT_TRUE(loggingBackoff(n)) << n;
  for (unsigned long n : {0ul, 11ul, 15ul, 99ul, 101ul, 110ul, 1001ul, 1500ul,
                          18446744073709551615ul})
    EXPECT_FALSE(loggingBackoff(n)) << n;
  int passed = 0;
  for (unsigned long n = 1; n <= 1000; ++n) passed += loggingBackoff(n);
  EXPECT_EQ(passed, 28);  // 9 + 9 + 9 + 1
}

}  // namespace
