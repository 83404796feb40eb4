// What execute hooks see of frames, arguments, results and exceptions, and
// how a fatal error or exit leaves the request.
#include <string>
#include <vector>

#include "engine_fixture.h"

namespace {

// What a zend_execute_ex hook saw when user code was entered.
struct Entry {
  bool hasCaller = false;
  bool currentIsNew = false;
  bool returnSlot = false;
  std::string function;  // as recorded in the caller's frame
  std::string scope;
  std::string objectClass;
  std::string file;
  int opcode = -1;
  unsigned long extended = 0;
  bool callerOplineNull = false;
  std::vector<std::string> args;       // read from the argument area by hand
  std::vector<std::string> argsByApi;  // read with zend_vm_stack_get_arg_ex
};

std::vector<Entry> gEntries;
int gReturns = 0;
void (*gSavedExecute)(zend_execute_data *) = nullptr;

std::string nameOf(const char *s) { return s ? s : ""; }

void noteEntry(zend_execute_data *ex) {
  Entry e;
  e.currentIsNew = EG(current_execute_data) == ex;
  e.returnSlot = EG(return_value_ptr_ptr) != nullptr;
  zend_execute_data *caller = ex->prev_execute_data;
  e.hasCaller = caller != nullptr;
  if (caller) {
    zend_function *fn = caller->function_state.function;
    e.function = nameOf(fn->common.function_name);
    e.scope = fn->common.scope ? fn->common.scope->name : "";
    e.objectClass = caller->object ? Z_OBJCE_P(caller->object)->name : "";
    if (fn->type != ZEND_INTERNAL_FUNCTION) e.file = nameOf(fn->op_array.filename);
    e.callerOplineNull = caller->opline == nullptr;
    if (caller->opline) {
      e.opcode = caller->opline->opcode;
      e.extended = caller->opline->extended_value;
    }
    void **p = caller->function_state.arguments;
    if (p) {
      int n = static_cast<int>(reinterpret_cast<zend_uintptr_t>(*p));
      for (int i = 0; i < n; ++i) e.args.push_back(text(reinterpret_cast<zval **>(p)[i - n]));
      for (int i = 1; i <= n; ++i) e.argsByApi.push_back(text(*zend_vm_stack_get_arg_ex(caller, i)));
    }
  }
  gEntries.push_back(e);
}

void recordingExecute(zend_execute_data *ex) {
  noteEntry(ex);
  gSavedExecute(ex);
  ++gReturns;
}

class StandinFrames : public EngineTest {
 protected:
  void SetUp() override {
    gEntries.clear();
    gReturns = 0;
    start();
    gSavedExecute = zend_execute_ex;
    zend_execute_ex = recordingExecute;
  }
};

TEST_F(StandinFrames, UserCallIsRecordedInTheCallersFrameWithArgumentsFirstLowest) {
  run(R"({"requests": [{"file": "/var/www/html/index.php", "body": [
        {"new": "Cart", "as": "cart"},
        {"call": "add", "class": "Cart", "object": {"var": "cart"}, "args": ["apple", 2, true],
         "file": "/var/www/html/Cart.php", "body": [{"call": "helper"}]}]}]})");

  ASSERT_EQ(3u, gEntries.size());
  const Entry &main = gEntries[0];
  EXPECT_FALSE(main.hasCaller) << "the main file runs as a frame without caller";
  EXPECT_TRUE(main.currentIsNew);

  const Entry &add = gEntries[1];
  EXPECT_TRUE(add.currentIsNew) << "zend_execute_ex receives the new frame";
  EXPECT_EQ("add", add.function);
  EXPECT_EQ("Cart", add.scope);
  EXPECT_EQ("Cart", add.objectClass);
  EXPECT_EQ("/var/www/html/Cart.php", add.file);
  EXPECT_EQ(ZEND_DO_FCALL, add.opcode);
  EXPECT_EQ((std::vector<std::string>{"apple", "2", "true"}), add.args);
  EXPECT_EQ(add.args, add.argsByApi);

  const Entry &helper = gEntries[2];
  EXPECT_EQ("helper", helper.function);
  EXPECT_EQ("", helper.scope);
  EXPECT_EQ("", helper.objectClass);
  EXPECT_TRUE(helper.args.empty());
  EXPECT_EQ(3, gReturns);
}

TEST_F(StandinFrames, IncludeAndEvalMarkTheCallingInstruction) {
  run(R"({"requests": [{"file": "/var/www/html/index.php", "body": [
        {"include": "/var/www/html/a.php"},
        {"include_once": "/var/www/html/b.php"},
        {"include_once": "/var/www/html/b.php"},
        {"require": "/var/www/html/c.php"},
        {"require_once": "/var/www/html/d.php"},
        {"eval": "$x = 1;", "line": 9}]}]})");

  struct Expected {
    unsigned long kind;
    const char *file;
  };
  const Expected expected[] = {{ZEND_INCLUDE, "/var/www/html/a.php"},
                               {ZEND_INCLUDE_ONCE, "/var/www/html/b.php"},
                               {ZEND_REQUIRE, "/var/www/html/c.php"},
                               {ZEND_REQUIRE_ONCE, "/var/www/html/d.php"},
                               {ZEND_EVAL, "/var/www/html/index.php(9) : eval()'d code"}};
  ASSERT_EQ(1u + 5u, gEntries.size()) << "a file already included once is not entered again";
  for (size_t i = 0; i < 5; ++i) {
    const Entry &e = gEntries[i + 1];
    SCOPED_TRACE(expected[i].file);
    EXPECT_EQ(ZEND_INCLUDE_OR_EVAL, e.opcode);
    EXPECT_EQ(expected[i].kind, e.extended);
    EXPECT_EQ("", e.function) << "included and eval'd code has no function name";
    EXPECT_EQ(expected[i].file, e.file);
    EXPECT_TRUE(e.returnSlot) << "include and eval always have a result";
  }
}

TEST_F(StandinFrames, CallbackFromAnInternalFunctionRunsFromACallFrame) {
  run(R"({"requests": [{"file": "/var/www/html/index.php", "body": [
        {"internal": "array_map", "body": [{"call": "cb", "args": [1], "return": 2}]}]}]})");
  ASSERT_EQ(2u, gEntries.size());
  const Entry &cb = gEntries[1];
  EXPECT_EQ("cb", cb.function) << "named by the function called, not by the internal function";
  EXPECT_TRUE(cb.callerOplineNull);
  EXPECT_EQ((std::vector<std::string>{"1"}), cb.args);
}

// Return-value slot: a hook supplies one when the caller does not use the
// value, and finds the value there after the code ran.
std::vector<std::string> gReturned;

void slotExecute(zend_execute_data *ex) {
  zval *mine = nullptr;
  bool supplied = EG(return_value_ptr_ptr) == nullptr;
  if (supplied) EG(return_value_ptr_ptr) = &mine;
  gSavedExecute(ex);
  if (ex->prev_execute_data) {
    gReturned.push_back((supplied ? "supplied:" : "caller:") + text(*EG(return_value_ptr_ptr)));
  }
  if (supplied) {
    if (mine) zval_ptr_dtor(&mine);
    EG(return_value_ptr_ptr) = nullptr;
  }
}

TEST_F(StandinFrames, ReturnValueSlotIsTheCallersOrTheHooks) {
  gReturned.clear();
  zend_execute_ex = slotExecute;
  standin::Response r = run(R"({"requests": [{"file": "/index.php", "body": [
        {"call": "unused", "return": 5},
        {"call": "used", "return": "x", "as": "y"},
        {"call": "nothing", "echo_result": true},
        {"internal": "strtoupper", "args": [{"var": "y"}], "return": "X", "echo_result": true}]}]})");
  EXPECT_EQ((std::vector<std::string>{"supplied:5", "caller:x", "caller:null"}), gReturned);
  EXPECT_EQ("X", r.body);
}

// Internal calls: the caller's frame is current, and the result operand is
// a temporary of the caller that holds the return value.
struct InternalCall {
  std::string function;
  std::string scope;
  std::string objectClass;
  bool frameIsCurrent;
  int resultType;
  bool used;
  std::string result;
};
std::vector<InternalCall> gInternal;

void noteInternal(zend_execute_data *ex, int used) {
  InternalCall c;
  zend_function *fn = ex->function_state.function;
  c.function = nameOf(fn->common.function_name);
  c.scope = fn->common.scope ? fn->common.scope->name : "";
  c.objectClass = ex->object ? Z_OBJCE_P(ex->object)->name : "";
  c.frameIsCurrent = EG(current_execute_data) == ex;
  c.resultType = ex->opline->result_type;
  c.used = used != 0 && RETURN_VALUE_USED(ex->opline);
  gInternal.push_back(c);
}

void noteInternalResult(zend_execute_data *ex) {
  zend_op *op = ex->opline;
  gInternal.back().result = (op->result_type & 0x0f) == IS_VAR ? text(EX_TMP_VAR(ex, op->result.var)->var.ptr) : "";
}

void recordingExecuteInternal(zend_execute_data *ex, zend_fcall_info *fci, int used) {
  noteInternal(ex, used);
  execute_internal(ex, fci, used);
  noteInternalResult(ex);
}

TEST_F(StandinFrames, InternalCallHasItsResultInTheCallersTemporary) {
  gInternal.clear();
  zend_execute_internal = recordingExecuteInternal;
  standin::Response r = run(R"({"requests": [{"file": "/index.php", "body": [
        {"internal": "strlen", "args": ["abc"], "return": 3, "as": "n"},
        {"internal": "strlen", "args": ["x"], "return": 1},
        {"new": "PDO", "as": "db"},
        {"internal": "query", "class": "PDO", "object": {"var": "db"}, "args": ["SELECT 1"], "return": false,
         "echo_result": true},
        {"internal": "intval", "args": [{"var": "n"}], "return": {"var": "n"}, "echo_result": true}]}]})");

  ASSERT_EQ(4u, gInternal.size());
  EXPECT_EQ("strlen", gInternal[0].function);
  EXPECT_TRUE(gInternal[0].frameIsCurrent);
  EXPECT_EQ(IS_VAR, gInternal[0].resultType & 0x0f);
  EXPECT_TRUE(gInternal[0].used);
  EXPECT_EQ("3", gInternal[0].result);

  EXPECT_EQ(IS_VAR, gInternal[1].resultType & 0x0f) << "the temporary exists even when unused";
  EXPECT_FALSE(gInternal[1].used);

  EXPECT_EQ("query", gInternal[2].function);
  EXPECT_EQ("PDO", gInternal[2].scope);
  EXPECT_EQ("PDO", gInternal[2].objectClass);
  EXPECT_EQ("false", gInternal[2].result);
  EXPECT_EQ("3", r.body) << "false echoes as nothing; the stored result 3 echoes as 3";
}

// The pending exception, read the way a probe reads it: object by handle,
// class name, properties without notices.
std::vector<std::string> gExceptions;
std::vector<std::string> gErrors;
void (*gSavedErrorCb)(int, const char *, const zend_uint, const char *, va_list) = nullptr;

void noteException() {
  zval *ex = EG(exception);
  if (!ex || Z_TYPE_P(ex) != IS_OBJECT) return;
  zend_object *obj = static_cast<zend_object *>(zend_object_store_get_object_by_handle(Z_OBJ_HANDLE_P(ex)));
  zval *message = zend_read_property(nullptr, ex, "message", 7, 1);
  zval *file = zend_read_property(nullptr, ex, "file", 4, 1);
  zval *line = zend_read_property(nullptr, ex, "line", 4, 1);
  zval *missing = zend_read_property(nullptr, ex, "nope", 4, 1);
  gExceptions.push_back(std::string(obj->ce->name) + "|" + text(message) + "|" + text(file) + "|" + text(line) + "|" +
                        text(missing));
}

void exceptionExecute(zend_execute_data *ex) {
  gSavedExecute(ex);
  noteException();
}

void recordingErrorCb(int type, const char *file, const zend_uint line, const char *format, va_list args) {
  char buf[256];
  va_list copy;
  va_copy(copy, args);
  vsnprintf(buf, sizeof(buf), format, copy);
  va_end(copy);
  gErrors.push_back(std::to_string(type) + ":" + buf + "@" + file + ":" + std::to_string(line));
  gSavedErrorCb(type, file, line, format, args);
}

TEST_F(StandinFrames, PendingExceptionIsReadableWithoutNotices) {
  gExceptions.clear();
  gErrors.clear();
  zend_execute_ex = exceptionExecute;
  gSavedErrorCb = zend_error_cb;
  zend_error_cb = recordingErrorCb;
  run(R"({"classes": {"PaymentError": {"parent": "RuntimeException"}},
          "requests": [{"file": "/index.php", "body": [
        {"try": [{"call": "outer", "body": [
                   {"call": "inner", "body": [{"throw": "PaymentError", "message": "declined", "line": 9}]}]}],
         "catch": [{"class": "Exception", "body": [{"echo": "caught"}]}]},
        {"call": "again", "body": [{"throw": "LogicException", "message": "bad", "file": "/lib.php", "line": 4}]}]}]})");

  EXPECT_EQ((std::vector<std::string>{"PaymentError|declined|/index.php|9|null",
                                      "PaymentError|declined|/index.php|9|null",
                                      "LogicException|bad|/lib.php|4|null", "LogicException|bad|/lib.php|4|null"}),
            gExceptions)
      << "inner and outer return with the exception pending; caught, it is gone";
  ASSERT_EQ(1u, gErrors.size()) << "silent property reads raise nothing; only the uncaught exception does";
  EXPECT_EQ(0u, gErrors[0].find("1:Uncaught exception 'LogicException' with message 'bad' in /lib.php:4"));
  EXPECT_NE(std::string::npos, gErrors[0].find("@/lib.php:4"));
}

TEST_F(StandinFrames, PropertyReadWithoutSilenceRaisesANotice) {
  gErrors.clear();
  gSavedErrorCb = zend_error_cb;
  zend_error_cb = recordingErrorCb;
  zend_execute_ex = [](zend_execute_data *ex) {
    gSavedExecute(ex);
    if (!ex->prev_execute_data) return;
    zval *object = ex->prev_execute_data->object;
    zend_read_property(nullptr, object, "nope", 4, 1);
    zend_read_property(nullptr, object, "total", 5, 0);
    zend_read_property(nullptr, object, "nope", 4, 0);
  };
  run(R"({"requests": [{"file": "/index.php", "body": [
        {"new": "Cart", "as": "c", "properties": {"total": 5}},
        {"call": "sum", "class": "Cart", "object": {"var": "c"}, "line": 3}]}]})");
  EXPECT_EQ((std::vector<std::string>{"8:Undefined property: Cart::$nope@/index.php:3"}), gErrors);
}

// Bailout: nothing between the error and the end of the request runs again.
int gRequestEnds = 0;
bool gFrameAtRequestEnd = true;

int testRequestEnd(int, int) {
  ++gRequestEnds;
  gFrameAtRequestEnd = EG(current_execute_data) != nullptr;
  return SUCCESS;
}

zend_module_entry gEndModule = {STANDARD_MODULE_HEADER, "frames_test", nullptr, nullptr, nullptr, nullptr,
                                testRequestEnd,         nullptr,       "1",     STANDARD_MODULE_PROPERTIES};

struct BailoutCase {
  const char *name;
  const char *step;
  const char *body;
  int errorType;
};

void PrintTo(const BailoutCase &c, std::ostream *os) { *os << c.name; }

class StandinBailout : public StandinFrames, public ::testing::WithParamInterface<BailoutCase> {};

TEST_P(StandinBailout, SkipsEveryFrameBetweenTheErrorAndRequestEnd) {
  gRequestEnds = 0;
  gErrors.clear();
  gSavedErrorCb = zend_error_cb;
  zend_error_cb = recordingErrorCb;
  std::string error;
  ASSERT_TRUE(standin::registerModule(&gEndModule, nullptr, &error)) << error;
  standin::modulesStartup();

  std::string json = std::string(R"({"requests": [{"file": "/index.php", "body": [
        {"echo": "start;"},
        {"call": "outer", "body": [{"call": "inner", "body": [)") +
                     GetParam().step + R"(, {"echo": "never"}]}, {"echo": "never"}]},
        {"echo": "never"}]}]})";
  standin::Response r = run(json);

  EXPECT_EQ(3u, gEntries.size());
  EXPECT_EQ(0, gReturns) << "no hook returns from a frame the request left by bailout";
  EXPECT_EQ(GetParam().body, r.body);
  EXPECT_EQ(1, gRequestEnds);
  EXPECT_FALSE(gFrameAtRequestEnd);
  if (GetParam().errorType) {
    ASSERT_EQ(1u, gErrors.size());
    EXPECT_EQ(0u, gErrors[0].find(std::to_string(GetParam().errorType) + ":"));
  } else {
    EXPECT_TRUE(gErrors.empty());
  }
  EXPECT_EQ(0u, standin::engineMemoryBlocks()) << "request end releases what skipped frames held";
}

INSTANTIATE_TEST_SUITE_P(
    , StandinBailout,
    ::testing::Values(BailoutCase{"fatal", R"({"fatal": "out of memory"})", "start;", E_ERROR},
                      BailoutCase{"core_error", R"({"error": "core", "type": "E_CORE_ERROR"})", "start;", E_CORE_ERROR},
                      BailoutCase{"user_error", R"({"error": "user", "type": 256})", "start;", E_USER_ERROR},
                      BailoutCase{"exit", R"({"exit": "bye"})", "start;bye", 0}),
    [](const ::testing::TestParamInfo<BailoutCase> &info) { return std::string(info.param.name); });

}  // namespace
