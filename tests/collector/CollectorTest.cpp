// The real orvo-collector over real sockets on 127.0.0.1.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CollectorHarness.h"
#include "Summary.h"

namespace {

using namespace collector_test;
using ::testing::MatchesRegex;

const std::string kCommandOpening =
    R"({"op":"commandConn","probe":"php","ver":"1","instid":"7","pgm":"/usr/sbin/apache2","prms":{"appName":"shop","hostName":"web1"}})";
const std::string kPause = R"({"op":"pause"})";
const std::string kSpeak = R"({"op":"speak"})";

std::string dataOpening(const std::string &pid) {
  return R"({"op":"dataConn","probe":"php","ver":"1","pid":")" + pid +
         R"(","tid":"5","instid":"7"})";
}

std::vector<std::string> splitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

TEST(CollectorTest, RecordsEveryLineUnchangedAndInOrderPerConnection) {
  TempDir dir;
  const std::string out = dir.file("out.jsonl");
  CollectorProcess collector({"--out", out});
  EXPECT_THAT(collector.listeningLine(), MatchesRegex("listening on 127\\.0\\.0\\.1:[0-9]+"));
  ASSERT_NE(collector.port(), 0);
  collector.closeStdin();  // standard input at its end changes nothing

  // Lines of many lengths, JSON or not, with bytes >= 128, tabs, carriage
  // returns and NULs: the collector must keep every byte.
  const int kConnections = 4, kLines = 300;
  std::unordered_map<std::string, std::pair<int, int>> origin;
  std::vector<std::string> streams(kConnections);
  for (int c = 0; c < kConnections; ++c) {
    for (int i = 0; i < kLines; ++i) {
      std::string line = R"({"op":"fnC","c":)" + std::to_string(c) + R"(,"i":)" +
                         std::to_string(i) + R"(,"s":")" + std::string(i % 97, 'x') +
                         "\xc3\xa9\t\r\xff\"}";
      if (i % 7 == 0) line += std::string("\0\x01 not json", 11);
      origin[line] = {c, i};
      streams[c] += line + "\n";
    }
  }
  // All connections open at once; each stream goes out in pieces that cut
  // lines anywhere, the connections taking turns.
  std::vector<std::unique_ptr<Client>> clients;
  for (int c = 0; c < kConnections; ++c) clients.emplace_back(new Client(collector.port()));
  const size_t kPieces[] = {1, 5, 17, 64, 333, 1000, 4096};
  std::vector<size_t> sentBytes(kConnections, 0);
  for (size_t turn = 0, done = 0; done < static_cast<size_t>(kConnections); ++turn) {
    done = 0;
    for (int c = 0; c < kConnections; ++c) {
      size_t piece = std::min(kPieces[(turn + c) % 7], streams[c].size() - sentBytes[c]);
      if (piece > 0) clients[c]->send(streams[c].substr(sentBytes[c], piece));
      sentBytes[c] += piece;
      done += sentBytes[c] == streams[c].size();
    }
  }

  // Recorded while the collector runs, not only when it stops.
  ASSERT_TRUE(waitFor([&] { return countLines(readFile(out)) == kConnections * kLines; }));
  std::vector<int> next(kConnections, 0);
  for (const std::string &line : splitLines(readFile(out))) {
    auto found = origin.find(line);
    ASSERT_NE(found, origin.end()) << "a line was altered or mixed: " << line;
    EXPECT_EQ(found->second.second, next[found->second.first]++) << "out of order: " << line;
  }
  EXPECT_EQ(collector.stop(SIGINT), 0);
  EXPECT_EQ(countLines(readFile(out)), static_cast<size_t>(kConnections * kLines));
}

TEST(CollectorTest, WritesToStandardOutputAfterTheListeningLine) {
  CollectorProcess collector({}, 0, /*recordToFile=*/false);
  Client client(collector.port());
  const std::string lines = "{\"op\":\"fnC\",\"pid\":\"1\"}\nsecond line\n";
  client.send(lines);
  EXPECT_TRUE(collector.waitForOutput([&](const std::string &text) { return text == lines; }))
      << collector.output();
  EXPECT_EQ(collector.stop(SIGTERM), 0);
  EXPECT_EQ(collector.output(), lines);
}

TEST(CollectorTest, CommandConnectionsGetOnConnectLinesAndStandardInput) {
  TempDir dir;
  const std::string out = dir.file("out.jsonl");
  CollectorProcess collector({"--out", out, "--on-connect", kPause, "--on-connect", kSpeak});
  const std::string onConnect = kPause + "\n" + kSpeak + "\n";

  // The opening line may arrive in pieces; the lines follow it.
  Client command1(collector.port());
  command1.send(kCommandOpening.substr(0, 20));
  command1.send(kCommandOpening.substr(20) + "\n");
  EXPECT_EQ(command1.receive(onConnect.size()), onConnect);

  Client data(collector.port());
  data.send(dataOpening("100") + "\n");
  // A commandConn line that is not the first one does not make a command
  // connection.
  Client other(collector.port());
  other.send("{\"op\":\"fnC\",\"pid\":\"1\"}\n" + kCommandOpening + "\n");
  Client command2(collector.port());
  command2.send(kCommandOpening + "\n");
  EXPECT_EQ(command2.receive(onConnect.size()), onConnect);
  ASSERT_TRUE(waitFor([&] { return countLines(readFile(out)) == 5; }));

  const std::string commands = "{\"op\":\"continue\"}\n{\"op\":\"config\",\"cmd\":\"rst\"}\n";
  collector.writeStdin(commands);
  EXPECT_EQ(command1.receive(commands.size()), commands);
  EXPECT_EQ(command2.receive(commands.size()), commands);
  // Sent in the same pass as to the command connections, so it would be
  // here by now.
  EXPECT_EQ(data.receiveNow(), "");
  EXPECT_EQ(other.receiveNow(), "");

  // Replies on a command connection are recorded like any line.
  command1.send("{\"op\":\"arf\"}\n");
  EXPECT_TRUE(waitFor([&] { return readFile(out).find("{\"op\":\"arf\"}\n") != std::string::npos; }));

  // A last line without newline still goes out at end of input, and the
  // collector goes on serving.
  collector.writeStdin(kSpeak);
  collector.closeStdin();
  EXPECT_EQ(command1.receive(kSpeak.size() + 1), kSpeak + "\n");
  Client command3(collector.port());
  command3.send(kCommandOpening + "\n");
  EXPECT_EQ(command3.receive(onConnect.size()), onConnect);
  EXPECT_EQ(collector.stop(SIGTERM), 0);
}

TEST(CollectorTest, CommandConnectionThatDoesNotReadStallsNothing) {
  TempDir dir;
  const std::string out = dir.file("out.jsonl");
  CollectorProcess collector({"--out", out, "--summary"});
  Client stuck(collector.port(), 4096);
  stuck.send(kCommandOpening + "\n");
  ASSERT_TRUE(waitFor([&] { return countLines(readFile(out)) == 1; }));

  // Far more than the socket buffers and the collector's backlog hold: the
  // collector must keep reading its input and drop what the peer cannot take.
  const std::string line = "{\"op\":\"speak\",\"pad\":\"" + std::string(1000, 'p') + "\"}\n";
  std::string burst;
  for (int i = 0; i < 16 * 1024; ++i) burst += line;
  collector.writeStdin(burst);

  Client data(collector.port());
  const std::string event = "{\"op\":\"fnC\",\"pid\":\"100\",\"seq\":1}";
  data.send(dataOpening("100") + "\n" + event + "\n");
  EXPECT_TRUE(waitFor([&] { return readFile(out).find(event + "\n") != std::string::npos; }));

  EXPECT_EQ(collector.stop(SIGTERM), 0);
  auto summary = parseSummary(collector.output());
  EXPECT_GT(summary["pid.7.sendDropped"], 0u);
  EXPECT_EQ(summary["total.sendDropped"], summary["pid.7.sendDropped"]);
  EXPECT_EQ(summary["total.fnC"], 1u);
}

TEST(CollectorTest, SummaryCountsPerProcessIdAndOp) {
  TempDir dir;
  const std::string out = dir.file("out.jsonl");
  CollectorProcess collector({"--out", out, "--summary"});

  // A connection that sends nothing at all.
  Client empty(collector.port());
  empty.close();

  Client a(collector.port());
  a.send(dataOpening("100") + "\n" +
         R"({"op":"fnC","ts":1,"fn":"/index.php","pid":"100","seq":1,"prms":{"url":"/a","frontend":"true","hostName":"h","httpMethod":"GET"}})" "\n"
         R"({"op":"fnC","ts":2,"fn":"mysqli_query","pid":"100","seq":2,"prms":{"url":"mysql://db","query":"SELECT 1"}})" "\n"
         R"({"op":"fnR","ts":3,"fn":"mysqli_query","pid":"100","cseq":2})" "\n"
         R"({"op":"fnC","ts":4,"fn":"Guzzle\u005cClient::send","pid":"100","seq":3,"prms":{"url":"http://x/","method":"GET"}})" "\n"
         R"({"op":"fnR","ts":5,"fn":"Guzzle\u005cClient::send","pid":"100","cseq":3,"prms":{"resCode":404,"resMsg":"Not Found"}})" "\n"
         R"({"op":"fnR","ts":6,"fn":"/index.php","pid":"100","cseq":1,"exc":{"class":"E","msg":"m"}})" "\n"
         R"({"op":"err","ts":7,"fn":"f","pid":"100","err":4})" "\n"
         R"({"op":"fnC","ts":8,"fn":"g","pid":"101","seq":1})" "\n"
         "not json\n");
  Client b(collector.port());
  b.send(kCommandOpening + "\n{\"op\":\"arf\"}\n");
  // Invalid lines belong to their connection's process, whatever they hold.
  Client c(collector.port());
  const char kGarbage[] = "\x01\x02 garbage\n{\"op\":\"fnC\",\"pid\":\"100\"}\0tail\n{\"op\":\"fnC\"";
  c.send(std::string(kGarbage, sizeof kGarbage - 1));
  c.close();
  Client d(collector.port());
  d.send(dataOpening("200") + "\n{\"op\":\"fnC\",\"pid\":\"200\",\"seq\":1}\n{\"op\":\"fnR\",\"pid\":\"200\"");
  d.close();
  ASSERT_TRUE(waitFor([&] { return countLines(readFile(out)) == 18; }));
  EXPECT_EQ(collector.stop(SIGTERM), 0);

  using namespace orvo_collector;
  const std::map<std::string, std::map<Counter, uint64_t>> expected = {
      {"total", {{kLines, 18}, {kInvalid, 5}, {kPartial, 2}, {kDataConn, 2}, {kCommandConn, 1},
                 {kOtherConn, 2}, {kFnC, 5}, {kFnR, 3}, {kErr, 1}, {kOtherOp, 1}, {kFrontend, 1},
                 {kException, 1}, {kBackend, 3}, {kSql, 1}, {kHttp, 2}}},
      {"pid.7", {{kLines, 2}, {kCommandConn, 1}, {kOtherOp, 1}}},
      {"pid.100", {{kLines, 9}, {kInvalid, 1}, {kDataConn, 1}, {kFnC, 3}, {kFnR, 3}, {kErr, 1},
                   {kFrontend, 1}, {kException, 1}, {kBackend, 3}, {kSql, 1}, {kHttp, 2}}},
      {"pid.101", {{kLines, 1}, {kFnC, 1}}},
      {"pid.200", {{kLines, 3}, {kInvalid, 1}, {kPartial, 1}, {kDataConn, 1}, {kFnC, 1}}},
      {"pid.unknown", {{kLines, 3}, {kInvalid, 3}, {kPartial, 1}, {kOtherConn, 2}}},
  };
  auto summary = parseSummary(collector.output());
  size_t keys = 0;
  for (const auto &group : expected) {
    for (unsigned i = 0; i < kCounterCount; ++i) {
      Counter counter = static_cast<Counter>(i);
      std::string key = group.first + "." + counterName(counter);
      auto want = group.second.find(counter);
      ASSERT_EQ(summary.count(key), 1u) << key;
      EXPECT_EQ(summary[key], want == group.second.end() ? 0 : want->second) << key;
      ++keys;
    }
  }
  EXPECT_EQ(summary.size(), keys) << collector.output();

  // Totals first, then process ids in numeric order, "unknown" last.
  std::vector<std::string> order;
  for (const std::string &line : splitLines(collector.output())) {
    std::string group = line.substr(0, line.find('.', line.find('.') + 1));
    if (line.rfind("total.", 0) == 0) group = "total";
    if (order.empty() || order.back() != group) order.push_back(group);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"total", "pid.7", "pid.100", "pid.101", "pid.200",
                                             "pid.unknown"}));
}

TEST(CollectorTest, OverlongLinesAreCutAtTheCap) {
  // With and without the summary: lines are looked at one by one only when
  // counting, so the cut must not depend on that.
  for (bool summary : {false, true}) {
    SCOPED_TRACE(summary ? "with --summary" : "without --summary");
    TempDir dir;
    const std::string out = dir.file("out.jsonl");
    std::vector<std::string> args{"--out", out, "--max-line", "1024"};
    if (summary) args.push_back("--summary");
    CollectorProcess collector(args);

    // Cut at the cap, the rest dropped up to its newline, whether the line
    // ends in a later read (the cut is seen before the rest is sent) or in
    // the same one; the next line is intact, and a line of exactly the cap
    // is kept whole.
    Client a(collector.port());
    const std::string longLine(3000, 'L');
    const std::string event = "{\"op\":\"fnC\",\"pid\":\"300\"}";
    const std::string exact(1024, 'k');
    a.send(longLine.substr(0, 1500));
    std::string expected = longLine.substr(0, 1024) + "\n";
    ASSERT_TRUE(waitFor([&] { return readFile(out) == expected; }));
    a.send(longLine.substr(1500) + "\n" + event + "\n" + exact + "\n" + longLine + "\n" + event +
           "\n");
    expected += event + "\n" + exact + "\n" + longLine.substr(0, 1024) + "\n" + event + "\n";
    ASSERT_TRUE(waitFor([&] { return readFile(out) == expected; }));

    EXPECT_EQ(collector.stop(SIGTERM), 0);
    if (summary) {
      auto counts = parseSummary(collector.output());
      EXPECT_EQ(counts["total.lines"], 5u);
      EXPECT_EQ(counts["total.overlong"], 2u);
      EXPECT_EQ(counts["total.invalid"], 3u);
      EXPECT_EQ(counts["pid.300.fnC"], 2u);
    }
  }
}

TEST(CollectorTest, GarbageIsRecordedAndCountedWithoutHarm) {
  TempDir dir;
  const std::string out = dir.file("out.jsonl");
  CollectorProcess collector({"--out", out, "--summary"});

  // Random bytes with NULs and control bytes, closed in the middle of a line.
  std::mt19937 random(7);
  std::string garbage;
  const int kGarbageLines = 200;
  for (int i = 0; i < kGarbageLines; ++i) {
    garbage += '\x01';  // never valid JSON
    for (size_t n = random() % 1000; n > 0; --n) {
      char byte = static_cast<char>(random() % 256);
      garbage += byte == '\n' ? '\0' : byte;
    }
    if (i + 1 < kGarbageLines) garbage += '\n';
  }
  Client g(collector.port());
  g.send(garbage);
  g.close();
  std::string expected = garbage + "\n";
  ASSERT_TRUE(waitFor([&] { return readFile(out).size() == expected.size(); }));
  EXPECT_TRUE(readFile(out) == expected);

  // Nesting deep enough to exhaust a recursive parser; then the collector
  // still takes an ordinary event.
  Client deep(collector.port());
  const std::string event = "{\"op\":\"fnC\",\"pid\":\"300\"}";
  deep.send(std::string(100000, '[') + "\n" + event + "\n");
  ASSERT_TRUE(waitFor([&] { return countLines(readFile(out)) == 2u + kGarbageLines; }));

  EXPECT_EQ(collector.stop(SIGTERM), 0);
  auto summary = parseSummary(collector.output());
  EXPECT_EQ(summary["total.lines"], 2u + kGarbageLines);
  EXPECT_EQ(summary["total.invalid"], 1u + kGarbageLines);
  EXPECT_EQ(summary["total.partial"], 1u);
  EXPECT_EQ(summary["total.fnC"], 1u);
  EXPECT_EQ(summary["total.otherConn"], 2u);
}

TEST(CollectorTest, RefusesBadArgumentsAndAnAddressInUse) {
  int busy = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(busy, 1), 0);
  ASSERT_EQ(getsockname(busy, reinterpret_cast<sockaddr *>(&addr), &length), 0);
  const std::string busyPort = std::to_string(ntohs(addr.sin_port));

  const struct {
    std::vector<std::string> args;
    int status;
  } kCases[] = {
      {{"--help"}, 0},
      {{"--port", "65536"}, 2},
      {{"--port", "12x"}, 2},
      {{"--port"}, 2},
      {{"--max-line", "0"}, 2},
      {{"--on-connect"}, 2},
      {{"--summary=yes"}, 2},
      {{"--bogus"}, 2},
      {{"--port", busyPort}, 1},
      {{"--port", "0", "--out", "/nonexistent-dir/out.jsonl"}, 1},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(runToExit(c.args), c.status);
  }
  close(busy);
}

}  // namespace
