// standin-php as a program: the application scenario in every process
// model, with and without an extension in the way, and bad inputs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/StandinPhpProcess.h"
#include "common/TestSupport.h"

namespace {

using orvo_test::readFile;
using orvo_test::StandinRun;
using orvo_test::TempDir;
using orvo_test::writeFile;

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

StandinRun runHost(const TempDir &dir, const std::string &ini, const std::string &scenario,
                   const std::string &responses) {
  return orvo_test::runStandinPhp(dir.path(), ini, scenario, responses);
}

struct Model {
  const char *name;
  const char *processModel;
  int workers;
  int daemonize;  // -1: not an fpm model
  const char *sapi;
  const char *flag;
};

// The application scenario with the process model of the test.
std::string scenarioFor(const Model &m) {
  rapidjson::Document doc;
  std::string text = readFile(std::string(STANDIN_TEST_DATA) + "/app.json");
  doc.Parse(text.c_str());
  auto &a = doc.GetAllocator();
  doc.AddMember("process_model", rapidjson::Value(m.processModel, a), a);
  doc.AddMember("workers", m.workers, a);
  if (m.daemonize >= 0) doc.AddMember("daemonize", m.daemonize == 1, a);
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  doc.Accept(writer);
  return buffer.GetString();
}

std::vector<std::string> strings(const rapidjson::Value &array) {
  std::vector<std::string> out;
  for (const auto &v : array.GetArray()) out.push_back(v.GetString());
  return out;
}

void expectApplicationResponses(const std::string &text, const Model &m) {
  const bool cli = std::string(m.processModel) == "cli";
  const std::vector<std::string> contentType = {"Content-type: text/html; charset=UTF-8"};
  struct Expected {
    const char *body;
    int status;
    std::vector<std::string> headers;
  };
  const std::vector<Expected> expected = {
      {"[config][view][cart]3[caught]\nWarning: stock is low in /var/www/html/index.php on line 12\n[eval]DONE", 200,
       contentType},
      {"[before]\nFatal error: Allowed memory size of 134217728 bytes exhausted in /var/www/html/report.php on line "
       "40\n",
       200, contentType},
      {"[bye][exit]", 200, contentType},
      {"[headers]", 201,
       {"X-Shop: open", "Set-Cookie: basket=3+items; path=/", "Content-type: text/html; charset=UTF-8"}}};

  std::vector<std::string> got = lines(text);
  ASSERT_EQ(expected.size(), got.size()) << text;
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    rapidjson::Document doc;
    doc.Parse(got[i].c_str());
    ASSERT_FALSE(doc.HasParseError()) << got[i];
    EXPECT_EQ(static_cast<int>(i), doc["request"].GetInt());
    EXPECT_EQ(static_cast<int>(i) % m.workers, doc["worker"].GetInt());
    EXPECT_EQ(expected[i].body, std::string(doc["body"].GetString()));
    EXPECT_EQ(expected[i].status, doc["status"].GetInt());
    // The command-line interpreter sends no headers at all.
    EXPECT_EQ(cli ? std::vector<std::string>{} : expected[i].headers, strings(doc["headers"]));
    if (i == 3 && !cli) {
      ASSERT_EQ(1u, doc["cookies"].Size());
      EXPECT_STREQ("basket", doc["cookies"][0]["name"].GetString());
      EXPECT_STREQ("3+items", doc["cookies"][0]["value"].GetString());
    }
  }
}

// One line of the test extension's record: "event key=value ...".
struct RecordLine {
  std::string event;
  std::map<std::string, std::string> fields;
};

std::vector<RecordLine> readRecord(const std::string &path) {
  std::vector<RecordLine> out;
  for (const std::string &line : lines(readFile(path))) {
    std::istringstream in(line);
    RecordLine r;
    in >> r.event;
    std::string field;
    while (in >> field) {
      size_t eq = field.find('=');
      r.fields[field.substr(0, eq)] = field.substr(eq + 1);
    }
    out.push_back(r);
  }
  return out;
}

void PrintTo(const Model &m, std::ostream *os) { *os << m.name; }

class StandinPhp : public ::testing::TestWithParam<Model> {};

TEST_P(StandinPhp, RunsTheApplicationAlikeWithAndWithoutAnExtension) {
  const Model &m = GetParam();
  TempDir dir;
  writeFile(dir.file("app.json"), scenarioFor(m));
  writeFile(dir.file("plain.ini"), "; no extension\n[PHP]\n");
  writeFile(dir.file("hooked.ini"), std::string("extension = \"") + STANDIN_TEST_EXTENSION +
                                        "\"\nstandin_test.record = " + dir.file("record.txt") + " ; record\n");

  StandinRun plain = runHost(dir, dir.file("plain.ini"), dir.file("app.json"), dir.file("plain.jsonl"));
  ASSERT_TRUE(plain.exited);
  ASSERT_EQ(0, plain.exitCode) << plain.err;
  const std::string plainResponses = readFile(dir.file("plain.jsonl"));
  expectApplicationResponses(plainResponses, m);

  StandinRun hooked = runHost(dir, dir.file("hooked.ini"), dir.file("app.json"), dir.file("hooked.jsonl"));
  ASSERT_TRUE(hooked.exited);
  ASSERT_EQ(0, hooked.exitCode) << hooked.err;
  EXPECT_EQ(plainResponses, readFile(dir.file("hooked.jsonl")))
      << "an extension that chains to the pointers it replaced changes nothing";

  std::vector<RecordLine> record = readRecord(dir.file("record.txt"));
  int minit = 0, requests = 0, shutdowns = 0;
  for (const RecordLine &r : record) {
    SCOPED_TRACE(r.event + " pid " + r.fields.at("pid"));
    EXPECT_EQ(m.sapi, r.fields.at("sapi"));
    EXPECT_EQ(m.flag, r.fields.at("flag"));
    if (r.event == "minit") {
      ++minit;
      EXPECT_EQ(std::to_string(hooked.pid), r.fields.at("pid")) << "module start runs in the loading process";
    } else if (r.event == "request") {
      ++requests;
      EXPECT_GT(std::stol(r.fields.at("execute")), 0) << "the hook saw the executions";
      EXPECT_GT(std::stol(r.fields.at("ub_write")), 0) << "the hook saw the output";
      EXPECT_EQ(m.workers == 1 && std::string(m.processModel) == "cli", r.fields.at("pid") == std::to_string(hooked.pid));
    } else if (r.event == "mshutdown") {
      ++shutdowns;
    }
  }
  EXPECT_EQ(1, minit);
  EXPECT_EQ(4, requests);
  // Module shutdown where the real servers run one: the command-line
  // process; the prefork parent only; PHP-FPM's loading process, master and
  // every worker.
  const std::string model = m.processModel;
  const int expectedShutdowns = model == "cli" ? 1 : model == "prefork" ? 1 : 2 + m.workers;
  EXPECT_EQ(expectedShutdowns, shutdowns);
}

INSTANTIATE_TEST_SUITE_P(, StandinPhp,
                         ::testing::Values(Model{"cli", "cli", 1, -1, "cli", "none"},
                                           Model{"prefork", "prefork", 2, -1, "apache2handler", "none"},
                                           Model{"fpm_daemonized", "fpm", 2, 1, "fpm-fcgi", "-D"},
                                           Model{"fpm_foreground", "fpm", 3, 0, "fpm-fcgi", "-F"}),
                         [](const ::testing::TestParamInfo<Model> &info) { return std::string(info.param.name); });

TEST(StandinPhpProcesses, FpmWorkersAreChildrenOfTheMasterAndPreforkWorkersOfTheParent) {
  TempDir dir;
  const Model models[] = {{"prefork", "prefork", 2, -1, "apache2handler", "none"},
                          {"fpm", "fpm", 2, 1, "fpm-fcgi", "-D"}};
  for (const Model &m : models) {
    SCOPED_TRACE(m.name);
    writeFile(dir.file("app.json"), scenarioFor(m));
    std::filesystem::remove(dir.file("record.txt"));
    writeFile(dir.file("hooked.ini"),
              std::string("extension=") + STANDIN_TEST_EXTENSION + "\nstandin_test.record=" + dir.file("record.txt") + "\n");
    StandinRun run = runHost(dir, dir.file("hooked.ini"), dir.file("app.json"), "");
    ASSERT_EQ(0, run.exitCode) << run.err;
    std::string host = std::to_string(run.pid);
    std::string master;
    for (const RecordLine &r : readRecord(dir.file("record.txt"))) {
      if (r.event == "mshutdown" && r.fields.at("ppid") == host) master = r.fields.at("pid");
    }
    for (const RecordLine &r : readRecord(dir.file("record.txt"))) {
      if (r.event != "request") continue;
      if (std::string(m.processModel) == "prefork") {
        EXPECT_EQ(host, r.fields.at("ppid"));
      } else {
        EXPECT_FALSE(master.empty());
        EXPECT_EQ(master, r.fields.at("ppid"));
      }
    }
  }
}

TEST(StandinPhpExtension, ScriptFunctionResultIsEchoed) {
  TempDir dir;
  writeFile(dir.file("php.ini"), std::string("extension=") + STANDIN_TEST_EXTENSION + "\n");
  writeFile(dir.file("s.json"), R"({"requests": [{"file": "/index.php", "body": [
      {"internal": "standin_test_hello", "args": ["world"], "echo_result": true}]}]})");
  StandinRun run = runHost(dir, dir.file("php.ini"), dir.file("s.json"), dir.file("r.jsonl"));
  ASSERT_EQ(0, run.exitCode) << run.err;
  rapidjson::Document doc;
  doc.Parse(readFile(dir.file("r.jsonl")).c_str());
  ASSERT_FALSE(doc.HasParseError());
  EXPECT_STREQ("hello world", doc["body"].GetString());
  EXPECT_EQ("hello world", run.out) << "the cli host writes its output like php-cli";
}

TEST(StandinPhpProcesses, AWorkerThatDiesIsReportedWithExitCodeThree) {
  TempDir dir;
  writeFile(dir.file("php.ini"), std::string("extension=") + STANDIN_TEST_EXTENSION + "\n");
  writeFile(dir.file("s.json"), R"({"process_model": "prefork", "workers": 2, "requests": [
      {"file": "/ok.php", "body": [{"echo": "fine"}]},
      {"file": "/crash.php", "body": [{"internal": "standin_test_die"}]}]})");
  StandinRun run = runHost(dir, dir.file("php.ini"), dir.file("s.json"), dir.file("r.jsonl"));
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(3, run.exitCode);
  EXPECT_NE(std::string::npos, run.err.find("worker 1 (pid ")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("ended by signal 9")) << run.err;
  EXPECT_EQ(1u, lines(readFile(dir.file("r.jsonl"))).size()) << "the other worker's response is kept";
}

struct BadInput {
  const char *name;
  std::string ini;
  std::string scenario;
  int exitCode;
  std::string message;
};

void PrintTo(const BadInput &b, std::ostream *os) { *os << b.name; }

class StandinPhpBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(StandinPhpBadInput, IsAClearMessageAndTheDocumentedExitCode) {
  TempDir dir;
  writeFile(dir.file("php.ini"), GetParam().ini);
  writeFile(dir.file("s.json"), GetParam().scenario);
  StandinRun run = runHost(dir, dir.file("php.ini"), dir.file("s.json"), dir.file("r.jsonl"));
  ASSERT_TRUE(run.exited) << "never a crash";
  EXPECT_EQ(GetParam().exitCode, run.exitCode) << run.err;
  EXPECT_NE(std::string::npos, run.err.find(GetParam().message)) << run.err;
}

const char kGoodScenario[] = R"({"requests": [{"file": "/index.php", "body": [{"echo": "x"}]}]})";

INSTANTIATE_TEST_SUITE_P(
    , StandinPhpBadInput,
    ::testing::Values(
        BadInput{"unknown_step", "", R"({"requests": [{"file": "/a.php", "body": [{"echo": "x"}, {"cal": "f"}]}]})", 2,
                 "s.json: requests[0].body[1]: unknown step 'cal' (expected one of: call,"},
        BadInput{"wrong_type", "", R"({"requests": [{"file": "/a.php", "body": [{"call": "f", "args": "x"}]}]})", 2,
                 "s.json: requests[0].body[0].args: expected an array, got a string"},
        BadInput{"unknown_key", "", R"({"requests": [{"file": "/a.php", "body": [{"call": "f", "retrun": 1}]}]})", 2,
                 "s.json: requests[0].body[0]: unknown key 'retrun' in a call step"},
        BadInput{"json_syntax", "", "{\"requests\": [\n  {\"file\": }]}", 2, "s.json: line 2, column 12:"},
        BadInput{"ini_broken_line", "display_errors = 1\nthis line has no value\n", kGoodScenario, 2,
                 "php.ini:2: expected 'name = value', got 'this line has no value'"},
        BadInput{"ini_unterminated_quote", "x = \"open\n", kGoodScenario, 2, "php.ini:1: unterminated quoted value"},
        BadInput{"missing_extension", "extension=/nonexistent/missing.so\n", kGoodScenario, 1,
                 "cannot load extension '/nonexistent/missing.so': No such file or directory"},
        BadInput{"foreign_build_id", std::string("extension=") + STANDIN_TEST_EXTENSION_TS + "\n", kGoodScenario, 1,
                 "module standin_test was built as API20131226,TS, this engine is API20131226,NTS"}),
    [](const ::testing::TestParamInfo<BadInput> &info) { return std::string(info.param.name); });

}  // namespace
