#include "pipeline/EventEncoding.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pipeline/DataQueue.h"
#include "pipeline/DataQueueItem.h"

namespace {

// The escaping rule written the slow, obvious way.
std::string referenceEscape(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == '"' || c == '\\') {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

struct Record {
  OrvoPhpAgentDataOp op = DATA_OP_CALL;
  const char *fn = "foo";
  unsigned long ts = 1;
  unsigned long long seq = 7;
  const char *excClass = nullptr, *excMsg = nullptr, *excFn = nullptr,
             *excFile = nullptr;
  int excLine = 0;
  const _OrvoPhpParams *params = nullptr;
  const char *cfAppName = nullptr, *cfAppId = nullptr, *cfInstIdx = nullptr;

  std::unique_ptr<DataQueueItem> make() const {
    return std::unique_ptr<DataQueueItem>(new DataQueueItem(
        op, fn, ts, seq, excClass, excMsg, excFn, excFile, excLine, params,
        cfAppName, cfAppId, cfInstIdx));
  }
};

std::string lineOf(const Record &r, const char *pid = "42") {
  std::string out;
  appendFunctionCall(out, r.make().get(), pid);
  return out;
}

const std::string kHead = "{\"op\":\"fnC\",\"ts\":1,\"fn\":\"foo\",\"pid\":\"42\",\"seq\":7";

TEST(ConvertToSafeJSONstring, EscapesExactlyControlsQuotesAndBackslashes) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(convertToSafeJSONstring(all), referenceEscape(all));
  EXPECT_EQ(convertToSafeJSONstring("a\nb\"c\\d\te"),
            "a\\u000ab\\u0022c\\u005cd\\u0009e");
  EXPECT_EQ(convertToSafeJSONstring("caf\xc3\xa9\x7f"), "caf\xc3\xa9\x7f");
  EXPECT_EQ(convertToSafeJSONstring(""), "");

  // Every length and every position of a special byte around the 16-byte
  // blocks the fast path works in.
  std::mt19937 rng(12345);
  const char specials[] = {'"', '\\', '\n', '\x01', '\x1f', ' ', '\x7f',
                           '\x80', '\xff', 'a'};
  for (int length = 0; length < 70; ++length) {
    for (int round = 0; round < 20; ++round) {
      std::string s;
      for (int i = 0; i < length; ++i)
        s += rng() % 4 ? static_cast<char>('a' + rng() % 26)
                       : specials[rng() % sizeof(specials)];
      ASSERT_EQ(convertToSafeJSONstring(s), referenceEscape(s)) << s;
    }
  }
}

TEST(AppendFunctionCall, CallReturnAndExceptionLines) {
  struct Case {
    const char *what;
    Record record;
    std::string expected;
  };
  std::vector<Case> cases;
  cases.push_back({"plain call", Record(), kHead + "}\n"});
  {
    Record r;
    r.op = DATA_OP_RETURN;
    cases.push_back({"return", r,
                     "{\"op\":\"fnR\",\"ts\":1,\"fn\":\"foo\",\"pid\":\"42\","
                     "\"cseq\":7}\n"});
    r.op = static_cast<OrvoPhpAgentDataOp>(7);
    r.ts = 18446744073709551615UL;
    r.seq = 0;
    cases.push_back({"other kind, extreme numbers", r,
                     "{\"op\":\"err\",\"ts\":18446744073709551615,\"fn\":"
                     "\"foo\",\"pid\":\"42\",\"err\":0}\n"});
  }
  {
    Record r;
    r.fn = "App\\Http\\Kernel::handle";
    cases.push_back({"namespaced name", r,
                     "{\"op\":\"fnC\",\"ts\":1,\"fn\":\"App\\u005cHttp\\u005c"
                     "Kernel::handle\",\"pid\":\"42\",\"seq\":7}\n"});
    r.fn = "gr\xc3\xbc\xc3\x9f";
    cases.push_back({"UTF-8 name", r,
                     "{\"op\":\"fnC\",\"ts\":1,\"fn\":\"gr\xc3\xbc\xc3\x9f\","
                     "\"pid\":\"42\",\"seq\":7}\n"});
    r.fn = "";
    cases.push_back({"empty name", r,
                     "{\"op\":\"fnC\",\"ts\":1,\"fn\":\"\",\"pid\":\"42\","
                     "\"seq\":7}\n"});
  }
  {
    Record r;
    r.excClass = "Foo\\BarException";
    cases.push_back({"class only", r,
                     kHead + ",\"exc\":{\"class\":\"Foo\\u005cBarException\"}}\n"});
    r.excClass = nullptr;
    r.excMsg = "line1\nline2 \"q\"";
    cases.push_back({"message only", r,
                     kHead + ",\"exc\":{\"msg\":\"line1\\u000aline2 "
                             "\\u0022q\\u0022\"}}\n"});
    r.excClass = "E";
    r.excFn = "run";
    r.excFile = "C:\\www\\a.php";
    r.excLine = 0;
    cases.push_back({"everything, line 0", r,
                     kHead + ",\"exc\":{\"class\":\"E\",\"msg\":\"line1\\u000a"
                             "line2 \\u0022q\\u0022\",\"fn\":\"run\",\"file\":"
                             "\"C:\\u005cwww\\u005ca.php\",\"line\":\"0\"}}\n"});
    r.excMsg = nullptr;
    r.excLine = -12;
    cases.push_back({"class, file, negative line", r,
                     kHead + ",\"exc\":{\"class\":\"E\",\"fn\":\"run\",\"file\":"
                             "\"C:\\u005cwww\\u005ca.php\",\"line\":\"-12\"}}\n"});
    r.excClass = nullptr;
    cases.push_back({"function and file alone write nothing", r, kHead + "}\n"});
  }
  for (const Case &c : cases) EXPECT_EQ(lineOf(c.record), c.expected) << c.what;

  std::string out = "kept";
  appendFunctionCall(out, nullptr, "42");
  EXPECT_EQ(out, "kept");
}

TEST(AppendFunctionCall, ParameterObjects) {
  HttpHeaderPair headers[] = {{"Accept", "text/html"},
                              {"X-Say", "he said \"hi\""}};
  _OrvoPhpParams frontend{};
  frontend.kind = ORVO_PARAMS_FRONTEND;
  frontend.url = "/a?b=1";
  frontend.host = "example.org";
  frontend.port = "8080";
  frontend.httpMethod = "GET";
  frontend.txnTraceId = "T1";
  frontend.txnCorId = "C1";
  frontend.headers = headers;
  frontend.headerCount = 2;

  _OrvoPhpParams traceOnly = frontend;
  traceOnly.txnCorId = "";
  traceOnly.headerCount = 0;
  _OrvoPhpParams bare{};
  bare.kind = ORVO_PARAMS_FRONTEND;
  bare.url = "/";

  _OrvoPhpParams sqlOnlyText{}, sqlUrlAndId{}, sqlNone{};
  sqlOnlyText.kind = sqlUrlAndId.kind = sqlNone.kind = ORVO_PARAMS_SQL_BACKEND;
  sqlOnlyText.port = "SELECT \"x\" FROM t";
  sqlUrlAndId.url = "mysql://db:3306/shop";
  sqlUrlAndId.statementId = 12;

  _OrvoPhpParams httpStart{}, httpFinish{}, httpOddCode{}, httpNone{};
  httpStart.kind = httpFinish.kind = httpOddCode.kind = httpNone.kind =
      ORVO_PARAMS_HTTP_BACKEND;
  httpStart.url = "http://api/x";
  httpStart.host = "POST";
  httpFinish.port = "200";
  httpFinish.httpMethod = "OK";
  httpOddCode.port = "2\"0";
  httpOddCode.httpMethod = nullptr;

  struct Case {
    const char *what;
    const _OrvoPhpParams *params;
    bool cloudFoundry;
    std::string expected;
  } cases[] = {
      {"frontend with ids, Cloud Foundry and two headers", &frontend, true,
       ",\"prms\":{\"url\":\"/a?b=1\",\"frontend\":\"true\",\"hostName\":"
       "\"example.org\",\"hostPort\":\"8080\",\"httpMethod\":\"GET\","
       "\"traceId\":\"T1\",\"corId\":\"C1\","
       "\"ATTR_CloudFoundry_Container_Index\":\"app:my\\u0022app:3\","
       "\"hdrs\":{\"Accept\":\"text/html\",\"X-Say\":\"he said "
       "\\u0022hi\\u0022\"}}"},
      {"frontend outside Cloud Foundry", &frontend, false,
       ",\"prms\":{\"url\":\"/a?b=1\",\"frontend\":\"true\",\"hostName\":"
       "\"example.org\",\"hostPort\":\"8080\",\"httpMethod\":\"GET\","
       "\"traceId\":\"T1\",\"corId\":\"C1\",\"hdrs\":{\"Accept\":"
       "\"text/html\",\"X-Say\":\"he said \\u0022hi\\u0022\"}}"},
      {"trace id with an empty correlation id", &traceOnly, true,
       ",\"prms\":{\"url\":\"/a?b=1\",\"frontend\":\"true\",\"hostName\":"
       "\"example.org\",\"hostPort\":\"8080\",\"httpMethod\":\"GET\"}"},
      {"frontend without host, port or method", &bare, false,
       ",\"prms\":{\"url\":\"/\",\"frontend\":\"true\",\"hostName\":\"\","
       "\"httpMethod\":\"\"}"},
      {"SQL text only", &sqlOnlyText, false,
       ",\"prms\":{\"query\":\"SELECT \\u0022x\\u0022 FROM t\"}"},
      {"SQL URL and statement id", &sqlUrlAndId, false,
       ",\"prms\":{\"url\":\"mysql://db:3306/shop\",\"stmtid\":\"12\"}"},
      {"SQL with nothing", &sqlNone, false, ",\"prms\":{}"},
      {"HTTP request", &httpStart, false,
       ",\"prms\":{\"url\":\"http://api/x\",\"method\":\"POST\"}"},
      {"HTTP response", &httpFinish, false,
       ",\"prms\":{\"resCode\":200,\"resMsg\":\"OK\"}"},
      {"HTTP response code that is no number", &httpOddCode, false,
       ",\"prms\":{\"resCode\":\"2\\u00220\",\"resMsg\":\"\"}"},
      {"HTTP with nothing", &httpNone, false, ",\"prms\":{}"},
  };
  for (const Case &c : cases) {
    Record r;
    r.params = c.params;
    if (c.cloudFoundry) {
      r.cfAppId = "app";
      r.cfAppName = "my\"app";
      r.cfInstIdx = "3";
    }
    EXPECT_EQ(lineOf(r), kHead + c.expected + "}\n") << c.what;
  }
}

TEST(AppendFunctionCall, ResponseCodeIsBareOnlyWhenItIsAJsonNumber) {
  struct Case {
    const char *code;
    bool bare;
  } cases[] = {{"200", true},  {"0", true},    {"-1", true},   {"1.5e3", true},
               {"", false},    {"007", false}, {"2OO", false}, {"1.", false},
               {"+1", false},  {"1e", false},  {" 200", false}};
  for (const Case &c : cases) {
    _OrvoPhpParams p{};
    p.kind = ORVO_PARAMS_HTTP_BACKEND;
    p.port = c.code;
    Record r;
    r.params = &p;
    const std::string quoted = c.bare ? "" : "\"";
    EXPECT_EQ(lineOf(r), kHead + ",\"prms\":{\"resCode\":" + quoted + c.code +
                             quoted + ",\"resMsg\":\"\"}}\n")
        << c.code;
  }
}

// Random records full of bytes that break naive encoders. Every line must
// parse and give back exactly the stored values. RapidJSON is used without
// kParseValidateEncodingFlag: the probe passes application bytes >= 128
// through unchanged whether or not they are valid UTF-8, and a validating
// parse would reject the lines for that alone.
TEST(EventEncodingProperty, EveryLineParsesAndDecodesToTheStoredValues) {
  std::mt19937_64 rng(20240611);
  const std::vector<std::string> pieces = {
      "\"", "\\", "\n", "\r", "\t", "\x01", "\x1f", "\x7f", "\xc3\xa9",
      "\xff\xfe", "\x80", "App\\Model\\User", "C:\\inetpub\\wwwroot\\i.php",
      "{}", "[]", ":", ",", "\\u0022", "</script>", "plain", " ", "0"};
  auto text = [&](bool allowEmpty) {
    std::string s;
    const int n = static_cast<int>(rng() % 6) + (allowEmpty ? 0 : 1);
    for (int i = 0; i < n; ++i) s += pieces[rng() % pieces.size()];
    return s;
  };
  auto maybe = [&](std::vector<std::string> &store) -> const char * {
    if (rng() % 4 == 0) return nullptr;
    store.push_back(text(true));
    return store.back().c_str();
  };

  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> store;
    store.reserve(64);
    Record r;
    r.op = static_cast<OrvoPhpAgentDataOp>(rng() % 3);
    store.push_back(text(true));
    r.fn = store.back().c_str();
    r.ts = rng();
    r.seq = rng();
    r.excClass = maybe(store);
    r.excMsg = maybe(store);
    r.excFn = maybe(store);
    r.excFile = maybe(store);
    r.excLine = static_cast<int>(rng());
    r.cfAppId = maybe(store);
    r.cfAppName = maybe(store);
    r.cfInstIdx = maybe(store);
    _OrvoPhpParams p{};
    HttpHeaderPair headers[3];
    p.kind = static_cast<int>(rng() % 4);
    p.url = maybe(store);
    if (p.kind == ORVO_PARAMS_SQL_BACKEND)
      p.statementId = rng() % 3 ? rng() : 0;
    else
      p.host = maybe(store);
    p.port = maybe(store);
    p.httpMethod = maybe(store);
    p.txnTraceId = maybe(store);
    p.txnCorId = maybe(store);
    p.headerCount = static_cast<int>(rng() % 4);
    for (int i = 0; i < p.headerCount; ++i)
      headers[i] = {maybe(store), maybe(store)};
    p.headers = headers;
    r.params = &p;

    std::unique_ptr<DataQueueItem> item = r.make();
    std::string line;
    appendFunctionCall(line, item.get(), "31337");
    ASSERT_EQ(line.back(), '\n');
    ASSERT_EQ(line.find('\n'), line.size() - 1) << line;

    rapidjson::Document d;
    d.Parse(line.c_str(), line.size());
    ASSERT_FALSE(d.HasParseError()) << line;
    ASSERT_TRUE(d.IsObject());
    auto str = [](const rapidjson::Value &v) {
      return std::string(v.GetString(), v.GetStringLength());
    };
    EXPECT_EQ(str(d["op"]), item->getOpStr());
    EXPECT_EQ(d["ts"].GetUint64(), item->getTimestamp());
    EXPECT_EQ(str(d["fn"]), item->getFuncNameStr());
    EXPECT_EQ(str(d["pid"]), "31337");
    EXPECT_EQ(d[item->getSeqTag()].GetUint64(), item->getSeq());

    const bool hasExc = !item->getExceptionClass().empty() ||
                        !item->getExceptionMsg().empty();
    ASSERT_EQ(d.HasMember("exc"), hasExc) << line;
    if (hasExc) {
      const rapidjson::Value &e = d["exc"];
      auto check = [&](const char *key, std::string_view stored) {
        ASSERT_EQ(e.HasMember(key), !stored.empty()) << key << " " << line;
        if (!stored.empty()) {
          EXPECT_EQ(str(e[key]), stored) << key;
        }
      };
      check("class", item->getExceptionClass());
      check("msg", item->getExceptionMsg());
      check("fn", item->getExceptionFn());
      check("file", item->getExceptionFile());
      if (!item->getExceptionFile().empty()) {
        EXPECT_EQ(str(e["line"]), std::to_string(item->getExceptionLine()));
      }
    }

    auto orEmpty = [](const char *s) { return std::string(s ? s : ""); };
    if (item->isFrontend() && item->getUrl()) {
      const rapidjson::Value &q = d["prms"];
      EXPECT_EQ(str(q["url"]), item->getUrl());
      EXPECT_EQ(str(q["hostName"]), orEmpty(item->getHost()));
      EXPECT_EQ(str(q["httpMethod"]), orEmpty(item->getHttpMethod()));
      EXPECT_EQ(q.HasMember("hostPort"), item->getPort() != nullptr);
      if (item->getPort()) {
        EXPECT_EQ(str(q["hostPort"]), item->getPort());
      }
      auto present = [](const char *s) { return s && *s; };
      ASSERT_EQ(q.HasMember("traceId"),
                present(item->getTxnTraceId()) && present(item->getTxnCorId()));
      if (q.HasMember("traceId")) {
        EXPECT_EQ(str(q["traceId"]), item->getTxnTraceId());
        EXPECT_EQ(str(q["corId"]), item->getTxnCorId());
      }
      if (q.HasMember("ATTR_CloudFoundry_Container_Index")) {
        EXPECT_EQ(str(q["ATTR_CloudFoundry_Container_Index"]),
                  std::string(item->getCFAppID()) + ":" + item->getCFAppName() +
                      ":" + item->getCFInstIdx());
      }
      if (item->getHeaderBufferSize() > 0) {
        // Names may repeat, so walk the members in order.
        const rapidjson::Value &h = q["hdrs"];
        int i = 0;
        for (auto m = h.MemberBegin(); m != h.MemberEnd(); ++m, ++i) {
          EXPECT_EQ(str(m->name), orEmpty(item->getHttpHeaderName(i)));
          EXPECT_EQ(str(m->value), orEmpty(item->getHttpHeaderValue(i)));
        }
        EXPECT_EQ(i, item->getHeaderBufferSize());
      }
    } else if (item->isBackend()) {
      const rapidjson::Value &q = d["prms"];
      EXPECT_EQ(q.HasMember("url"), item->getJDBCUrl() != nullptr);
      if (item->getJDBCUrl()) {
        EXPECT_EQ(str(q["url"]), item->getJDBCUrl());
      }
      if (item->getSqlQuery()) {
        EXPECT_EQ(str(q["query"]), item->getSqlQuery());
      }
      EXPECT_EQ(q.HasMember("stmtid"), item->getStatementId() != 0);
      if (item->getStatementId()) {
        EXPECT_EQ(str(q["stmtid"]), std::to_string(item->getStatementId()));
      }
    } else if (item->isHttpBackend()) {
      const rapidjson::Value &q = d["prms"];
      if (item->getHttpBackendUrl()) {
        EXPECT_EQ(str(q["url"]), item->getHttpBackendUrl());
      }
      if (item->getHttpBackendUrl() && item->getHttpBackendMethod()) {
        EXPECT_EQ(str(q["method"]), item->getHttpBackendMethod());
      }
      if (const char *code = item->getHttpBackendRespCode()) {
        const rapidjson::Value &c = q["resCode"];
        if (c.IsString()) {
          EXPECT_EQ(str(c), code);
        } else {
          ASSERT_TRUE(c.IsNumber()) << line;
        }
        EXPECT_EQ(str(q["resMsg"]), orEmpty(item->getHttpBackendRespMsg()));
      }
    } else {
      EXPECT_FALSE(d.HasMember("prms")) << line;
    }
  }
}

TEST(BatchFunctionCalls, OneRecordMoreThanABatchGoesOutInTwo) {
  DataQueue q(1000, 10000, 100000);
  const unsigned long total = kFunctionCallJSONBatchSize + 1;
  for (unsigned long n = 1; n <= total; ++n)
    ASSERT_TRUE(addToDataQueue(
        &q, new DataQueueItem(DATA_OP_CALL, "f", n, n, nullptr, nullptr,
                              nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                              nullptr)));

  const std::string pid = std::to_string(getpid());
  std::string first, second;
  EXPECT_EQ(batchFunctionCalls(&q, first), kFunctionCallJSONBatchSize);
  EXPECT_EQ(batchFunctionCalls(&q, second), 1u);
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(batchFunctionCalls(&q, second), 0u);
  EXPECT_EQ(batchFunctionCalls(nullptr, second), 0u);

  std::istringstream lines(first + second);
  std::string line;
  unsigned long n = 0;
  while (std::getline(lines, line)) {
    ++n;
    const std::string expected = "{\"op\":\"fnC\",\"ts\":" + std::to_string(n) +
                                 ",\"fn\":\"f\",\"pid\":\"" + pid +
                                 "\",\"seq\":" + std::to_string(n) + "}";
    ASSERT_EQ(line, expected);
  }
  EXPECT_EQ(n, total);
  EXPECT_EQ(second.back(), '\n');
}

}  // namespace
