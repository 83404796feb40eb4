// Modules and their script functions: registration, argument parsing, and
// the module lifecycle callbacks.
#include <dlfcn.h>
#include <stdio.h>
#include <strings.h>

#include <string>
#include <vector>

#include "engine_internal.h"

namespace {

struct LoadedModule {
  zend_module_entry *entry;
  void *handle;
  bool started;
};

std::vector<LoadedModule> gModules;
int gNextModuleNumber = 1;

// Runs a lifecycle callback so that a bailout inside it ends only the
// callback. Kept apart so that no caller's locals live across the jump.
int callGuarded(int (*callback)(int, int), int number) {
  volatile int result = FAILURE;
  zend_try {
    result = callback(MODULE_PERSISTENT, number);
  }
  zend_catch {
    result = FAILURE;
  }
  zend_end_try();
  return result;
}

zend_execute_data *callerFrame() { return EG(current_execute_data); }

const char *activeClassName(const char **space) { return get_active_class_name(space); }

void wrongType(int position, const char *expected, const zval *arg) {
  const char *space;
  const char *cls = activeClassName(&space);
  const char *fn = get_active_function_name();
  zend_error(E_WARNING, "%s%s%s() expects parameter %d to be %s, %s given", cls, space, fn ? fn : "", position,
             expected, zend_zval_type_name(arg));
}

// Gives the argument slot a value of its own before it is converted in place.
void separate(zval **slot) {
  zval *original = *slot;
  if (Z_REFCOUNT_P(original) <= 1) return;
  zval *copy;
  ALLOC_ZVAL(copy);
  ZVAL_COPY_VALUE(copy, original);
  zval_copy_ctor(copy);
  INIT_PZVAL(copy);
  Z_DELREF_P(original);
  *slot = copy;
}

bool scalar(const zval *arg) {
  int t = Z_TYPE_P(arg);
  return t == IS_NULL || t == IS_LONG || t == IS_DOUBLE || t == IS_BOOL || t == IS_STRING;
}

}  // namespace

extern "C" {

int zend_register_functions(zend_class_entry *scope, const zend_function_entry *functions, HashTable *function_table,
                            int type) {
  (void)type;
  HashTable *target = function_table ? function_table : (scope ? &scope->function_table : EG(function_table));
  int count = 0;
  for (const zend_function_entry *f = functions; f && f->fname; ++f, ++count) {
    zend_function fn;
    memset(&fn, 0, sizeof(fn));
    fn.internal_function.type = ZEND_INTERNAL_FUNCTION;
    fn.internal_function.function_name = f->fname;
    fn.internal_function.scope = scope;
    fn.internal_function.fn_flags = f->flags ? f->flags : ZEND_ACC_PUBLIC;
    fn.internal_function.handler = f->handler;
    fn.internal_function.module = EG(current_module);
    fn.internal_function.num_args = f->num_args;
    size_t len = strlen(f->fname);
    char *lower = static_cast<char *>(__zend_malloc(len + 1));
    zend_str_tolower_copy(lower, f->fname, static_cast<unsigned int>(len));
    int added = zend_hash_add(target, lower, static_cast<zend_uint>(len) + 1, &fn, sizeof(fn), nullptr);
    free(lower);
    if (added != SUCCESS) {
      zend_error(E_CORE_WARNING, "Function registration failed - duplicate name - %s%s%s",
                 scope ? scope->name : "", scope ? "::" : "", f->fname);
      zend_unregister_functions(functions, count, target);
      return FAILURE;
    }
  }
  return SUCCESS;
}

void zend_unregister_functions(const zend_function_entry *functions, int count, HashTable *function_table) {
  HashTable *target = function_table ? function_table : EG(function_table);
  if (!target) return;
  int i = 0;
  for (const zend_function_entry *f = functions; f && f->fname && (count < 0 || i < count); ++f, ++i) {
    size_t len = strlen(f->fname);
    char *lower = static_cast<char *>(__zend_malloc(len + 1));
    zend_str_tolower_copy(lower, f->fname, static_cast<unsigned int>(len));
    zend_hash_del(target, lower, static_cast<zend_uint>(len) + 1);
    free(lower);
  }
}

int zend_parse_parameters(int num_args, const char *type_spec, ...) {
  int min = -1;
  int max = 0;
  for (const char *p = type_spec; *p; ++p) {
    if (*p == '|') {
      min = max;
    } else if (*p != '!' && *p != '/') {
      ++max;
    }
  }
  if (min < 0) min = max;
  if (num_args < min || num_args > max) {
    const char *space;
    const char *cls = activeClassName(&space);
    const char *fn = get_active_function_name();
    zend_error(E_WARNING, "%s%s%s() expects %s %d parameter%s, %d given", cls, space, fn ? fn : "",
               min == max ? "exactly" : (num_args < min ? "at least" : "at most"), num_args < min ? min : max,
               (num_args < min ? min : max) == 1 ? "" : "s", num_args);
    return FAILURE;
  }

  zend_execute_data *ex = callerFrame();
  va_list va;
  va_start(va, type_spec);
  int position = 0;
  int result = SUCCESS;
  for (const char *p = type_spec; *p && position < num_args && result == SUCCESS; ++p) {
    char c = *p;
    if (c == '|' || c == '!' || c == '/') continue;
    bool nullable = p[1] == '!';
    zval **slot = zend_vm_stack_get_arg_ex(ex, position + 1);
    ++position;
    zval *arg = slot ? *slot : nullptr;
    if (!arg) {
      result = FAILURE;
      break;
    }
    switch (c) {
      case 's': {
        char **s = va_arg(va, char **);
        int *len = va_arg(va, int *);
        if (nullable && Z_TYPE_P(arg) == IS_NULL) {
          *s = nullptr;
          *len = 0;
        } else if (scalar(arg)) {
          if (Z_TYPE_P(arg) != IS_STRING) {
            separate(slot);
            convert_to_string(*slot);
          }
          *s = Z_STRVAL_PP(slot);
          *len = Z_STRLEN_PP(slot);
        } else {
          wrongType(position, "string", arg);
          result = FAILURE;
        }
        break;
      }
      case 'l': {
        long *l = va_arg(va, long *);
        if (!scalar(arg)) {
          wrongType(position, "long", arg);
          result = FAILURE;
        } else {
          zval tmp;
          ZVAL_COPY_VALUE(&tmp, arg);
          zval_copy_ctor(&tmp);
          convert_to_long(&tmp);
          *l = Z_LVAL(tmp);
        }
        break;
      }
      case 'd': {
        double *d = va_arg(va, double *);
        if (!scalar(arg)) {
          wrongType(position, "double", arg);
          result = FAILURE;
        } else {
          zval tmp;
          ZVAL_COPY_VALUE(&tmp, arg);
          zval_copy_ctor(&tmp);
          convert_to_double(&tmp);
          *d = Z_DVAL(tmp);
        }
        break;
      }
      case 'b': {
        zend_bool *b = va_arg(va, zend_bool *);
        if (!scalar(arg)) {
          wrongType(position, "boolean", arg);
          result = FAILURE;
        } else {
          zval tmp;
          ZVAL_COPY_VALUE(&tmp, arg);
          zval_copy_ctor(&tmp);
          convert_to_boolean(&tmp);
          *b = Z_BVAL(tmp);
        }
        break;
      }
      case 'z': {
        zval **z = va_arg(va, zval **);
        *z = (nullable && Z_TYPE_P(arg) == IS_NULL) ? nullptr : arg;
        break;
      }
      case 'a':
      case 'o':
      case 'r': {
        zval **z = va_arg(va, zval **);
        int wanted = c == 'a' ? IS_ARRAY : (c == 'o' ? IS_OBJECT : IS_RESOURCE);
        if (nullable && Z_TYPE_P(arg) == IS_NULL) {
          *z = nullptr;
        } else if (Z_TYPE_P(arg) == wanted) {
          *z = arg;
        } else {
          wrongType(position, zend_get_type_by_const(wanted), arg);
          result = FAILURE;
        }
        break;
      }
      default:
        zend_error(E_CORE_ERROR, "zend_parse_parameters: bad type specifier '%c'", c);
        result = FAILURE;
        break;
    }
  }
  va_end(va);
  return result;
}

int zend_get_parameters_array_ex(int param_count, zval ***argument_array) {
  zend_execute_data *ex = callerFrame();
  int available = zend_vm_stack_get_args_count_ex(ex);
  if (param_count > available) return FAILURE;
  for (int i = 0; i < param_count; ++i) argument_array[i] = zend_vm_stack_get_arg_ex(ex, i + 1);
  return SUCCESS;
}

void zend_wrong_param_count(void) {
  const char *space;
  const char *cls = activeClassName(&space);
  const char *fn = get_active_function_name();
  zend_error(E_WARNING, "Wrong parameter count for %s%s%s()", cls, space, fn ? fn : "");
}

}  // extern "C"

namespace standin {

bool registerModule(zend_module_entry *module, void *handle, std::string *error) {
  const char *name = module->name ? module->name : "(unnamed)";
  char buf[512];
  if (module->zend_api != ZEND_MODULE_API_NO) {
    snprintf(buf, sizeof(buf), "module %s was built with engine API %u, this engine has API %d", name,
             module->zend_api, ZEND_MODULE_API_NO);
    *error = buf;
    return false;
  }
  if (!module->build_id || strcmp(module->build_id, ZEND_MODULE_BUILD_ID) != 0) {
    snprintf(buf, sizeof(buf), "module %s was built as %s, this engine is %s", name,
             module->build_id ? module->build_id : "(no build id)", ZEND_MODULE_BUILD_ID);
    *error = buf;
    return false;
  }
  if (!module->name) {
    *error = "module has no name";
    return false;
  }
  for (const LoadedModule &m : gModules) {
    if (strcasecmp(m.entry->name, module->name) == 0) {
      *error = std::string("module ") + module->name + " is already loaded";
      return false;
    }
  }
  module->module_number = gNextModuleNumber++;
  module->type = MODULE_PERSISTENT;
  module->handle = handle;
  module->module_started = 0;
  EG(current_module) = module;
  int registered = module->functions ? zend_register_functions(nullptr, module->functions, nullptr, MODULE_PERSISTENT)
                                     : SUCCESS;
  EG(current_module) = nullptr;
  if (registered != SUCCESS) {
    *error = std::string("module ") + module->name + ": its script functions could not be registered";
    return false;
  }
  gModules.push_back(LoadedModule{module, handle, false});
  return true;
}

void modulesStartup() {
  for (LoadedModule &m : gModules) {
    if (m.started) continue;
    zend_module_entry *entry = m.entry;
    EG(current_module) = entry;
    int result = entry->module_startup_func ? callGuarded(entry->module_startup_func, entry->module_number) : SUCCESS;
    EG(current_module) = nullptr;
    if (result != SUCCESS) {
      fprintf(stderr, "standin-php: module %s: module start failed\n", entry->name);
      continue;
    }
    entry->module_started = 1;
    m.started = true;
  }
}

void modulesRequestStartup() {
  for (LoadedModule &m : gModules) {
    zend_module_entry *entry = m.entry;
    if (m.started && entry->request_startup_func) callGuarded(entry->request_startup_func, entry->module_number);
  }
}

void modulesRequestShutdown() {
  for (size_t i = gModules.size(); i-- > 0;) {
    zend_module_entry *entry = gModules[i].entry;
    if (gModules[i].started && entry->request_shutdown_func) {
      callGuarded(entry->request_shutdown_func, entry->module_number);
    }
  }
}

void modulesShutdown() {
  for (size_t i = gModules.size(); i-- > 0;) {
    LoadedModule &m = gModules[i];
    zend_module_entry *entry = m.entry;
    if (m.started && entry->module_shutdown_func) callGuarded(entry->module_shutdown_func, entry->module_number);
    m.started = false;
    entry->module_started = 0;
    zend_unregister_ini_entries(entry->module_number);
    if (entry->functions) zend_unregister_functions(entry->functions, -1, nullptr);
    if (m.handle) dlclose(m.handle);
  }
  gModules.clear();
}

}  // namespace standin
