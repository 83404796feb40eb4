// A connection record set up as module start would, the probe's log
// captured, and the collector address pointing at a port of the test's
// choosing.
#ifndef ORVO_TESTS_TRANSPORT_TRANSPORT_TEST_FIXTURE_H
#define ORVO_TESTS_TRANSPORT_TRANSPORT_TEST_FIXTURE_H

#include <string.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/LogCapture.h"
#include "engine/orvo_php_agent_globals.h"
#include "transport/CollectorConnection.h"
#include "transport/ThreadControl.h"

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&orvo_php_agent_globals, 0, sizeof(orvo_php_agent_globals));
    log.reset(new orvo_test::LogCapture(LOG_LEVEL_TRACE));
    orvo_php_agent_globals.collectorHost = "127.0.0.1";
    orvo_php_agent_globals.threadExitWaitTime = 1.0;
  }
  void TearDown() override { log.reset(); }

  void setCollectorPort(const std::string &port) {
    collectorPort = port;
    orvo_php_agent_globals.collectorPort = collectorPort.c_str();
  }

  std::unique_ptr<orvo_test::LogCapture> log;
  std::string collectorPort;
};

#endif
