#include "pipeline/DataQueueItem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Item = std::unique_ptr<DataQueueItem>;

Item plain(OrvoPhpAgentDataOp op, const char *fn,
           const _OrvoPhpParams *params = nullptr) {
  return Item(new DataQueueItem(op, fn, 1, 2, nullptr, nullptr, nullptr,
                                nullptr, 0, params, nullptr, nullptr, nullptr));
}

// Texts that the test scribbles over and frees once the record is built, as
// an interpreter reusing its buffers would.
struct ScratchTexts {
  std::vector<std::unique_ptr<char[]>> owned;
  char *operator()(const std::string &s) {
    owned.emplace_back(new char[s.size() + 1]);
    memcpy(owned.back().get(), s.c_str(), s.size() + 1);
    return owned.back().get();
  }
  void scribble() {
    for (auto &p : owned) memset(p.get(), 'X', strlen(p.get()));
  }
};

TEST(DataQueueItem, KeepsItsOwnCopiesOfEveryText) {
  ScratchTexts t;
  HttpHeaderPair headers[2] = {{t("Accept"), t("text/html")},
                               {t("X-Forwarded-For"), t("10.0.0.1")}};
  _OrvoPhpParams frontend{};
  frontend.kind = ORVO_PARAMS_FRONTEND;
  frontend.url = t("/shop/cart?id=3");
  frontend.host = t("shop.example");
  frontend.port = t("8080");
  frontend.httpMethod = t("POST");
  frontend.txnTraceId = t("trace-1");
  frontend.txnCorId = t("cor-1");
  frontend.headers = headers;
  frontend.headerCount = 2;
  const std::string longName(300, 'n');  // texts beyond the inline block

  DataQueueItem item(DATA_OP_RETURN, t(longName), 1700000000123UL, 99,
                     t("App\\Err"), t("bad\nthing"), t("App\\run"),
                     t("C:\\www\\index.php"), 17, &frontend, t("shop"),
                     t("app-id"), t("3"));
  // Plain calls take a shorter way through the constructor; the same copy
  // rules hold for them, with names inline and beyond.
  const std::string shortName = "App\\Http\\Kernel::handle";
  Item plainShort = plain(DATA_OP_CALL, t(shortName), &frontend);
  Item plainLong = plain(DATA_OP_CALL, t(longName));
  t.scribble();
  headers[0] = {nullptr, nullptr};
  frontend = _OrvoPhpParams{};

  EXPECT_EQ(plainShort->getFuncNameStr(), shortName);
  EXPECT_STREQ(plainShort->getHttpHeaderValue(1), "10.0.0.1");
  EXPECT_EQ(plainLong->getFuncNameStr(), longName);
  for (const DataQueueItem *p : {plainShort.get(), plainLong.get()}) {
    EXPECT_EQ(p->getExceptionClass(), "");
    EXPECT_EQ(p->getExceptionFile(), "");
    EXPECT_EQ(p->getCFAppName(), nullptr);
  }

  EXPECT_EQ(item.getFuncNameStr(), longName);
  EXPECT_EQ(item.getTimestamp(), 1700000000123UL);
  EXPECT_EQ(item.getSeq(), 99ULL);
  EXPECT_EQ(item.getExceptionClass(), "App\\Err");
  EXPECT_EQ(item.getExceptionMsg(), "bad\nthing");
  EXPECT_EQ(item.getExceptionFn(), "App\\run");
  EXPECT_EQ(item.getExceptionFile(), "C:\\www\\index.php");
  EXPECT_EQ(item.getExceptionLine(), 17);
  EXPECT_STREQ(item.getCFAppID(), "app-id");
  EXPECT_STREQ(item.getCFInstIdx(), "3");
  EXPECT_STREQ(item.getCFAppName(), "shop");
  ASSERT_TRUE(item.isFrontend());
  EXPECT_FALSE(item.isBackend());
  EXPECT_FALSE(item.isHttpBackend());
  EXPECT_STREQ(item.getUrl(), "/shop/cart?id=3");
  EXPECT_STREQ(item.getHost(), "shop.example");
  EXPECT_STREQ(item.getPort(), "8080");
  EXPECT_STREQ(item.getHttpMethod(), "POST");
  EXPECT_STREQ(item.getTxnTraceId(), "trace-1");
  EXPECT_STREQ(item.getTxnCorId(), "cor-1");
  ASSERT_EQ(item.getHeaderBufferSize(), 2);
  EXPECT_STREQ(item.getHttpHeaderName(0), "Accept");
  EXPECT_STREQ(item.getHttpHeaderValue(0), "text/html");
  EXPECT_STREQ(item.getHttpHeaderName(1), "X-Forwarded-For");
  EXPECT_STREQ(item.getHttpHeaderValue(1), "10.0.0.1");
  EXPECT_EQ(item.getHttpHeaderName(2), nullptr);
  EXPECT_EQ(item.getHttpHeaderValue(-1), nullptr);
  // Views end in a NUL, so they can be handed on as C strings.
  EXPECT_EQ(item.getExceptionMsg().data()[item.getExceptionMsg().size()], '\0');
  // Accessors of the other kinds stay empty.
  EXPECT_EQ(item.getJDBCUrl(), nullptr);
  EXPECT_EQ(item.getStatementId(), 0ULL);
  EXPECT_EQ(item.getHttpBackendUrl(), nullptr);
}

TEST(DataQueueItem, OpTextsAndSequenceKeys) {
  struct Case {
    int op;
    const char *opText;
    const char *seqTag;
  } cases[] = {{0, "fnC", "seq"}, {1, "fnR", "cseq"}, {2, "err", "err"},
               {7, "err", "err"}};
  for (const Case &c : cases) {
    Item item = plain(static_cast<OrvoPhpAgentDataOp>(c.op), "f");
    EXPECT_STREQ(item->getOpStr(), c.opText) << c.op;
    EXPECT_STREQ(item->getSeqTag(), c.seqTag) << c.op;
  }
}

TEST(DataQueueItem, OptionalPartsThatAreLeftOut) {
  // A line without a file is not kept, nor is a partial Cloud Foundry
  // identity (the name alone may be missing).
  DataQueueItem noFile(DATA_OP_RETURN, "", 0, 0, "E", nullptr, nullptr,
                       nullptr, 42, nullptr, "name", "app", nullptr);
  EXPECT_EQ(noFile.getFuncNameStr(), "");
  EXPECT_EQ(noFile.getExceptionLine(), 0);
  EXPECT_EQ(noFile.getCFAppID(), nullptr);
  EXPECT_EQ(noFile.getCFInstIdx(), nullptr);
  EXPECT_EQ(noFile.getCFAppName(), nullptr);
  EXPECT_EQ(noFile.getExceptionMsg(), "");

  DataQueueItem noName(DATA_OP_CALL, "f", 0, 0, nullptr, nullptr, nullptr,
                       nullptr, 0, nullptr, nullptr, "app", "0");
  EXPECT_STREQ(noName.getCFAppID(), "app");
  EXPECT_STREQ(noName.getCFInstIdx(), "0");
  EXPECT_EQ(noName.getCFAppName(), nullptr);

  // Kinds other than 1..3 attach nothing.
  for (int kind : {0, 4, -1}) {
    _OrvoPhpParams p{};
    p.kind = kind;
    p.url = "/x";
    Item item = plain(DATA_OP_CALL, "f", &p);
    EXPECT_EQ(item->getParams(), nullptr) << kind;
    EXPECT_FALSE(item->isFrontend() || item->isBackend() ||
                 item->isHttpBackend());
  }
}

TEST(DataQueueItem, FrontendCopyRules) {
  HttpHeaderPair header = {"A", "b"};
  struct Case {
    const char *what;
    _OrvoPhpParams params;
    bool hasIds;
    int headers;
  };
  _OrvoPhpParams base{};
  base.kind = ORVO_PARAMS_FRONTEND;
  base.url = "/";
  base.host = "h";
  base.httpMethod = "GET";

  std::vector<Case> cases;
  cases.push_back({"trace id without correlation id", base, false, 0});
  cases.back().params.txnTraceId = "t";
  cases.push_back({"both ids", base, true, 0});
  cases.back().params.txnTraceId = "t";
  cases.back().params.txnCorId = "c";
  cases.push_back({"count 0 with an array", base, false, 0});
  cases.back().params.headers = &header;
  cases.push_back({"negative count", base, false, 0});
  cases.back().params.headers = &header;
  cases.back().params.headerCount = -3;
  cases.push_back({"one header", base, false, 1});
  cases.back().params.headers = &header;
  cases.back().params.headerCount = 1;

  for (const Case &c : cases) {
    Item item = plain(DATA_OP_CALL, "f", &c.params);
    ASSERT_TRUE(item->isFrontend()) << c.what;
    EXPECT_EQ(item->getTxnTraceId() != nullptr, c.hasIds) << c.what;
    EXPECT_EQ(item->getTxnCorId() != nullptr, c.hasIds) << c.what;
    EXPECT_EQ(item->getHeaderBufferSize(), c.headers) << c.what;
    EXPECT_EQ(item->getHttpHeaderName(0) != nullptr, c.headers > 0) << c.what;
  }

  // Without a URI nothing else is copied; a missing host, port or method
  // stays missing.
  _OrvoPhpParams noUrl = base;
  noUrl.url = nullptr;
  noUrl.headers = &header;
  noUrl.headerCount = 1;
  Item bare = plain(DATA_OP_CALL, "f", &noUrl);
  ASSERT_TRUE(bare->isFrontend());
  EXPECT_EQ(bare->getUrl(), nullptr);
  EXPECT_EQ(bare->getHost(), nullptr);
  EXPECT_EQ(bare->getHeaderBufferSize(), 0);
  _OrvoPhpParams noHost = base;
  noHost.host = nullptr;
  Item partial = plain(DATA_OP_CALL, "f", &noHost);
  EXPECT_EQ(partial->getHost(), nullptr);
  EXPECT_EQ(partial->getPort(), nullptr);
  EXPECT_STREQ(partial->getHttpMethod(), "GET");
}

TEST(DataQueueItem, BackendCopies) {
  _OrvoPhpParams sql{};
  sql.kind = ORVO_PARAMS_SQL_BACKEND;
  sql.url = "mysql://db:3306/shop";
  sql.statementId = 0xFFFFFFFFFFFFFFFFULL;
  sql.port = "SELECT 1";
  Item s = plain(DATA_OP_CALL, "mysqli_query", &sql);
  ASSERT_TRUE(s->isBackend());
  EXPECT_STREQ(s->getJDBCUrl(), "mysql://db:3306/shop");
  EXPECT_STREQ(s->getSqlQuery(), "SELECT 1");
  EXPECT_EQ(s->getStatementId(), 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_EQ(s->getUrl(), nullptr);
  EXPECT_EQ(s->getHttpBackendUrl(), nullptr);

  _OrvoPhpParams none{};
  none.kind = ORVO_PARAMS_SQL_BACKEND;
  Item empty = plain(DATA_OP_CALL, "f", &none);
  EXPECT_EQ(empty->getJDBCUrl(), nullptr);
  EXPECT_EQ(empty->getSqlQuery(), nullptr);
  EXPECT_EQ(empty->getStatementId(), 0ULL);

  _OrvoPhpParams start{};
  start.kind = ORVO_PARAMS_HTTP_BACKEND;
  start.url = "http://api/x";
  start.host = "GET";
  Item h1 = plain(DATA_OP_CALL, "send", &start);
  ASSERT_TRUE(h1->isHttpBackend());
  EXPECT_STREQ(h1->getHttpBackendUrl(), "http://api/x");
  EXPECT_STREQ(h1->getHttpBackendMethod(), "GET");
  EXPECT_EQ(h1->getHttpBackendRespCode(), nullptr);
  EXPECT_EQ(h1->getHttpBackendRespMsg(), nullptr);

  _OrvoPhpParams finish{};
  finish.kind = ORVO_PARAMS_HTTP_BACKEND;
  finish.port = "404";
  finish.httpMethod = "Not Found";
  Item h2 = plain(DATA_OP_RETURN, "send", &finish);
  EXPECT_EQ(h2->getHttpBackendUrl(), nullptr);
  EXPECT_STREQ(h2->getHttpBackendRespCode(), "404");
  EXPECT_STREQ(h2->getHttpBackendRespMsg(), "Not Found");
  EXPECT_EQ(h2->getHost(), nullptr);
}

}  // namespace
