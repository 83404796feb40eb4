// Encoding throughput of a batch: batchFunctionCalls against the same
// records written with RapidJSON's Writer (with its own escaping), both
// draining the same queue and destroying each record after its line, so the
// ratio is encoder against encoder. Records are built with the timer paused.
//
// The mix: 70 % plain calls and returns, 10 % returns with an exception,
// 10 % frontends with headers and ids, 10 % SQL calls.
#include <benchmark/benchmark.h>
#include <rapidjson/internal/itoa.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pipeline/DataQueue.h"
#include "pipeline/DataQueueItem.h"
#include "pipeline/EventEncoding.h"

namespace {

const unsigned kRecordsPerBatch = 10000;

const char *const kNames[] = {
    "strlen",
    "array_map",
    "{closure}",
    "Illuminate\\Container\\Container::make",
    "App\\Http\\Controllers\\OrderController::store",
    "Illuminate\\Database\\Eloquent\\Builder::getModels",
    "Symfony\\Component\\HttpFoundation\\Request::getPathInfo",
    "/var/www/shop/vendor/composer/autoload_real.php",
};

HttpHeaderPair kHeaders[] = {
    {"Accept", "text/html,application/xhtml+xml;q=0.9,*/*;q=0.8"},
    {"User-Agent", "Mozilla/5.0 (X11; Linux x86_64) Firefox/120.0"},
    {"X-Forwarded-For", "203.0.113.7"},
    {"Referer", "https://shop.example.com/cart?id=\"42\""},
};

void fill(DataQueue &q, unsigned count) {
  _OrvoPhpParams frontend{};
  frontend.kind = ORVO_PARAMS_FRONTEND;
  frontend.url = "/checkout/confirm?order=1234&step=2";
  frontend.host = "shop.example.com";
  frontend.port = "443";
  frontend.httpMethod = "POST";
  frontend.txnTraceId = "4bf92f3577b34da6a3ce929d0e0e4736";
  frontend.txnCorId = "00f067aa0ba902b7";
  frontend.headers = kHeaders;
  frontend.headerCount = 4;
  _OrvoPhpParams sql{};
  sql.kind = ORVO_PARAMS_SQL_BACKEND;
  sql.url = "mysql://db.internal:3306/shop";
  sql.port =
      "SELECT `orders`.* FROM `orders` WHERE `orders`.`customer_id` = ? AND "
      "`status` = \"open\" ORDER BY `created_at` DESC LIMIT 20";
  sql.statementId = 17;

  for (unsigned i = 0; i < count; ++i) {
    const unsigned kind = i % 10;
    const char *name = kNames[i % (sizeof(kNames) / sizeof(kNames[0]))];
    const OrvoPhpAgentDataOp op = i & 1 ? DATA_OP_RETURN : DATA_OP_CALL;
    const unsigned long ts = 1718000000000UL + i / 8;
    const unsigned long long seq = 100000 + i;
    DataQueueItem *item;
    if (kind < 7) {
      item = new DataQueueItem(op, name, ts, seq, nullptr, nullptr, nullptr,
                               nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    } else if (kind == 7) {
      item = new DataQueueItem(
          DATA_OP_RETURN, name, ts, seq,
          "Illuminate\\Database\\QueryException",
          "SQLSTATE[23000]: Integrity constraint violation: 1062 Duplicate "
          "entry 'a@b.c' for key \"users_email_unique\"\n(SQL: insert ...)",
          "Illuminate\\Database\\Connection::runQueryCallback",
          "/var/www/shop/vendor/laravel/framework/src/Illuminate/Database/"
          "Connection.php",
          712, nullptr, nullptr, nullptr, nullptr);
    } else if (kind == 8) {
      item = new DataQueueItem(DATA_OP_CALL, "/var/www/shop/public/index.php",
                               ts, seq, nullptr, nullptr, nullptr, nullptr, 0,
                               &frontend, nullptr, nullptr, nullptr);
    } else {
      item = new DataQueueItem(op, "PDOStatement::execute", ts, seq, nullptr,
                               nullptr, nullptr, nullptr, 0, &sql, nullptr,
                               nullptr, nullptr);
    }
    addToDataQueue(&q, item);
  }
}

// The same line content with RapidJSON. Key order and conditions follow the
// probe's encoder; RapidJSON escapes in its own (equally valid) way.
typedef rapidjson::Writer<rapidjson::StringBuffer> JsonWriter;

void str(JsonWriter &w, const char *s) { w.String(s ? s : ""); }
void str(JsonWriter &w, std::string_view s) {
  w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

void rapidLine(JsonWriter &w, const DataQueueItem &it, const char *pid) {
  w.StartObject();
  w.Key("op");
  w.String(it.getOpStr());
  w.Key("ts");
  w.Uint64(it.getTimestamp());
  w.Key("fn");
  str(w, it.getFuncNameStr());
  w.Key("pid");
  w.String(pid);
  w.Key(it.getSeqTag());
  w.Uint64(it.getSeq());
  if (!it.getExceptionClass().empty() || !it.getExceptionMsg().empty()) {
    w.Key("exc");
    w.StartObject();
    if (!it.getExceptionClass().empty()) {
      w.Key("class");
      str(w, it.getExceptionClass());
    }
    if (!it.getExceptionMsg().empty()) {
      w.Key("msg");
      str(w, it.getExceptionMsg());
    }
    if (!it.getExceptionFn().empty()) {
      w.Key("fn");
      str(w, it.getExceptionFn());
    }
    if (!it.getExceptionFile().empty()) {
      w.Key("file");
      str(w, it.getExceptionFile());
      char line[16];
      *rapidjson::internal::i32toa(it.getExceptionLine(), line) = '\0';
      w.Key("line");
      w.String(line);
    }
    w.EndObject();
  }
  if (const _OrvoPhpParams *p = it.getParams()) {
    if (p->kind == ORVO_PARAMS_FRONTEND && p->url) {
      w.Key("prms");
      w.StartObject();
      w.Key("url");
      str(w, p->url);
      w.Key("frontend");
      w.String("true");
      w.Key("hostName");
      str(w, p->host);
      if (p->port) {
        w.Key("hostPort");
        str(w, p->port);
      }
      w.Key("httpMethod");
      str(w, p->httpMethod);
      if (p->txnTraceId && *p->txnTraceId && p->txnCorId && *p->txnCorId) {
        w.Key("traceId");
        str(w, p->txnTraceId);
        w.Key("corId");
        str(w, p->txnCorId);
      }
      if (p->headerCount) {
        w.Key("hdrs");
        w.StartObject();
        for (int i = 0; i < p->headerCount; ++i) {
          str(w, p->headers[i].name);
          str(w, p->headers[i].value);
        }
        w.EndObject();
      }
      w.EndObject();
    } else if (p->kind == ORVO_PARAMS_SQL_BACKEND) {
      w.Key("prms");
      w.StartObject();
      if (p->url) {
        w.Key("url");
        str(w, p->url);
      }
      if (p->port) {
        w.Key("query");
        str(w, p->port);
      }
      if (p->statementId) {
        char id[24];
        *rapidjson::internal::u64toa(p->statementId, id) = '\0';
        w.Key("stmtid");
        w.String(id);
      }
      w.EndObject();
    }
  }
  w.EndObject();
}

unsigned rapidBatch(DataQueue *q, rapidjson::StringBuffer &buffer) {
  char pid[24];
  *rapidjson::internal::u64toa(static_cast<uint64_t>(getpid()), pid) = '\0';
  JsonWriter w(buffer);
  unsigned count = 0;
  while (count < kFunctionCallJSONBatchSize) {
    DataQueueItem *item = q->dequeue();
    if (!item) break;
    rapidLine(w, *item, pid);
    buffer.Put('\n');
    w.Reset(buffer);
    delete item;
    ++count;
  }
  return count;
}

void BM_Encoding_batchFunctionCalls(benchmark::State &state) {
  DataQueue q(kRecordsPerBatch, kRecordsPerBatch, kRecordsPerBatch);
  size_t bytes = 0, lines = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fill(q, kRecordsPerBatch);
    std::string out;
    out.reserve(kFunctionCallJSONBatchSize * kLongestJSONStringLen);
    state.ResumeTiming();
    lines += batchFunctionCalls(&q, out);
    bytes += out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(lines));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["bytes_per_line"] =
      lines ? static_cast<double>(bytes) / lines : 0;
}
BENCHMARK(BM_Encoding_batchFunctionCalls)->Unit(benchmark::kMillisecond);

void BM_Encoding_RapidJsonWriter(benchmark::State &state) {
  DataQueue q(kRecordsPerBatch, kRecordsPerBatch, kRecordsPerBatch);
  size_t bytes = 0, lines = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fill(q, kRecordsPerBatch);
    rapidjson::StringBuffer buffer(nullptr, kFunctionCallJSONBatchSize *
                                                kLongestJSONStringLen);
    state.ResumeTiming();
    lines += rapidBatch(&q, buffer);
    bytes += buffer.GetSize();
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetItemsProcessed(static_cast<int64_t>(lines));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["bytes_per_line"] =
      lines ? static_cast<double>(bytes) / lines : 0;
}
BENCHMARK(BM_Encoding_RapidJsonWriter)->Unit(benchmark::kMillisecond);

}  // namespace
