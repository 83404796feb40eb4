// Runs the stand-in engine inside the test's own process: start it, run a
// scenario written inline, look at the response and at what hooks saw.
#ifndef STANDIN_TESTS_ENGINE_FIXTURE_H
#define STANDIN_TESTS_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "standin_runtime.h"

class EngineTest : public ::testing::Test {
 protected:
  void start(const char *sapi = "apache2handler",
             const std::vector<std::pair<std::string, std::string>> &config = {{"display_errors", "0"}}) {
    for (const auto &c : config) standin::configSet(c.first, c.second);
    standin::engineStartup(sapi);
  }

  void TearDown() override { standin::engineShutdown(); }

  // Parses the scenario, declares its classes and functions and runs one
  // of its requests.
  standin::Response run(const std::string &json, size_t index = 0) {
    std::string error;
    scenario_ = standin::parseScenario(json, "test.json", &error);
    standin::Response response;
    EXPECT_TRUE(scenario_ != nullptr) << error;
    if (!scenario_) return response;
    standin::declareScenario(*scenario_);
    standin::runRequest(*scenario_, index, &response);
    return response;
  }

  std::unique_ptr<standin::Scenario> scenario_;
};

// The text of a value as a test wants to compare it.
inline std::string text(const zval *z) {
  if (!z) return "<none>";
  switch (Z_TYPE_P(z)) {
    case IS_NULL: return "null";
    case IS_LONG: return std::to_string(Z_LVAL_P(z));
    case IS_BOOL: return Z_BVAL_P(z) ? "true" : "false";
    case IS_DOUBLE: return std::to_string(Z_DVAL_P(z));
    case IS_STRING: return std::string(Z_STRVAL_P(z), static_cast<size_t>(Z_STRLEN_P(z)));
    case IS_ARRAY: return "array(" + std::to_string(zend_hash_num_elements(Z_ARRVAL_P(z))) + ")";
    case IS_OBJECT: {
      zend_class_entry *ce = Z_OBJCE_P(z);
      return std::string("object(") + (ce ? ce->name : "?") + ")";
    }
    case IS_RESOURCE: return "resource(" + std::to_string(Z_RESVAL_P(z)) + ")";
    default: return "type " + std::to_string(Z_TYPE_P(z));
  }
}

#endif
