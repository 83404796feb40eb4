#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/TcpTestPeer.h"
#include "transport/TransportTestFixture.h"

using orvo_test::TcpListener;
using orvo_test::waitFor;

namespace {

int testInitMessage(char *buffer, size_t size) {
  return snprintf(buffer, size, "{\"op\":\"hello\"}\n");
}

class CollectorConnectionTest : public TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    ASSERT_EQ(orvoPhpAgentInitConnData(&conn, 1, "data connection",
                                       testInitMessage),
              0);
  }
  void TearDown() override {
    orvoPhpAgentCloseConnection(&conn, "data");
    TransportTest::TearDown();
  }

  void requestExit() {
    pthread_mutex_lock(&conn.lock);
    conn.exitFlag = 1;
    pthread_cond_broadcast(&conn.cond);
    pthread_mutex_unlock(&conn.lock);
  }

  ConnData conn;
};

TEST_F(CollectorConnectionTest, SendsTheOpeningMessageBeforeTheFirstText) {
  TcpListener listener;
  setCollectorPort(listener.portText());
  std::thread sender([&] {
    EXPECT_EQ(orvoPhpAgentSendToCollector(&conn, "first\n", "data"), 0);
    EXPECT_EQ(orvoPhpAgentSendToCollector(&conn, "second\n", "data"), 0);
  });
  int peer = listener.accept();
  ASSERT_GE(peer, 0);
  std::string expected = "{\"op\":\"hello\"}\nfirst\nsecond\n";
  EXPECT_EQ(orvo_test::readAtLeast(peer, expected.size()), expected);
  sender.join();
  EXPECT_EQ(log->count("data", "sent data connection initialization message "
                               "to the collector"),
            1);
  EXPECT_EQ(log->countContaining("data connection to the collector succeeded, "
                                 "host=127.0.0.1, remote port=" +
                                 listener.portText()),
            1);
  close(peer);
}

TEST_F(CollectorConnectionTest, LargeTextArrivesWhole) {
  TcpListener listener;
  setCollectorPort(listener.portText());
  std::string text;
  for (int i = 0; text.size() < 6 * 1024 * 1024; ++i)
    text += "{\"op\":\"fnC\",\"n\":" + std::to_string(i) + "}\n";
  std::thread sender(
      [&] { EXPECT_EQ(orvoPhpAgentSendToCollector(&conn, text.c_str(), "data"), 0); });
  int peer = listener.accept();
  ASSERT_GE(peer, 0);
  std::string got = orvo_test::readAtLeast(peer, 15 + text.size());
  sender.join();
  EXPECT_EQ(got, "{\"op\":\"hello\"}\n" + text);
  close(peer);
}

TEST_F(CollectorConnectionTest, UnresolvableHostGivesOneLineAndGivesUpAtOnce) {
  orvo_php_agent_globals.collectorHost = "bad host name";
  setCollectorPort("5005");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(orvoPhpAgentSendToCollector(&conn, "x\n", "data"), -1);
  auto elapsed = std::chrono::steady_clock::now() - start;
  // No retry: far below the pause that separates two connect passes.
  EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
  auto entries = log->entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].rfind("data Unable to resolve hostname/ip address bad "
                             "host name. Reason: ",
                             0),
            0u)
      << entries[0];
  EXPECT_EQ(conn.fd, -1);
}

TEST_F(CollectorConnectionTest, SuspendsLoggingAfterFiveFailuresUntilReconnected) {
  const int port = orvo_test::unusedPort();
  setCollectorPort(std::to_string(port));
  const std::string making = "making data connection to the collector on "
                             "host ip addr 127.0.0.1 port " +
                             std::to_string(port);
  const std::string suspended =
      "suspending logging until connection is established";
  std::atomic<int> result(1);
  std::thread connector(
      [&] { result = orvoPhpAgentConnectToTcp(&conn, "127.0.0.1",
                                              collectorPort.c_str(), "data"); });

  ASSERT_TRUE(log->waitForCount("data", suspended, 1, 30000));
  // One more pass goes by in silence.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(log->count("data", making), 5);
  EXPECT_EQ(log->countContaining("making data connection to the collector on port " +
                                 std::to_string(port) + ": "),
            5);
  EXPECT_EQ(log->count("data", suspended), 1);
  EXPECT_EQ(result.load(), 1) << "still trying";

  TcpListener listener(port);
  ASSERT_TRUE(waitFor([&] { return result.load() != 1; },
                      std::chrono::milliseconds(15000)));
  connector.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(log->count("data", "re-connected to collector at IP addr 127.0.0.1 "
                               "listening on port " +
                               std::to_string(port)),
            1);
  EXPECT_EQ(log->count("data", making), 5) << "no attempt line while suspended";
  EXPECT_EQ(log->count("data", suspended), 1);
  EXPECT_GE(conn.fd, 0);
}

TEST_F(CollectorConnectionTest, ExitRequestEndsTheConnectLoopAndItsPauseAtOnce) {
  setCollectorPort(std::to_string(orvo_test::unusedPort()));
  std::atomic<bool> done(false);
  std::atomic<int> result(1);
  std::thread connector([&] {
    result = orvoPhpAgentSendToCollector(&conn, "x\n", "data");
    done = true;
  });
  // The first pass has failed: the loop is now in its pause between passes.
  ASSERT_TRUE(log->waitForCount("data", "error(111) making data connection to "
                                        "the collector on port " +
                                        collectorPort + ": Connection refused",
                                1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto start = std::chrono::steady_clock::now();
  requestExit();
  ASSERT_TRUE(waitFor([&] { return done.load(); }, std::chrono::milliseconds(2000)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  connector.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(log->count("data", "data connection thread exiting"), 1);
}

// The line reader of the command connection, over a socket pair.
class LineReaderTest : public CollectorConnectionTest {
 protected:
  void SetUp() override {
    CollectorConnectionTest::SetUp();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    orvoPhpAgentSetConnFd(&conn, fds[0]);
    buffer.length = 0;
  }
  void TearDown() override {
    close(fds[1]);
    CollectorConnectionTest::TearDown();
  }
  // Reads one line and consumes it, as the command thread does.
  std::string nextLine(int *result) {
    *result = orvoPhpAgentReadLine(&conn, &buffer, "cmd ");
    if (*result <= 0) return std::string();
    std::string line(buffer.data, static_cast<size_t>(*result));
    memmove(buffer.data, buffer.data + *result, buffer.length - *result);
    buffer.length -= *result;
    return line;
  }
  int fds[2];
  LineBuffer buffer;
};

TEST_F(LineReaderTest, TwoLinesInOneReceiveAndOneLineAcrossTwo) {
  orvo_test::sendAll(fds[1], "{\"op\":\"pause\"}\n{\"op\":\"speak\"}\n{\"op\"");
  int n = 0;
  EXPECT_EQ(nextLine(&n), "{\"op\":\"pause\"}\n");
  EXPECT_EQ(n, 15);
  EXPECT_EQ(nextLine(&n), "{\"op\":\"speak\"}\n");
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    orvo_test::sendAll(fds[1], ":\"continue\"}\n");
  });
  EXPECT_EQ(nextLine(&n), "{\"op\":\"continue\"}\n");
  later.join();
}

TEST_F(LineReaderTest, LongestLineFitsAndOneByteMoreIsTooLong) {
  const struct {
    std::string sent;
    int expected;
    bool tooLong;
  } cases[] = {
      {std::string(1023, 'a') + "\n", 1024, false},
      {std::string(1024, 'b'), 0, true},
  };
  for (const auto &c : cases) {
    buffer.length = 0;
    orvo_test::sendAll(fds[1], c.sent);
    int n = -2;
    std::string line = nextLine(&n);
    EXPECT_EQ(n, c.expected);
    if (!c.tooLong) {
      EXPECT_EQ(line, c.sent);
    }
  }
  EXPECT_EQ(log->count("cmd ", "command from collector is too long"), 1);
}

TEST_F(LineReaderTest, EndOfStreamAndExitRequest) {
  orvo_test::sendAll(fds[1], "partial");
  shutdown(fds[1], SHUT_WR);
  int n = -2;
  nextLine(&n);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(log->count("cmd ", "command thread: EOF from collector"), 1);

  requestExit();
  buffer.length = 0;
  nextLine(&n);
  EXPECT_EQ(n, -1);
}

}  // namespace
