// How the collector reads one line: validity and the members it counts by.
#include <gtest/gtest.h>

#include <string>

#include "LineInfo.h"

namespace {

using orvo_collector::LineClassifier;
using orvo_collector::LineInfo;
using orvo_collector::LineOp;

// A literal's bytes, NULs included.
template <size_t N>
std::string bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

struct Case {
  const char *name;
  std::string line;
  bool valid;
  LineOp op;
  const char *pid;     // nullptr: none
  const char *instid;  // nullptr: none
  bool exception, params, frontend, sql, http;
};

const Case kCases[] = {
    {"plain call", R"({"op":"fnC","ts":1,"fn":"foo","pid":"42","seq":7})", true, LineOp::FnC, "42",
     nullptr, false, false, false, false, false},
    {"return with exception",
     R"({"op":"fnR","ts":1,"fn":"A\u005cB::c","pid":"42","cseq":7,"exc":{"class":"A\u005cB","msg":"x"}})",
     true, LineOp::FnR, "42", nullptr, true, false, false, false, false},
    {"frontend",
     R"({"op":"fnC","ts":1,"fn":"/i.php","pid":"42","seq":1,"prms":{"url":"/","frontend":"true","hostName":"","httpMethod":""}})",
     true, LineOp::FnC, "42", nullptr, false, true, true, false, false},
    {"sql with statement id only",
     R"({"op":"fnC","ts":1,"fn":"q","pid":"42","seq":1,"prms":{"stmtid":"12"}})", true, LineOp::FnC,
     "42", nullptr, false, true, false, true, false},
    {"http finish with unquoted code",
     R"({"op":"fnR","ts":1,"fn":"send","pid":"42","cseq":1,"prms":{"resCode":200,"resMsg":"OK"}})",
     true, LineOp::FnR, "42", nullptr, false, true, false, false, true},
    {"backend with url only",
     R"({"op":"fnC","ts":1,"fn":"connect","pid":"42","seq":1,"prms":{"url":"mysql://h"}})", true,
     LineOp::FnC, "42", nullptr, false, true, false, false, false},
    {"fatal error", R"({"op":"err","ts":1,"fn":"f","pid":"42","err":3})", true, LineOp::Err, "42",
     nullptr, false, false, false, false, false},
    {"data connection opening",
     R"({"op":"dataConn","probe":"php","ver":"1","pid":"42","tid":"9","instid":"40"})", true,
     LineOp::DataConn, "42", "40", false, false, false, false, false},
    {"command connection opening",
     R"({"op":"commandConn","probe":"php","ver":"1","instid":"40","pgm":"/usr/sbin/x","prms":{"appName":"a","hostName":"h"}})",
     true, LineOp::CommandConn, nullptr, "40", false, true, false, false, false},
    {"numeric pid is read as text", R"({"op":"fnC","pid":4711})", true, LineOp::FnC, "4711", nullptr,
     false, false, false, false, false},
    {"unknown op", R"({"op":"arf"})", true, LineOp::Other, nullptr, nullptr, false, false, false,
     false, false},
    {"op that is not a string", R"({"op":1,"pid":"5"})", true, LineOp::None, "5", nullptr, false,
     false, false, false, false},
    // Only top-level members and the keys of a top-level "prms" count.
    {"nested look-alikes",
     R"({"op":"fnC","x":{"exc":1,"pid":"9","prms":{"frontend":"true"}},"prms":{"u":{"query":"q"}},"frontend":"true"})",
     true, LineOp::FnC, nullptr, nullptr, false, true, false, false, false},
    {"not an object", "42", true, LineOp::None, nullptr, nullptr, false, false, false, false, false},
    {"trailing whitespace and carriage return", "{\"op\":\"fnC\"} \t\r", true, LineOp::FnC,
     nullptr, nullptr, false, false, false, false, false},
    {"bytes that are not UTF-8 pass", "{\"op\":\"fnC\",\"fn\":\"\xff\xfe\x80\"}", true, LineOp::FnC,
     nullptr, nullptr, false, false, false, false, false},
    {"nesting within the limit", std::string(100, '[') + std::string(100, ']'), true, LineOp::None,
     nullptr, nullptr, false, false, false, false, false},
    // Invalid lines report nothing else, even what was read before the fault.
    {"unterminated", R"({"op":"fnC","pid":"1",)", false, LineOp::None, nullptr, nullptr, false,
     false, false, false, false},
    {"trailing garbage", R"({"op":"fnC"} x)", false, LineOp::None, nullptr, nullptr, false, false,
     false, false, false},
    {"NUL after the value", bytes("{\"op\":\"fnC\"}\0{}"), false, LineOp::None, nullptr,
     nullptr, false, false, false, false, false},
    {"NUL inside a string", bytes("{\"op\":\"f\0C\"}"), false, LineOp::None, nullptr,
     nullptr, false, false, false, false, false},
    {"raw control byte in a string", "{\"fn\":\"a\tb\"}", false, LineOp::None, nullptr, nullptr,
     false, false, false, false, false},
    {"empty", "", false, LineOp::None, nullptr, nullptr, false, false, false, false, false},
    {"blank", "   ", false, LineOp::None, nullptr, nullptr, false, false, false, false, false},
    {"two values", "{}{}", false, LineOp::None, nullptr, nullptr, false, false, false, false, false},
    {"nesting beyond the limit", std::string(600, '[') + std::string(600, ']'), false,
     LineOp::None, nullptr, nullptr, false, false, false, false, false},
};

TEST(LineClassifierTest, ReadsValidityAndCountedMembers) {
  LineClassifier classifier;
  LineInfo info;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    classifier.classify(c.line.data(), c.line.size(), info);
    EXPECT_EQ(info.valid, c.valid);
    EXPECT_EQ(static_cast<int>(info.op), static_cast<int>(c.op));
    EXPECT_EQ(info.hasPid, c.pid != nullptr);
    if (c.pid != nullptr) {
      EXPECT_EQ(info.pid, c.pid);
    }
    EXPECT_EQ(info.hasInstid, c.instid != nullptr);
    if (c.instid != nullptr) {
      EXPECT_EQ(info.instid, c.instid);
    }
    EXPECT_EQ(info.hasException, c.exception);
    EXPECT_EQ(info.hasParams, c.params);
    EXPECT_EQ(info.frontend, c.frontend);
    EXPECT_EQ(info.sql, c.sql);
    EXPECT_EQ(info.http, c.http);
  }
}

TEST(LineClassifierTest, DoesNotReadPastTheGivenLength) {
  // The collector hands over lines inside its read buffer: the bytes after a
  // line belong to the next one.
  const std::string buffer = "{\"op\":\"fnC\",\"pid\":\"1\"}\n{\"op\":";
  LineClassifier classifier;
  LineInfo info;
  classifier.classify(buffer.data(), buffer.find('\n'), info);
  EXPECT_TRUE(info.valid);
  classifier.classify(buffer.data(), buffer.find('\n') - 1, info);
  EXPECT_FALSE(info.valid);
}

}  // namespace
