// The executor: frames, calls, include/eval, exceptions, errors and
// bailout. Every function here may end in a longjmp (a fatal error or exit
// anywhere below it), so locals stay trivially destructible and all request
// data lives in engine memory.
#include <errno.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "engine_internal.h"

extern "C" {

zend_executor_globals executor_globals;
zend_compiler_globals compiler_globals;

void (*zend_execute_ex)(zend_execute_data *execute_data) = execute_ex;
void (*zend_execute_internal)(zend_execute_data *execute_data_ptr, zend_fcall_info *fci,
                              int return_value_used) = nullptr;
void (*zend_error_cb)(int type, const char *error_filename, const zend_uint error_lineno, const char *format,
                      va_list args) = standin::phpErrorCb;

}  // extern "C"

namespace standin {
namespace {

HashTable gFunctionTable;
bool gFunctionsReady = false;

Value makeIncludeResult() {
  Value v;
  v.kind = Value::Long;
  v.l = 1;
  return v;
}
const Value kIncludeResult = makeIncludeResult();

void runOps(zend_execute_data *ex, zend_op *ops, size_t count);
void runInternalSteps(const Body *body);

const Step *stepOf(const zend_op *op) { return static_cast<const Step *>(op->handler); }

zval *lookupVar(const std::string &name) {
  zend_uint keyLength = static_cast<zend_uint>(name.size()) + 1;
  // Code that reads an auto-global ($_SERVER, $GLOBALS, ...) makes it exist.
  if (!zend_hash_exists(&EG(symbol_table), name.c_str(), keyLength)) {
    zend_is_auto_global(name.c_str(), keyLength - 1);
  }
  zval **found;
  if (zend_hash_find(&EG(symbol_table), name.c_str(), keyLength, reinterpret_cast<void **>(&found)) == SUCCESS) {
    return *found;
  }
  return nullptr;
}

// Takes over one reference of value.
void assignVar(const std::string &name, zval *value) {
  zend_hash_update(&EG(symbol_table), name.c_str(), static_cast<zend_uint>(name.size()) + 1, &value,
                   sizeof(zval *), nullptr);
}

void echoValue(zval *z) {
  zval tmp;
  ZVAL_COPY_VALUE(&tmp, z);
  zval_copy_ctor(&tmp);
  convert_to_string(&tmp);
  php_output_write(Z_STRVAL(tmp), static_cast<size_t>(Z_STRLEN(tmp)));
  zval_dtor(&tmp);
}

void handleResult(const Step *st, zval *result) {
  if (st->echo) echoValue(result);
  if (!st->as.empty()) {
    Z_ADDREF_P(result);
    assignVar(st->as, result);
  }
}

char *lowerDup(const std::string &name) {
  return zend_str_tolower_dup(name.c_str(), static_cast<unsigned int>(name.size()));
}

zend_function *findFunction(const std::string &name) {
  char *lower = lowerDup(name);
  zend_function *fn = nullptr;
  if (zend_hash_find(EG(function_table), lower, static_cast<zend_uint>(name.size()) + 1,
                     reinterpret_cast<void **>(&fn)) != SUCCESS) {
    fn = nullptr;
  }
  efree(lower);
  return fn;
}

void fillUserFunction(zend_op_array *fn, const char *name, zend_class_entry *scope, const Body &body,
                      const char *file, const Value *ret) {
  fn->type = ZEND_USER_FUNCTION;
  fn->function_name = name;
  fn->scope = scope;
  fn->fn_flags = ZEND_ACC_PUBLIC;
  fn->opcodes = const_cast<zend_op *>(body.ops.data());
  fn->last = static_cast<zend_uint>(body.ops.size());
  fn->T = body.temps;
  fn->filename = file;
  fn->line_start = body.ops.empty() ? 0 : body.ops.front().lineno;
  fn->line_end = body.ops.empty() ? 0 : body.ops.back().lineno;
  fn->engine_code = ret;
}

bool plainCall(const Step *st) { return st->body.steps.empty() && !st->hasReturn && st->file.empty(); }

// The code a user call step enters: a declared function when the step only
// names it, otherwise the step's own body.
zend_function *userFunctionFor(const Step *st, const std::string &name) {
  if (st->kind == StepKind::Call && plainCall(st)) {
    zend_function *declared = nullptr;
    if (st->cls.empty()) {
      declared = findFunction(name);
    } else if (zend_class_entry *ce = lookupClass(st->cls.data(), st->cls.size())) {
      declared = findMethod(ce, name.data(), name.size());
    }
    if (declared && declared->type == ZEND_USER_FUNCTION) return declared;
  }
  zend_op_array *fn = static_cast<zend_op_array *>(ecalloc(1, sizeof(zend_op_array)));
  fillUserFunction(fn, name.c_str(), st->cls.empty() ? nullptr : classForUse(st->cls, false), st->body,
                   st->file.empty() ? zend_get_executed_filename() : st->file.c_str(),
                   st->hasReturn ? &st->ret : nullptr);
  if (st->isStatic) fn->fn_flags |= ZEND_ACC_STATIC;
  fn->num_args = fn->required_num_args = static_cast<zend_uint>(st->args.size());
  return reinterpret_cast<zend_function *>(fn);
}

void behaviourHandler(INTERNAL_FUNCTION_PARAMETERS);

void fillInternalFunction(zend_internal_function *fn, const char *name, zend_class_entry *scope,
                          const Behaviour *behaviour) {
  fn->type = ZEND_INTERNAL_FUNCTION;
  fn->function_name = name;
  fn->scope = scope;
  fn->fn_flags = ZEND_ACC_PUBLIC;
  fn->handler = behaviourHandler;
  fn->engine_code = behaviour;
}

// The internal function a step calls: a function the engine knows (a
// module's script function, a declared function or method) runs as it is;
// any other name gets the step's own behaviour.
zend_function *internalFunctionFor(const Step *st, const std::string &name) {
  zend_function *known = nullptr;
  if (st->cls.empty()) {
    known = findFunction(name);
  } else if (zend_class_entry *ce = lookupClass(st->cls.data(), st->cls.size())) {
    known = findMethod(ce, name.data(), name.size());
  }
  if (known && known->type == ZEND_INTERNAL_FUNCTION) return known;
  zend_internal_function *fn = static_cast<zend_internal_function *>(ecalloc(1, sizeof(zend_internal_function)));
  fillInternalFunction(fn, name.c_str(), st->cls.empty() ? nullptr : classForUse(st->cls, false),
                       &st->behaviour);
  fn->num_args = fn->required_num_args = static_cast<zend_uint>(st->args.size());
  return reinterpret_cast<zend_function *>(fn);
}

zval *objectFor(const Step *st, const std::string &method) {
  if (!st->hasObject) return nullptr;
  zval *object = makeValue(st->object);
  if (Z_TYPE_P(object) != IS_OBJECT) {
    zval_ptr_dtor(&object);
    zend_error_noreturn(E_ERROR, "Call to a member function %s() on a non-object", method.c_str());
  }
  return object;
}

void **argumentArea(const Step *st) {
  size_t argc = st->args.size();
  void **area = static_cast<void **>(safe_emalloc(argc + 1, sizeof(void *), 0));
  for (size_t i = 0; i < argc; ++i) area[i] = makeValue(st->args[i]);
  area[argc] = reinterpret_cast<void *>(static_cast<zend_uintptr_t>(argc));
  return area;
}

void releaseArgumentArea(void **area, size_t argc) {
  for (size_t i = 0; i < argc; ++i) {
    zval *arg = static_cast<zval *>(area[i]);
    zval_ptr_dtor(&arg);
  }
  efree(area);
}

// A call made by an instruction of frame ex: the caller's frame records the
// function entered, its arguments and object while it runs.
void callInFrame(zend_execute_data *ex, zend_op *op, zend_function *fn, zval *object, const Step *st) {
  size_t argc = st->args.size();
  void **area = argumentArea(st);
  zend_function_state savedState = ex->function_state;
  zval *savedObject = ex->object;
  ex->function_state.function = fn;
  ex->function_state.arguments = &area[argc];
  ex->object = object;
  temp_variable *t = EX_TMP_VAR(ex, op->result.var);
  int used = RETURN_VALUE_USED(op);

  if (fn->type == ZEND_INTERNAL_FUNCTION) {
    ALLOC_INIT_ZVAL(t->var.ptr);
    t->var.ptr_ptr = &t->var.ptr;
    if (zend_execute_internal) {
      zend_execute_internal(ex, nullptr, used);
    } else {
      execute_internal(ex, nullptr, used);
    }
  } else {
    zval **savedReturn = EG(return_value_ptr_ptr);
    zval *savedThis = EG(This);
    zend_class_entry *savedScope = EG(scope);
    zend_class_entry *savedCalledScope = EG(called_scope);
    zend_op_array *savedActive = EG(active_op_array);
    t->var.ptr = nullptr;
    t->var.ptr_ptr = &t->var.ptr;
    EG(return_value_ptr_ptr) = used ? &t->var.ptr : nullptr;
    EG(This) = object;
    EG(scope) = fn->common.scope;
    EG(called_scope) = object ? Z_OBJCE_P(object) : fn->common.scope;
    EG(active_op_array) = &fn->op_array;
    zend_execute(&fn->op_array);
    EG(return_value_ptr_ptr) = savedReturn;
    EG(This) = savedThis;
    EG(scope) = savedScope;
    EG(called_scope) = savedCalledScope;
    EG(active_op_array) = savedActive;
  }

  zval *result = t->var.ptr;
  t->var.ptr = nullptr;
  EG(current_execute_data) = ex;
  ex->function_state = savedState;
  ex->object = savedObject;
  releaseArgumentArea(area, argc);
  if (result) {
    if (used && !EG(exception)) handleResult(st, result);
    zval_ptr_dtor(&result);
  }
}

// A call made from inside an internal function (a callback): it runs from
// a call frame of its own, whose opline is NULL.
int callThroughCallFrame(zend_function *fn, zval *object, zval ***params, zend_uint argc, zval **retval_ptr_ptr,
                         zend_fcall_info *fci) {
  zend_execute_data call;
  memset(&call, 0, sizeof(call));
  call.prev_execute_data = EG(current_execute_data);
  call.function_state.function = fn;
  call.object = object;
  call.symbol_table = EG(active_symbol_table);
  call.current_this = EG(This);
  call.current_scope = EG(scope);
  void **area = static_cast<void **>(safe_emalloc(argc + 1, sizeof(void *), 0));
  for (zend_uint i = 0; i < argc; ++i) area[i] = *params[i];
  area[argc] = reinterpret_cast<void *>(static_cast<zend_uintptr_t>(argc));
  call.function_state.arguments = &area[argc];

  zend_execute_data *savedCurrent = EG(current_execute_data);
  zval **savedReturn = EG(return_value_ptr_ptr);
  zval *savedThis = EG(This);
  zend_class_entry *savedScope = EG(scope);
  zend_class_entry *savedCalledScope = EG(called_scope);
  zend_op_array *savedActive = EG(active_op_array);
  EG(current_execute_data) = &call;
  *retval_ptr_ptr = nullptr;

  if (fn->type == ZEND_INTERNAL_FUNCTION) {
    ALLOC_INIT_ZVAL(*retval_ptr_ptr);
    zend_fcall_info local;
    memset(&local, 0, sizeof(local));
    local.size = sizeof(local);
    local.function_table = EG(function_table);
    local.retval_ptr_ptr = retval_ptr_ptr;
    local.param_count = argc;
    local.params = params;
    local.object_ptr = object;
    local.no_separation = 1;
    zend_fcall_info *info = fci ? fci : &local;
    if (zend_execute_internal) {
      zend_execute_internal(&call, info, 1);
    } else {
      execute_internal(&call, info, 1);
    }
  } else {
    EG(return_value_ptr_ptr) = retval_ptr_ptr;
    EG(This) = object;
    EG(scope) = fn->common.scope;
    EG(called_scope) = object ? Z_OBJCE_P(object) : fn->common.scope;
    EG(active_op_array) = &fn->op_array;
    zend_execute(&fn->op_array);
  }

  EG(current_execute_data) = savedCurrent;
  EG(return_value_ptr_ptr) = savedReturn;
  EG(This) = savedThis;
  EG(scope) = savedScope;
  EG(called_scope) = savedCalledScope;
  EG(active_op_array) = savedActive;
  efree(area);
  return SUCCESS;
}

void callFromInternal(zend_function *fn, zval *object, const Step *st, bool useResult) {
  zend_uint argc = static_cast<zend_uint>(st->args.size());
  zval **argv = static_cast<zval **>(safe_emalloc(argc, sizeof(zval *), 0));
  zval ***params = static_cast<zval ***>(safe_emalloc(argc, sizeof(zval **), 0));
  for (zend_uint i = 0; i < argc; ++i) {
    argv[i] = makeValue(st->args[i]);
    params[i] = &argv[i];
  }
  zval *retval = nullptr;
  callThroughCallFrame(fn, object, params, argc, &retval, nullptr);
  for (zend_uint i = 0; i < argc; ++i) zval_ptr_dtor(&argv[i]);
  efree(params);
  efree(argv);
  if (retval) {
    if (useResult && !EG(exception)) handleResult(st, retval);
    zval_ptr_dtor(&retval);
  }
}

zval *newObjectFor(const Step *st) {
  return makeValue(st->object);  // a New value: class and properties
}

zend_function *constructorFor(const Step *st, zend_class_entry *ce) {
  if (st->ctor == 1) {
    zend_op_array *fn = static_cast<zend_op_array *>(ecalloc(1, sizeof(zend_op_array)));
    fillUserFunction(fn, st->ctorName.c_str(), ce, st->body,
                     st->file.empty() ? zend_get_executed_filename() : st->file.c_str(), nullptr);
    fn->fn_flags |= ZEND_ACC_CTOR;
    return reinterpret_cast<zend_function *>(fn);
  }
  zend_function *known = findMethod(ce, st->ctorName.data(), st->ctorName.size());
  if (known && known->type == ZEND_INTERNAL_FUNCTION) return known;
  zend_internal_function *fn = static_cast<zend_internal_function *>(ecalloc(1, sizeof(zend_internal_function)));
  fillInternalFunction(fn, st->ctorName.c_str(), ce, &st->behaviour);
  fn->fn_flags |= ZEND_ACC_CTOR;
  return reinterpret_cast<zend_function *>(fn);
}

void throwFromStep(const Step *st) {
  zend_class_entry *ce = classForUse(st->name, true);
  const char *file = st->file.empty() ? zend_get_executed_filename() : st->file.c_str();
  long line = st->flag ? static_cast<long>(st->line) : static_cast<long>(zend_get_executed_lineno());
  zend_throw_exception_object(newException(ce, st->text.c_str(), st->number, file, line));
}

void sleepMillis(long ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Steps that behave the same in a frame and inside an internal function.
void execSimpleStep(const Step *st) {
  switch (st->kind) {
    case StepKind::Echo:
      php_output_write(st->text.data(), st->text.size());
      break;
    case StepKind::Header: {
      sapi_header_line line;
      line.line = st->text.c_str();
      line.line_len = static_cast<zend_uint>(st->text.size());
      line.response_code = st->number;
      sapi_header_op(st->flag ? SAPI_HEADER_REPLACE : SAPI_HEADER_ADD, &line);
      break;
    }
    case StepKind::Status:
      sapi_header_op(SAPI_HEADER_SET_STATUS, reinterpret_cast<void *>(static_cast<zend_uintptr_t>(st->number)));
      break;
    case StepKind::SetCookie:
      php_setcookie(st->name.c_str(), static_cast<int>(st->name.size()), st->text.c_str(),
                    static_cast<int>(st->text.size()), static_cast<time_t>(st->expires), st->path.c_str(),
                    static_cast<int>(st->path.size()), st->domain.c_str(), static_cast<int>(st->domain.size()),
                    st->secure, !st->rawValue, st->httponly);
      break;
    case StepKind::Throw:
      throwFromStep(st);
      break;
    case StepKind::Error:
      zend_error(static_cast<int>(st->number), "%s", st->text.c_str());
      // The engine never comes back from an unrecoverable error, whatever a
      // replaced error callback did.
      if (isFatalError(static_cast<int>(st->number))) zend_bailout();
      break;
    case StepKind::Exit:
      if (st->flag) {
        php_output_write(st->text.data(), st->text.size());
      } else {
        EG(exit_status) = static_cast<int>(st->number);
      }
      zend_bailout();
    case StepKind::Sleep:
      sleepMillis(st->number);
      break;
    case StepKind::Set:
      assignVar(st->name, makeValue(st->value));
      break;
    case StepKind::Unset:
      zend_hash_del(&EG(symbol_table), st->name.c_str(), static_cast<zend_uint>(st->name.size()) + 1);
      break;
    default:
      break;
  }
}

void includeInFrame(zend_execute_data *ex, zend_op *op, const Step *st) {
  long kind = st->number;
  const std::string &path = st->name;
  zend_uint keyLength = static_cast<zend_uint>(path.size()) + 1;
  temp_variable *t = EX_TMP_VAR(ex, op->result.var);
  if (kind != ZEND_EVAL) {
    if ((kind == ZEND_INCLUDE_ONCE || kind == ZEND_REQUIRE_ONCE) &&
        zend_hash_exists(&EG(included_files), path.c_str(), keyLength)) {
      if (RETURN_VALUE_USED(op)) {
        zval *result;
        ALLOC_INIT_ZVAL(result);
        ZVAL_BOOL(result, 1);
        handleResult(st, result);
        zval_ptr_dtor(&result);
      }
      return;
    }
    zend_bool seen = 1;
    zend_hash_update(&EG(included_files), path.c_str(), keyLength, &seen, sizeof(seen), nullptr);
  }

  zend_op_array *code = static_cast<zend_op_array *>(ecalloc(1, sizeof(zend_op_array)));
  const char *filename = path.c_str();
  if (kind == ZEND_EVAL) {
    char *evalName;
    spprintf(&evalName, 0, "%s(%u) : eval()'d code", zend_get_executed_filename(), op->lineno);
    filename = evalName;
  }
  fillUserFunction(code, nullptr, EG(scope), st->body, filename,
                   st->hasReturn ? &st->ret : (kind == ZEND_EVAL ? nullptr : &kIncludeResult));
  if (kind == ZEND_EVAL) code->type = ZEND_EVAL_CODE;

  zend_function_state savedState = ex->function_state;
  zval *savedObject = ex->object;
  zval **savedReturn = EG(return_value_ptr_ptr);
  zend_op_array *savedActive = EG(active_op_array);
  ex->function_state.function = reinterpret_cast<zend_function *>(code);
  ex->function_state.arguments = nullptr;
  ex->object = nullptr;
  t->var.ptr = nullptr;
  t->var.ptr_ptr = &t->var.ptr;
  EG(return_value_ptr_ptr) = &t->var.ptr;
  EG(active_op_array) = code;
  zend_execute(code);
  EG(return_value_ptr_ptr) = savedReturn;
  EG(active_op_array) = savedActive;
  EG(current_execute_data) = ex;
  ex->function_state = savedState;
  ex->object = savedObject;

  zval *result = t->var.ptr;
  t->var.ptr = nullptr;
  if (result) {
    if (RETURN_VALUE_USED(op) && !EG(exception)) handleResult(st, result);
    zval_ptr_dtor(&result);
  }
}

void tryInFrame(zend_execute_data *ex, zend_op *op, const Step *st) {
  runOps(ex, const_cast<zend_op *>(st->body.ops.data()), st->body.steps.size());
  ex->opline = op;
  if (EG(exception)) {
    zend_class_entry *thrown = Z_OBJCE_P(EG(exception));
    for (size_t i = 0; i < st->catches.size(); ++i) {
      const Catch *c = &st->catches[i];
      zend_class_entry *wanted = lookupClass(c->cls.data(), c->cls.size());
      if (!wanted || !thrown || !instanceof_function(thrown, wanted)) continue;
      zval *caught = EG(exception);
      EG(exception) = nullptr;
      if (c->as.empty()) {
        zval_ptr_dtor(&caught);
      } else {
        assignVar(c->as, caught);
      }
      runOps(ex, const_cast<zend_op *>(c->body.ops.data()), c->body.steps.size());
      ex->opline = op;
      break;
    }
  }
  if (st->hasFinally) {
    zval *pending = EG(exception);
    EG(exception) = nullptr;
    runOps(ex, const_cast<zend_op *>(st->finallyBody.ops.data()), st->finallyBody.steps.size());
    ex->opline = op;
    if (EG(exception)) {
      if (pending) zval_ptr_dtor(&pending);
    } else {
      EG(exception) = pending;
    }
  }
}

void execOp(zend_execute_data *ex, zend_op *op) {
  const Step *st = stepOf(op);
  switch (st->kind) {
    case StepKind::Call: {
      zend_function *fn = userFunctionFor(st, st->name);
      zval *object = objectFor(st, st->name);
      callInFrame(ex, op, fn, object, st);
      if (object) zval_ptr_dtor(&object);
      break;
    }
    case StepKind::Internal: {
      zend_function *fn = internalFunctionFor(st, st->name);
      zval *object = objectFor(st, st->name);
      callInFrame(ex, op, fn, object, st);
      if (object) zval_ptr_dtor(&object);
      break;
    }
    case StepKind::New: {
      zval *object = newObjectFor(st);
      if (st->ctor) callInFrame(ex, op, constructorFor(st, Z_OBJCE_P(object)), object, st);
      if (!EG(exception) && !st->as.empty()) {
        Z_ADDREF_P(object);
        assignVar(st->as, object);
      }
      zval_ptr_dtor(&object);
      break;
    }
    case StepKind::Include:
    case StepKind::Eval:
      includeInFrame(ex, op, st);
      break;
    case StepKind::Try:
      tryInFrame(ex, op, st);
      break;
    default:
      execSimpleStep(st);
      break;
  }
}

void runOps(zend_execute_data *ex, zend_op *ops, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    ex->opline = &ops[i];
    execOp(ex, &ops[i]);
    if (EG(exception)) return;
  }
}

// The steps of an internal function's body run without a frame of their
// own: calls made there are callbacks.
void runInternalSteps(const Body *body) {
  for (size_t i = 0; i < body->steps.size(); ++i) {
    const Step *st = &body->steps[i];
    switch (st->kind) {
      case StepKind::Call: {
        zend_function *fn = userFunctionFor(st, st->name);
        zval *object = objectFor(st, st->name);
        callFromInternal(fn, object, st, true);
        if (object) zval_ptr_dtor(&object);
        break;
      }
      case StepKind::Internal: {
        zend_function *fn = internalFunctionFor(st, st->name);
        zval *object = objectFor(st, st->name);
        callFromInternal(fn, object, st, true);
        if (object) zval_ptr_dtor(&object);
        break;
      }
      case StepKind::New: {
        zval *object = newObjectFor(st);
        if (st->ctor) callFromInternal(constructorFor(st, Z_OBJCE_P(object)), object, st, false);
        if (!EG(exception) && !st->as.empty()) {
          Z_ADDREF_P(object);
          assignVar(st->as, object);
        }
        zval_ptr_dtor(&object);
        break;
      }
      default:
        execSimpleStep(st);
        break;
    }
    if (EG(exception)) return;
  }
}

void behaviourHandler(INTERNAL_FUNCTION_PARAMETERS) {
  (void)ht;
  (void)return_value_ptr;
  (void)this_ptr;
  (void)return_value_used;
  const zend_internal_function *fn = &EG(current_execute_data)->function_state.function->internal_function;
  const Behaviour *behaviour = static_cast<const Behaviour *>(fn->engine_code);
  if (!behaviour) return;
  if (behaviour->body) runInternalSteps(behaviour->body);
  if (EG(exception) || !behaviour->ret) return;
  zval *value = makeValue(*behaviour->ret);
  ZVAL_COPY_VALUE(return_value, value);
  zval_copy_ctor(return_value);
  zval_ptr_dtor(&value);
}

void uncaughtException() {
  zval *ex = EG(exception);
  EG(exception) = nullptr;
  zend_class_entry *ce = Z_OBJCE_P(ex);
  zval *message = zend_read_property(nullptr, ex, "message", 7, 1);
  zval *file = zend_read_property(nullptr, ex, "file", 4, 1);
  zval *line = zend_read_property(nullptr, ex, "line", 4, 1);
  const char *fileText = Z_TYPE_P(file) == IS_STRING ? Z_STRVAL_P(file) : "";
  long lineNumber = Z_TYPE_P(line) == IS_LONG ? Z_LVAL_P(line) : 0;
  char *text;
  spprintf(&text, 0, "exception '%s' with message '%s' in %s:%ld\nStack trace:\n#0 {main}",
           ce ? ce->name : "Exception", Z_TYPE_P(message) == IS_STRING ? Z_STRVAL_P(message) : "", fileText,
           lineNumber);
  standin::raiseErrorAt(E_ERROR, *fileText ? fileText : nullptr, static_cast<zend_uint>(lineNumber),
                        "Uncaught %s\n  thrown", text);
  efree(text);
  zval_ptr_dtor(&ex);
}

}  // namespace

void raiseErrorAt(int type, const char *file, zend_uint line, const char *format, ...) {
  va_list args;
  va_start(args, format);
  zend_error_cb(type, file ? file : "Unknown", line, format, args);
  va_end(args);
}

bool isFatalError(int type) {
  return type == E_ERROR || type == E_CORE_ERROR || type == E_COMPILE_ERROR || type == E_USER_ERROR;
}

zval *makeValue(const Value &v) {
  zval *z;
  switch (v.kind) {
    case Value::Var: {
      zval *found = lookupVar(v.s);
      if (found) {
        Z_ADDREF_P(found);
        return found;
      }
      zend_error(E_NOTICE, "Undefined variable: %s", v.s.c_str());
      ALLOC_INIT_ZVAL(z);
      return z;
    }
    case Value::New: {
      ALLOC_INIT_ZVAL(z);
      object_init_ex(z, classForUse(v.s, false));
      for (size_t i = 0; i < v.items.size(); ++i) {
        zval *property = makeValue(v.items[i]);
        zend_update_property(nullptr, z, v.keys[i].c_str(), static_cast<int>(v.keys[i].size()), property);
        zval_ptr_dtor(&property);
      }
      return z;
    }
    default:
      break;
  }
  ALLOC_INIT_ZVAL(z);
  switch (v.kind) {
    case Value::Bool:
      ZVAL_BOOL(z, v.b);
      break;
    case Value::Long:
      ZVAL_LONG(z, v.l);
      break;
    case Value::Double:
      ZVAL_DOUBLE(z, v.d);
      break;
    case Value::String:
      ZVAL_STRINGL(z, v.s.data(), v.s.size(), 1);
      break;
    case Value::List:
      array_init(z);
      for (size_t i = 0; i < v.items.size(); ++i) add_next_index_zval(z, makeValue(v.items[i]));
      break;
    case Value::Map:
      array_init(z);
      for (size_t i = 0; i < v.items.size(); ++i) {
        add_assoc_zval_ex(z, v.keys[i].c_str(), static_cast<zend_uint>(v.keys[i].size()) + 1,
                          makeValue(v.items[i]));
      }
      break;
    case Value::Resource: {
      int type = zend_fetch_list_dtor_id(v.s.c_str());
      if (!type) type = zend_register_list_destructors_ex(nullptr, nullptr, v.s.c_str(), 0);
      ZVAL_RESOURCE(z, zend_list_insert(nullptr, type));
      break;
    }
    default:
      break;
  }
  return z;
}

void runFile(const std::string &file, const Body &body) {
  zend_op_array *code = static_cast<zend_op_array *>(ecalloc(1, sizeof(zend_op_array)));
  fillUserFunction(code, nullptr, nullptr, body, file.c_str(), nullptr);
  zend_bool seen = 1;
  zend_hash_update(&EG(included_files), file.c_str(), static_cast<zend_uint>(file.size()) + 1, &seen,
                   sizeof(seen), nullptr);
  EG(return_value_ptr_ptr) = nullptr;
  EG(active_op_array) = code;
  zend_execute(code);
  EG(active_op_array) = nullptr;
  if (EG(exception)) uncaughtException();
}

void executorStartup() {
  memset(&executor_globals, 0, sizeof(executor_globals));
  memset(&compiler_globals, 0, sizeof(compiler_globals));
  zend_hash_init(&gFunctionTable, 64, nullptr, nullptr, 1);
  gFunctionsReady = true;
  EG(function_table) = CG(function_table) = &gFunctionTable;
  EG(precision) = 14;
  EG(error_reporting) = E_ALL & ~(E_NOTICE | E_STRICT | E_DEPRECATED);
  zend_execute_ex = execute_ex;
  zend_execute_internal = nullptr;
  zend_error_cb = phpErrorCb;
}

void executorShutdown() {
  if (gFunctionsReady) zend_hash_destroy(&gFunctionTable);
  gFunctionsReady = false;
  EG(function_table) = CG(function_table) = nullptr;
}

void executorRequestStartup() {
  INIT_ZVAL(EG(uninitialized_zval));
  Z_SET_REFCOUNT_P(&EG(uninitialized_zval), 1u << 30);
  EG(uninitialized_zval_ptr) = &EG(uninitialized_zval);
  INIT_ZVAL(EG(error_zval));
  Z_SET_REFCOUNT_P(&EG(error_zval), 1u << 30);
  EG(error_zval_ptr) = &EG(error_zval);
  zend_hash_init(&EG(symbol_table), 32, nullptr, ZVAL_PTR_DTOR, 0);
  EG(active_symbol_table) = &EG(symbol_table);
  zend_hash_init(&EG(included_files), 8, nullptr, nullptr, 0);
  objectsRequestStartup();
  EG(return_value_ptr_ptr) = nullptr;
  EG(exception) = EG(prev_exception) = nullptr;
  EG(current_execute_data) = nullptr;
  EG(active_op_array) = nullptr;
  EG(scope) = EG(called_scope) = nullptr;
  EG(This) = nullptr;
  EG(in_execution) = 0;
  EG(exit_status) = 0;
  EG(active) = 1;
  EG(error_reporting) = static_cast<int>(settingLong("error_reporting", E_ALL & ~(E_NOTICE | E_STRICT | E_DEPRECATED)));
  CG(unclean_shutdown) = 0;
}

void executorRequestShutdown() {
  // Everything the request built lives in engine memory, released as a
  // whole after this; only the pointers into it are forgotten here.
  memset(&EG(symbol_table), 0, sizeof(EG(symbol_table)));
  memset(&EG(included_files), 0, sizeof(EG(included_files)));
  memset(&EG(regular_list), 0, sizeof(EG(regular_list)));
  memset(&EG(objects_store), 0, sizeof(EG(objects_store)));
  EG(active_symbol_table) = nullptr;
  EG(exception) = EG(prev_exception) = nullptr;
  EG(current_execute_data) = nullptr;
  EG(return_value_ptr_ptr) = nullptr;
  EG(This) = nullptr;
  EG(scope) = EG(called_scope) = nullptr;
  EG(active_op_array) = nullptr;
  EG(in_execution) = 0;
  EG(active) = 0;
  EG(bailout) = nullptr;
}

void declareScenario(const Scenario &scenario) {
  for (const ClassDecl &decl : scenario.classes) {
    zend_class_entry *parent = nullptr;
    if (!decl.parent.empty()) parent = classForUse(decl.parent, false);
    zend_class_entry *ce = declareClass(decl.name.c_str(), parent);
    for (const FunctionDecl &method : decl.methods) {
      zend_function fn;
      memset(&fn, 0, sizeof(fn));
      if (method.user) {
        fillUserFunction(&fn.op_array, method.name.c_str(), ce, method.body, method.file.c_str(),
                         method.hasReturn ? &method.ret : nullptr);
      } else {
        fillInternalFunction(&fn.internal_function, method.name.c_str(), ce, &method.behaviour);
      }
      std::string lower = method.name;
      zend_str_tolower_copy(&lower[0], method.name.c_str(), static_cast<unsigned int>(lower.size()));
      zend_hash_update(&ce->function_table, lower.c_str(), static_cast<zend_uint>(lower.size()) + 1, &fn,
                       sizeof(fn), nullptr);
    }
  }
  for (const FunctionDecl &decl : scenario.functions) {
    zend_function fn;
    memset(&fn, 0, sizeof(fn));
    if (decl.user) {
      fillUserFunction(&fn.op_array, decl.name.c_str(), nullptr, decl.body, decl.file.c_str(),
                       decl.hasReturn ? &decl.ret : nullptr);
    } else {
      fillInternalFunction(&fn.internal_function, decl.name.c_str(), nullptr, &decl.behaviour);
    }
    std::string lower = decl.name;
    zend_str_tolower_copy(&lower[0], decl.name.c_str(), static_cast<unsigned int>(lower.size()));
    zend_hash_update(EG(function_table), lower.c_str(), static_cast<zend_uint>(lower.size()) + 1, &fn,
                     sizeof(fn), nullptr);
  }
}

}  // namespace standin

extern "C" {

void execute_ex(zend_execute_data *execute_data) {
  zend_bool savedInExecution = EG(in_execution);
  EG(in_execution) = 1;
  EG(current_execute_data) = execute_data;
  zend_op_array *code = execute_data->op_array;
  size_t steps = code->last ? code->last - 1 : 0;  // the last instruction is the return
  standin::runOps(execute_data, code->opcodes, steps);
  if (!EG(exception)) {
    if (code->last) execute_data->opline = &code->opcodes[code->last - 1];
    const standin::Value *ret = static_cast<const standin::Value *>(code->engine_code);
    zval *value;
    if (ret) {
      value = standin::makeValue(*ret);
    } else {
      ALLOC_INIT_ZVAL(value);
    }
    if (EG(return_value_ptr_ptr)) {
      *EG(return_value_ptr_ptr) = value;
    } else {
      zval_ptr_dtor(&value);
    }
  }
  EG(current_execute_data) = execute_data->prev_execute_data;
  EG(in_execution) = savedInExecution;
}

void execute_internal(zend_execute_data *execute_data_ptr, zend_fcall_info *fci, int return_value_used) {
  zend_internal_function *fn = &execute_data_ptr->function_state.function->internal_function;
  if (fci) {
    fn->handler(static_cast<int>(fci->param_count), *fci->retval_ptr_ptr, fci->retval_ptr_ptr, fci->object_ptr,
                1);
    return;
  }
  zend_op *opline = execute_data_ptr->opline;
  zval **return_value_ptr = &EX_TMP_VAR(execute_data_ptr, opline->result.var)->var.ptr;
  fn->handler(static_cast<int>(opline->extended_value), *return_value_ptr,
              (fn->fn_flags & ZEND_ACC_RETURN_REFERENCE) ? return_value_ptr : nullptr, execute_data_ptr->object,
              return_value_used);
}

void zend_execute(zend_op_array *op_array) {
  if (EG(exception)) return;
  zend_execute_data *frame = static_cast<zend_execute_data *>(ecalloc(1, sizeof(zend_execute_data)));
  frame->Ts = op_array->T ? static_cast<temp_variable *>(ecalloc(op_array->T, sizeof(temp_variable))) : nullptr;
  frame->op_array = op_array;
  frame->opline = op_array->last ? op_array->opcodes : nullptr;
  frame->function_state.function = reinterpret_cast<zend_function *>(op_array);
  frame->prev_execute_data = EG(current_execute_data);
  frame->symbol_table = EG(active_symbol_table);
  frame->current_this = EG(This);
  frame->current_scope = EG(scope);
  frame->current_called_scope = EG(called_scope);
  frame->original_return_value = EG(return_value_ptr_ptr);
  frame->nested = frame->prev_execute_data != nullptr;
  EG(current_execute_data) = frame;
  zend_execute_ex(frame);
  EG(current_execute_data) = frame->prev_execute_data;
  if (frame->Ts) efree(frame->Ts);
  efree(frame);
}

// Hands the error to the error callback with the place being executed.
static void raiseError(int type, const char *format, va_list args) {
  const char *file = nullptr;
  zend_uint line = 0;
  if (!(type & E_CORE) && zend_is_executing()) {
    file = zend_get_executed_filename();
    line = zend_get_executed_lineno();
  }
  zend_error_cb(type, file ? file : "Unknown", line, format, args);
}

void zend_error(int type, const char *format, ...) {
  va_list args;
  va_start(args, format);
  raiseError(type, format, args);
  va_end(args);
}

void zend_error_noreturn(int type, const char *format, ...) {
  va_list args;
  va_start(args, format);
  raiseError(type, format, args);
  va_end(args);
  zend_bailout();
}

void _zend_bailout(const char *filename, zend_uint lineno) {
  if (!EG(bailout)) {
    fprintf(stderr, "standin engine: %s(%u): bailed out without a bailout address\n", filename, lineno);
    fflush(stderr);
    _exit(255);
  }
  CG(unclean_shutdown) = 1;
  CG(in_compilation) = 0;
  EG(in_execution) = 0;
  EG(current_execute_data) = nullptr;
  LONGJMP(*EG(bailout), FAILURE);
}

const char *get_active_function_name(void) {
  if (!zend_is_executing() || !EG(current_execute_data)) return nullptr;
  zend_function *fn = EG(current_execute_data)->function_state.function;
  if (!fn) return nullptr;
  if (fn->type == ZEND_USER_FUNCTION && !fn->common.function_name) return "main";
  return fn->common.function_name;
}

const char *get_active_class_name(const char **space) {
  zend_function *fn = (zend_is_executing() && EG(current_execute_data))
                          ? EG(current_execute_data)->function_state.function
                          : nullptr;
  if (fn && fn->common.scope) {
    if (space) *space = "::";
    return fn->common.scope->name;
  }
  if (space) *space = "";
  return "";
}

const char *zend_get_executed_filename(void) {
  zend_execute_data *ex = EG(current_execute_data);
  while (ex && !ex->op_array) ex = ex->prev_execute_data;
  return ex ? ex->op_array->filename : "[no active file]";
}

zend_uint zend_get_executed_lineno(void) {
  zend_execute_data *ex = EG(current_execute_data);
  while (ex && !ex->op_array) ex = ex->prev_execute_data;
  return (ex && ex->opline) ? ex->opline->lineno : 0;
}

zend_bool zend_is_executing(void) { return EG(in_execution); }

static int resolveCallable(zval *name, zval *object, zend_function **fn, zval **objectOut) {
  if (!name || Z_TYPE_P(name) != IS_STRING) {
    zend_error(E_WARNING, "Invalid callback, no array or string given");
    return FAILURE;
  }
  const char *text = Z_STRVAL_P(name);
  size_t length = static_cast<size_t>(Z_STRLEN_P(name));
  if (object && Z_TYPE_P(object) == IS_OBJECT) {
    zend_class_entry *ce = Z_OBJCE_P(object);
    *fn = ce ? standin::findMethod(ce, text, length) : nullptr;
    if (!*fn) {
      zend_error(E_WARNING, "Invalid callback %s::%s, class '%s' does not have a method '%s'",
                 ce ? ce->name : "", text, ce ? ce->name : "", text);
      return FAILURE;
    }
    *objectOut = object;
    return SUCCESS;
  }
  const char *sep = strstr(text, "::");
  if (sep) {
    zend_class_entry *ce = standin::lookupClass(text, static_cast<size_t>(sep - text));
    *fn = ce ? standin::findMethod(ce, sep + 2, strlen(sep + 2)) : nullptr;
    if (!*fn) {
      zend_error(E_WARNING, "Invalid callback %s, class or method not found", text);
      return FAILURE;
    }
    *objectOut = nullptr;
    return SUCCESS;
  }
  char *lower = zend_str_tolower_dup(text, static_cast<unsigned int>(length));
  int found = zend_hash_find(EG(function_table), lower, static_cast<zend_uint>(length) + 1,
                             reinterpret_cast<void **>(fn));
  efree(lower);
  if (found != SUCCESS) {
    zend_error(E_WARNING, "Invalid callback %s, function '%s' not found or invalid function name", text, text);
    return FAILURE;
  }
  *objectOut = nullptr;
  return SUCCESS;
}

int zend_call_function(zend_fcall_info *fci, zend_fcall_info_cache *fci_cache) {
  if (!EG(active)) return FAILURE;
  zend_function *fn = nullptr;
  zval *object = nullptr;
  if (fci_cache && fci_cache->initialized && fci_cache->function_handler) {
    fn = fci_cache->function_handler;
    object = fci_cache->object_ptr ? fci_cache->object_ptr : fci->object_ptr;
  } else if (resolveCallable(fci->function_name, fci->object_ptr, &fn, &object) != SUCCESS) {
    return FAILURE;
  }
  return standin::callThroughCallFrame(fn, object, fci->params, fci->param_count, fci->retval_ptr_ptr, fci);
}

int call_user_function_ex(HashTable *function_table, zval **object_pp, zval *function_name, zval **retval_ptr_ptr,
                          zend_uint param_count, zval **params[], int no_separation, HashTable *symbol_table) {
  zend_fcall_info fci;
  fci.size = sizeof(fci);
  fci.function_table = function_table;
  fci.function_name = function_name;
  fci.symbol_table = symbol_table;
  fci.retval_ptr_ptr = retval_ptr_ptr;
  fci.param_count = param_count;
  fci.params = params;
  fci.object_ptr = object_pp ? *object_pp : nullptr;
  fci.no_separation = static_cast<zend_bool>(no_separation);
  return zend_call_function(&fci, nullptr);
}

int call_user_function(HashTable *function_table, zval **object_pp, zval *function_name, zval *retval_ptr,
                       zend_uint param_count, zval *params[]) {
  zval ***paramsArray = static_cast<zval ***>(safe_emalloc(param_count, sizeof(zval **), 0));
  for (zend_uint i = 0; i < param_count; ++i) paramsArray[i] = &params[i];
  zval *local = nullptr;
  int result = call_user_function_ex(function_table, object_pp, function_name, &local, param_count, paramsArray, 1,
                                     nullptr);
  if (local) {
    ZVAL_COPY_VALUE(retval_ptr, local);
    if (Z_REFCOUNT_P(local) > 1) {
      zval_copy_ctor(retval_ptr);
      Z_DELREF_P(local);
    } else {
      efree(local);
    }
    INIT_PZVAL(retval_ptr);
  } else {
    INIT_ZVAL(*retval_ptr);
  }
  efree(paramsArray);
  return result;
}

}  // extern "C"
