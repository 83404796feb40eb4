// The probe's module, loaded by the host the way the interpreter loads any
// extension: the engine's symbols resolve from the host, its own libraries
// load, and the application's responses stay what they were without it.
#include <string>

#include <gtest/gtest.h>

#include "common/StandinPhpProcess.h"
#include "common/TestSupport.h"

namespace {

using orvo_test::readFile;
using orvo_test::TempDir;
using orvo_test::writeFile;

const std::string kApplication =
    std::string(ORVO_SOURCE_DIR) + "/tests/standin/data/app.json";

struct Model {
  const char *name;
  const char *settings;  // JSON members put in front of the scenario's own
};

class ModuleLoadTest : public ::testing::TestWithParam<Model> {};

TEST_P(ModuleLoadTest, ApplicationRunsAsWithoutTheModule) {
  TempDir dir;
  std::string scenario = readFile(kApplication);
  ASSERT_EQ(scenario.at(0), '{');
  scenario.insert(1, GetParam().settings);
  writeFile(dir.file("app.json"), scenario);
  writeFile(dir.file("plain.ini"), "display_errors = 1\n");
  writeFile(dir.file("probe.ini"), "display_errors = 1\nextension = " +
                                       orvo_test::probeModule() +
                                       "\norvo_php_agent.logdir = " + dir.path() + "\n");

  auto plain = orvo_test::runStandinPhp(dir.path(), dir.file("plain.ini"),
                                        dir.file("app.json"), dir.file("plain.jsonl"));
  ASSERT_TRUE(plain.exited);
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  auto probed = orvo_test::runStandinPhp(dir.path(), dir.file("probe.ini"),
                                         dir.file("app.json"), dir.file("probe.jsonl"));
  ASSERT_TRUE(probed.exited);
  ASSERT_EQ(probed.exitCode, 0) << probed.err;
  EXPECT_EQ(probed.err, "");
  EXPECT_FALSE(readFile(dir.file("plain.jsonl")).empty());
  EXPECT_EQ(readFile(dir.file("probe.jsonl")), readFile(dir.file("plain.jsonl")));
}

INSTANTIATE_TEST_SUITE_P(
    , ModuleLoadTest,
    ::testing::Values(Model{"cli", R"("process_model":"cli",)"},
                      Model{"prefork", R"("process_model":"prefork","workers":2,)"},
                      Model{"fpm", R"("process_model":"fpm","workers":2,"daemonize":true,)"}),
    [](const ::testing::TestParamInfo<Model> &info) { return std::string(info.param.name); });

}  // namespace
