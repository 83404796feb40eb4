// The request's globals, settings, output and headers, and script
// functions, as an extension reaches them.
#include <string>
#include <vector>

#include "engine_fixture.h"

namespace {

std::vector<std::string> gSeen;

std::string serverValue(HashTable *server, const char *key, size_t keyLength) {
  zval **value;
  if (zend_hash_quick_find(server, key, static_cast<zend_uint>(keyLength), zend_hash_func(key, keyLength),
                           reinterpret_cast<void **>(&value)) != SUCCESS) {
    return "<missing>";
  }
  return text(*value);
}

// A script function that looks at the request the way a probe does.
PHP_FUNCTION(inspect_request) {
  (void)ht;
  (void)return_value_ptr;
  (void)this_ptr;
  (void)return_value_used;
  const zend_ulong h = zend_hash_func("_SERVER", sizeof("_SERVER"));
  gSeen.push_back(zend_hash_quick_exists(&EG(symbol_table), "_SERVER", sizeof("_SERVER"), h) ? "server:present"
                                                                                             : "server:absent");
  zend_auto_global *auto_global;
  if (zend_hash_find(CG(auto_globals), "_SERVER", sizeof("_SERVER"), reinterpret_cast<void **>(&auto_global)) ==
      SUCCESS) {
    gSeen.push_back(auto_global->armed ? "armed" : "disarmed");
    auto_global->armed = auto_global->auto_global_callback(auto_global->name, auto_global->name_len);
  }
  zval **server;
  if (zend_hash_quick_find(&EG(symbol_table), "_SERVER", sizeof("_SERVER"), h, reinterpret_cast<void **>(&server)) ==
      SUCCESS) {
    gSeen.push_back("uri:" + serverValue(Z_ARRVAL_PP(server), "REQUEST_URI", sizeof("REQUEST_URI")));
    gSeen.push_back("port:" + serverValue(Z_ARRVAL_PP(server), "SERVER_PORT", sizeof("SERVER_PORT")));
  }
  gSeen.push_back(std::string("track:") + (PG(http_globals)[TRACK_VARS_SERVER] == *server ? "same" : "other"));
  zval *cookies = PG(http_globals)[TRACK_VARS_COOKIE];
  gSeen.push_back("cookie:" + (cookies ? serverValue(Z_ARRVAL_P(cookies), "sid", sizeof("sid")) : "<no array>"));
  RETURN_LONG(zend_hash_num_elements(Z_ARRVAL_PP(server)));
}

PHP_FUNCTION(inspect_globals) {
  (void)ht;
  (void)return_value;
  (void)return_value_ptr;
  (void)this_ptr;
  (void)return_value_used;
  zval **globals;
  if (zend_hash_find(&EG(symbol_table), "GLOBALS", sizeof("GLOBALS"), reinterpret_cast<void **>(&globals)) == SUCCESS) {
    gSeen.push_back(Z_ARRVAL_PP(globals) == &EG(symbol_table) ? "globals:self" : "globals:other");
  }
}

PHP_FUNCTION(greet) {
  (void)return_value_ptr;
  (void)this_ptr;
  (void)return_value_used;
  char *name;
  int nameLength;
  if (zend_parse_parameters(ZEND_NUM_ARGS(), "s", &name, &nameLength) == FAILURE) return;
  char *greeting;
  spprintf(&greeting, 0, "hello %s", name);
  RETURN_STRING(greeting, 0);
}

// Calls functions and methods by name, as tracers fetch error texts.
PHP_FUNCTION(call_by_name) {
  (void)ht;
  (void)return_value;
  (void)return_value_ptr;
  (void)this_ptr;
  (void)return_value_used;
  zval *object;
  if (zend_parse_parameters(ZEND_NUM_ARGS(), "z", &object) == FAILURE) return;

  zval name;
  ZVAL_STRING(&name, "mysqli_error", 1);
  zval *retval = nullptr;
  zval **params[1] = {&object};
  if (call_user_function_ex(EG(function_table), nullptr, &name, &retval, 1, params, 0, nullptr) == SUCCESS) {
    gSeen.push_back("mysqli_error:" + text(retval));
    zval_ptr_dtor(&retval);
  }
  zval_dtor(&name);

  ZVAL_STRING(&name, "errorInfo", 1);
  if (call_user_function_ex(EG(function_table), &object, &name, &retval, 0, nullptr, 0, nullptr) == SUCCESS) {
    zval **message;
    if (zend_hash_index_find(Z_ARRVAL_P(retval), 2, reinterpret_cast<void **>(&message)) == SUCCESS) {
      gSeen.push_back("errorInfo:" + text(*message));
    }
    zval_ptr_dtor(&retval);
  }
  zval_dtor(&name);

  ZVAL_STRING(&name, "format_total", 1);
  zval result;
  zval *args[1] = {object};
  if (call_user_function(EG(function_table), nullptr, &name, &result, 1, args) == SUCCESS) {
    gSeen.push_back("format_total:" + text(&result));
    zval_dtor(&result);
  }
  zval_dtor(&name);

  ZVAL_STRING(&name, "no_such_function", 1);
  gSeen.push_back(call_user_function_ex(EG(function_table), nullptr, &name, &retval, 0, nullptr, 0, nullptr) == SUCCESS
                      ? "no_such_function:called"
                      : "no_such_function:failed");
  zval_dtor(&name);
}

const zend_function_entry kFunctions[] = {PHP_FE(inspect_request, NULL) PHP_FE(inspect_globals, NULL) PHP_FE(greet, NULL)
                                              PHP_FE(call_by_name, NULL) PHP_FE_END};

zend_module_entry gModule = {STANDARD_MODULE_HEADER, "engine_test", kFunctions, nullptr, nullptr, nullptr,
                             nullptr,                nullptr,       "1",        STANDARD_MODULE_PROPERTIES};

class StandinEngine : public EngineTest {
 protected:
  void load() {
    std::string error;
    ASSERT_TRUE(standin::registerModule(&gModule, nullptr, &error)) << error;
    standin::modulesStartup();
  }
};

TEST_F(StandinEngine, ServerArrayIsCreatedOnDemandAndCookiesArriveInTheirOwnArray) {
  start();
  load();
  gSeen.clear();
  standin::Response r = run(R"({"requests": [{"file": "/index.php",
        "server": {"REQUEST_URI": "/shop/cart", "SERVER_PORT": 8080},
        "cookies": {"sid": "abc"},
        "body": [{"internal": "inspect_request", "echo_result": true}]}]})");
  EXPECT_EQ((std::vector<std::string>{"server:absent", "armed", "uri:/shop/cart", "port:8080", "track:same",
                                      "cookie:abc"}),
            gSeen);
  EXPECT_EQ("2", r.body);
}

TEST_F(StandinEngine, CodeThatReadsAnAutoGlobalMakesItExist) {
  start();
  load();
  gSeen.clear();
  run(R"({"requests": [{"file": "/index.php", "server": {"REQUEST_URI": "/"}, "body": [
        {"set": "s", "value": {"var": "_SERVER"}},
        {"set": "g", "value": {"var": "GLOBALS"}},
        {"internal": "inspect_request"},
        {"internal": "inspect_globals"},
        {"unset": "g"},
        {"unset": "GLOBALS"}]}]})");
  ASSERT_FALSE(gSeen.empty());
  EXPECT_EQ("server:present", gSeen[0]);
  EXPECT_EQ("globals:self", gSeen.back()) << "$GLOBALS is the symbol table itself";
}

TEST_F(StandinEngine, ScriptFunctionsParseTheirArguments) {
  start("apache2handler", {{"display_errors", "1"}});
  load();
  standin::Response r = run(R"({"requests": [{"file": "/index.php", "body": [
        {"internal": "greet", "args": ["bob"], "echo_result": true},
        {"internal": "greet", "args": [42], "echo_result": true},
        {"internal": "greet", "args": [], "echo_result": true, "line": 7},
        {"internal": "greet", "args": [["x"]], "echo_result": true, "line": 8}]}]})");
  EXPECT_EQ(
      "hello bobhello 42"
      "\nWarning: greet() expects exactly 1 parameter, 0 given in /index.php on line 7\n"
      "\nWarning: greet() expects parameter 1 to be string, array given in /index.php on line 8\n",
      r.body);
}

TEST_F(StandinEngine, CallsByNameReachDeclaredFunctionsAndMethods) {
  start();
  load();
  gSeen.clear();
  standin::Response r = run(R"({
        "classes": {"PDO": {"methods": {"errorInfo": {"return": ["HY000", 1045, "Access denied"]}}}},
        "functions": {"mysqli_error": {"return": "gone away"},
                      "format_total": {"user": true, "body": [{"echo": "[formatting]"}], "return": "12.50"}},
        "requests": [{"file": "/index.php", "body": [
          {"new": "PDO", "as": "db"},
          {"internal": "call_by_name", "args": [{"var": "db"}]}]}]})");
  EXPECT_EQ((std::vector<std::string>{"mysqli_error:gone away", "errorInfo:Access denied", "format_total:12.50",
                                      "no_such_function:failed"}),
            gSeen);
  EXPECT_EQ("[formatting]", r.body);
}

TEST_F(StandinEngine, SettingsAreFoundByNameWithTheNulCounted) {
  start("fpm-fcgi", {{"standin.threshold", "2.5"}, {"mysqli.default_port", "3307"}});
  static const zend_ini_entry entries[] = {
      {0, ZEND_INI_ALL, "standin.threshold", sizeof("standin.threshold"), nullptr, nullptr, nullptr, nullptr, "1.0", 3,
       nullptr, 0, 0, 0, nullptr},
      {0, ZEND_INI_ALL, "standin.name", sizeof("standin.name"), nullptr, nullptr, nullptr, nullptr, "", 0, nullptr, 0, 0,
       0, nullptr},
      {0, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0, 0, 0, nullptr}};
  ASSERT_EQ(SUCCESS, zend_register_ini_entries(entries, 7));
  EXPECT_DOUBLE_EQ(2.5, zend_ini_double("standin.threshold", sizeof("standin.threshold"), 0));
  zend_bool exists = 0;
  EXPECT_STREQ("", zend_ini_string_ex("standin.name", sizeof("standin.name"), 0, &exists)) << "empty, not absent";
  EXPECT_TRUE(exists);
  EXPECT_EQ(nullptr, zend_ini_string_ex("standin.name", strlen("standin.name"), 0, &exists));
  EXPECT_FALSE(exists);
  EXPECT_STREQ("3307", zend_ini_string_ex("mysqli.default_port", sizeof("mysqli.default_port"), 0, nullptr));
  EXPECT_EQ(nullptr, zend_ini_string_ex("mysqli.default_host", sizeof("mysqli.default_host"), 0, &exists));
  EXPECT_TRUE(exists) << "the other extensions' settings exist, without a value unless the ini file gives one";
  EXPECT_EQ(FAILURE, zend_register_ini_entries(entries, 8)) << "a name is registered once";
  zend_unregister_ini_entries(7);
  EXPECT_EQ(nullptr, zend_ini_string_ex("standin.threshold", sizeof("standin.threshold"), 0, &exists));
  EXPECT_FALSE(exists);
  EXPECT_STREQ("fpm-fcgi", sapi_module.name);
}

// Output and headers as a module that replaced both server functions sees
// them.
std::vector<std::string> gOutput;
int (*gSavedUbWrite)(const char *, unsigned int) = nullptr;
int (*gSavedSendHeaders)(sapi_headers_struct *) = nullptr;

int recordingUbWrite(const char *str, unsigned int length) {
  gOutput.push_back("write:" + std::string(str, length));
  return gSavedUbWrite(str, length);
}

int recordingSendHeaders(sapi_headers_struct *headers) {
  std::string seen = std::string("send:sent=") + (SG(headers_sent) ? "1" : "0");
  for (zend_llist_element *e = headers->headers.head; e; e = e->next) {
    seen += "|" + std::string(reinterpret_cast<sapi_header_struct *>(e->data)->header);
  }
  gOutput.push_back(seen);
  // Decorating the response: clear the mark, add a header, restore it.
  SG(headers_sent) = 0;
  sapi_header_line line = {"X-Added: 1", 10, 0};
  sapi_header_op(SAPI_HEADER_ADD, &line);
  SG(headers_sent) = 1;
  return gSavedSendHeaders(headers);
}

struct OutputCase {
  const char *name;
  const char *sapi;
  const char *body;
  std::vector<std::string> seen;
  int status;
  std::vector<std::string> headers;
};

void PrintTo(const OutputCase &c, std::ostream *os) { *os << c.name; }

class StandinOutput : public StandinEngine, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(StandinOutput, HeadersGoOutBeforeTheFirstChunkAndRefuseNewlines) {
  start(GetParam().sapi);
  gOutput.clear();
  gSavedUbWrite = sapi_module.ub_write;
  sapi_module.ub_write = recordingUbWrite;
  gSavedSendHeaders = sapi_module.send_headers;
  sapi_module.send_headers = recordingSendHeaders;
  standin::Response r = run(std::string(R"({"requests": [{"file": "/index.php", "body": )") + GetParam().body + "}]}");
  EXPECT_EQ(GetParam().seen, gOutput);
  EXPECT_EQ(GetParam().status, r.status);
  EXPECT_EQ(GetParam().headers, r.headers);
}

const char kHeadersBody[] = R"([
    {"header": "X-One: 1"},
    {"header": "X-Two: a\r\nX-Injected: b"},
    {"setcookie": "sid", "value": "a b", "path": "/"},
    {"header": "Location: /next"},
    {"echo": "first"},
    {"echo": "second"},
    {"header": "X-Late: 1"}])";

INSTANTIATE_TEST_SUITE_P(
    , StandinOutput,
    ::testing::Values(
        OutputCase{"server",
                   "apache2handler",
                   kHeadersBody,
                   {"send:sent=1|X-One: 1|Set-Cookie: sid=a+b; path=/|Location: /next|Content-type: text/html; "
                    "charset=UTF-8",
                    "write:first", "write:second"},
                   302,
                   {"X-One: 1", "Set-Cookie: sid=a+b; path=/", "Location: /next",
                    "Content-type: text/html; charset=UTF-8", "X-Added: 1"}},
        OutputCase{"no_output_sends_at_request_end",
                   "fpm-fcgi",
                   R"([{"header": "Content-Type: application/json"}, {"status": 404}])",
                   {"send:sent=1|Content-Type: application/json"},
                   404,
                   {"Content-Type: application/json", "X-Added: 1"}},
        OutputCase{"cli_sends_no_headers", "cli", kHeadersBody, {"write:first", "write:second"}, 302, {}}),
    [](const ::testing::TestParamInfo<OutputCase> &info) { return std::string(info.param.name); });

}  // namespace
