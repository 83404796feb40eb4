// Extension modules, their functions and settings, and the helpers script
// functions use.
//
// A module exports get_module() returning its zend_module_entry. The host
// refuses a module whose engine API number is not ZEND_MODULE_API_NO or
// whose build id is not ZEND_MODULE_BUILD_ID. It then registers the
// module's script functions and calls module start once in the loading
// process, request start and request end around every request, and module
// shutdown in each process that the server shuts down cleanly.
//
// Settings: a module registers its entries (REGISTER_INI_ENTRIES() in module
// start); an entry takes the value the host's ini file gives for its name,
// or its default. zend_ini_string_ex() and friends take the name's length
// COUNTING the NUL (sizeof("name")).
#ifndef STANDIN_PHP_ENGINE_MODULE_H
#define STANDIN_PHP_ENGINE_MODULE_H

#include "php_engine_execute.h"

#define ZEND_MODULE_API_NO 20131226
#define ZEND_DEBUG 0
#define USING_ZTS 0
#define ZEND_MODULE_BUILD_ID "API20131226,NTS"
#define PHP_VERSION "5.6.40"
#define PHP_MAJOR_VERSION 5
#define PHP_MINOR_VERSION 6
#define PHP_RELEASE_VERSION 40

#define MODULE_PERSISTENT 1
#define MODULE_TEMPORARY 2

#define INIT_FUNC_ARGS int type, int module_number
#define INIT_FUNC_ARGS_PASSTHRU type, module_number
#define SHUTDOWN_FUNC_ARGS int type, int module_number
#define SHUTDOWN_FUNC_ARGS_PASSTHRU type, module_number
#define ZEND_MODULE_INFO_FUNC_ARGS struct _zend_module_entry *zend_module

typedef struct _zend_ini_entry zend_ini_entry;

typedef struct _zend_function_entry {
  const char *fname;
  void (*handler)(INTERNAL_FUNCTION_PARAMETERS);
  const zend_arg_info *arg_info;
  zend_uint num_args;
  zend_uint flags;
} zend_function_entry;

typedef struct _zend_module_dep {
  const char *name;
  const char *rel;
  const char *version;
  unsigned char type;
} zend_module_dep;

typedef struct _zend_module_entry {
  unsigned short size;
  unsigned int zend_api;
  unsigned char zend_debug;
  unsigned char zts;
  const struct _zend_ini_entry *ini_entry;
  const struct _zend_module_dep *deps;
  const char *name;
  const struct _zend_function_entry *functions;
  int (*module_startup_func)(INIT_FUNC_ARGS);
  int (*module_shutdown_func)(SHUTDOWN_FUNC_ARGS);
  int (*request_startup_func)(INIT_FUNC_ARGS);
  int (*request_shutdown_func)(SHUTDOWN_FUNC_ARGS);
  void (*info_func)(ZEND_MODULE_INFO_FUNC_ARGS);
  const char *version;
  size_t globals_size;
  void *globals_ptr;
  void (*globals_ctor)(void *global);
  void (*globals_dtor)(void *global);
  int (*post_deactivate_func)(void);
  int module_started;
  unsigned char type;
  void *handle;
  int module_number;
  const char *build_id;
} zend_module_entry;

#define STANDARD_MODULE_HEADER_EX sizeof(zend_module_entry), ZEND_MODULE_API_NO, ZEND_DEBUG, USING_ZTS
#define STANDARD_MODULE_HEADER STANDARD_MODULE_HEADER_EX, NULL, NULL
#define NO_MODULE_GLOBALS 0, NULL, NULL, NULL
#define STANDARD_MODULE_PROPERTIES_EX 0, 0, NULL, 0, ZEND_MODULE_BUILD_ID
#define STANDARD_MODULE_PROPERTIES NO_MODULE_GLOBALS, NULL, STANDARD_MODULE_PROPERTIES_EX

// Callback names: zm_startup_<module>, zm_shutdown_<module>,
// zm_activate_<module> (request start), zm_deactivate_<module> (request
// end), zm_info_<module>; script functions are zif_<name>.
#define ZEND_MODULE_STARTUP_N(module) zm_startup_##module
#define ZEND_MODULE_SHUTDOWN_N(module) zm_shutdown_##module
#define ZEND_MODULE_ACTIVATE_N(module) zm_activate_##module
#define ZEND_MODULE_DEACTIVATE_N(module) zm_deactivate_##module
#define ZEND_MODULE_POST_ZEND_DEACTIVATE_N(module) zm_post_zend_deactivate_##module
#define ZEND_MODULE_INFO_N(module) zm_info_##module
#define ZEND_MODULE_STARTUP_D(module) int ZEND_MODULE_STARTUP_N(module)(INIT_FUNC_ARGS)
#define ZEND_MODULE_SHUTDOWN_D(module) int ZEND_MODULE_SHUTDOWN_N(module)(SHUTDOWN_FUNC_ARGS)
#define ZEND_MODULE_ACTIVATE_D(module) int ZEND_MODULE_ACTIVATE_N(module)(INIT_FUNC_ARGS)
#define ZEND_MODULE_DEACTIVATE_D(module) int ZEND_MODULE_DEACTIVATE_N(module)(SHUTDOWN_FUNC_ARGS)
#define ZEND_MODULE_POST_ZEND_DEACTIVATE_D(module) int ZEND_MODULE_POST_ZEND_DEACTIVATE_N(module)(void)
#define ZEND_MODULE_INFO_D(module) void ZEND_MODULE_INFO_N(module)(ZEND_MODULE_INFO_FUNC_ARGS)

#define PHP_MINIT(module) ZEND_MODULE_STARTUP_N(module)
#define PHP_MSHUTDOWN(module) ZEND_MODULE_SHUTDOWN_N(module)
#define PHP_RINIT(module) ZEND_MODULE_ACTIVATE_N(module)
#define PHP_RSHUTDOWN(module) ZEND_MODULE_DEACTIVATE_N(module)
#define PHP_MINFO(module) ZEND_MODULE_INFO_N(module)
#define PHP_MINIT_FUNCTION ZEND_MODULE_STARTUP_D
#define PHP_MSHUTDOWN_FUNCTION ZEND_MODULE_SHUTDOWN_D
#define PHP_RINIT_FUNCTION ZEND_MODULE_ACTIVATE_D
#define PHP_RSHUTDOWN_FUNCTION ZEND_MODULE_DEACTIVATE_D
#define PHP_MINFO_FUNCTION ZEND_MODULE_INFO_D

#define ZEND_FN(name) zif_##name
#define ZEND_NAMED_FUNCTION(name) void name(INTERNAL_FUNCTION_PARAMETERS)
#define ZEND_FUNCTION(name) ZEND_NAMED_FUNCTION(ZEND_FN(name))
#define PHP_FN ZEND_FN
#define PHP_FUNCTION ZEND_FUNCTION
#define PHP_NAMED_FUNCTION ZEND_NAMED_FUNCTION

#define ZEND_FENTRY(zend_name, name, arg_info, flags) {#zend_name, name, arg_info, 0, flags},
#define ZEND_FE(name, arg_info) ZEND_FENTRY(name, ZEND_FN(name), arg_info, 0)
#define ZEND_NAMED_FE(zend_name, name, arg_info) ZEND_FENTRY(zend_name, name, arg_info, 0)
#define ZEND_FE_END {NULL, NULL, NULL, 0, 0}
#define PHP_FE ZEND_FE
#define PHP_NAMED_FE ZEND_NAMED_FE
#define PHP_FE_END ZEND_FE_END

#define ZEND_GET_MODULE(name) \
  BEGIN_EXTERN_C()            \
  ZEND_DLEXPORT zend_module_entry *get_module(void) { return &name##_module_entry; } \
  END_EXTERN_C()

// Settings.
#define ZEND_INI_USER (1 << 0)
#define ZEND_INI_PERDIR (1 << 1)
#define ZEND_INI_SYSTEM (1 << 2)
#define ZEND_INI_ALL (ZEND_INI_USER | ZEND_INI_PERDIR | ZEND_INI_SYSTEM)
#define PHP_INI_USER ZEND_INI_USER
#define PHP_INI_PERDIR ZEND_INI_PERDIR
#define PHP_INI_SYSTEM ZEND_INI_SYSTEM
#define PHP_INI_ALL ZEND_INI_ALL

#define ZEND_INI_STAGE_STARTUP (1 << 0)
#define ZEND_INI_STAGE_SHUTDOWN (1 << 1)
#define ZEND_INI_STAGE_ACTIVATE (1 << 2)
#define ZEND_INI_STAGE_DEACTIVATE (1 << 3)
#define ZEND_INI_STAGE_RUNTIME (1 << 4)

#define ZEND_INI_MH(name)                                                                \
  int name(zend_ini_entry *entry, char *new_value, zend_uint new_value_length, void *mh_arg1, \
           void *mh_arg2, void *mh_arg3, int stage)
#define ZEND_INI_DISP(name) void name(zend_ini_entry *ini_entry, int type)

struct _zend_ini_entry {
  int module_number;
  int modifiable;
  const char *name;
  zend_uint name_length;  // counting the NUL
  ZEND_INI_MH((*on_modify));
  void *mh_arg1;
  void *mh_arg2;
  void *mh_arg3;
  const char *value;      // NULL when the setting has no value at all
  zend_uint value_length;
  const char *orig_value;
  zend_uint orig_value_length;
  int orig_modifiable;
  int modified;
  void (*displayer)(zend_ini_entry *ini_entry, int type);
};

#define ZEND_INI_BEGIN() static const zend_ini_entry ini_entries[] = {
#define ZEND_INI_END() {0, 0, NULL, 0, NULL, NULL, NULL, NULL, NULL, 0, NULL, 0, 0, 0, NULL}};
#define ZEND_INI_ENTRY3_EX(name, default_value, modifiable, on_modify, arg1, arg2, arg3, displayer) \
  {0, modifiable, name, sizeof(name), on_modify, arg1, arg2, arg3, default_value,                   \
   sizeof(default_value) - 1, NULL, 0, 0, 0, displayer},
#define ZEND_INI_ENTRY(name, default_value, modifiable, on_modify) \
  ZEND_INI_ENTRY3_EX(name, default_value, modifiable, on_modify, NULL, NULL, NULL, NULL)
#define PHP_INI_BEGIN ZEND_INI_BEGIN
#define PHP_INI_END ZEND_INI_END
#define PHP_INI_ENTRY ZEND_INI_ENTRY
#define PHP_INI_ENTRY3_EX ZEND_INI_ENTRY3_EX
#define PHP_INI_MH ZEND_INI_MH

#define REGISTER_INI_ENTRIES() zend_register_ini_entries(ini_entries, module_number)
#define UNREGISTER_INI_ENTRIES() zend_unregister_ini_entries(module_number)

#define INI_INT(name) zend_ini_long((name), sizeof(name), 0)
#define INI_FLT(name) zend_ini_double((name), sizeof(name), 0)
#define INI_STR(name) zend_ini_string_ex((name), sizeof(name), 0, NULL)
#define INI_BOOL(name) ((zend_bool)INI_INT(name))

// Returning values from a script function.
#define ZEND_NUM_ARGS() (ht)
#define RETVAL_NULL() ZVAL_NULL(return_value)
#define RETVAL_BOOL(b) ZVAL_BOOL(return_value, b)
#define RETVAL_TRUE ZVAL_BOOL(return_value, 1)
#define RETVAL_FALSE ZVAL_BOOL(return_value, 0)
#define RETVAL_LONG(l) ZVAL_LONG(return_value, l)
#define RETVAL_DOUBLE(d) ZVAL_DOUBLE(return_value, d)
#define RETVAL_STRING(s, duplicate) ZVAL_STRING(return_value, s, duplicate)
#define RETVAL_STRINGL(s, l, duplicate) ZVAL_STRINGL(return_value, s, l, duplicate)
#define RETVAL_EMPTY_STRING() ZVAL_EMPTY_STRING(return_value)
#define RETVAL_ZVAL(zv, copy, dtor) ZVAL_ZVAL(return_value, zv, copy, dtor)
#define RETURN_NULL() do { RETVAL_NULL(); return; } while (0)
#define RETURN_BOOL(b) do { RETVAL_BOOL(b); return; } while (0)
#define RETURN_TRUE do { RETVAL_TRUE; return; } while (0)
#define RETURN_FALSE do { RETVAL_FALSE; return; } while (0)
#define RETURN_LONG(l) do { RETVAL_LONG(l); return; } while (0)
#define RETURN_DOUBLE(d) do { RETVAL_DOUBLE(d); return; } while (0)
#define RETURN_STRING(s, duplicate) do { RETVAL_STRING(s, duplicate); return; } while (0)
#define RETURN_STRINGL(s, l, duplicate) do { RETVAL_STRINGL(s, l, duplicate); return; } while (0)
#define RETURN_EMPTY_STRING() do { RETVAL_EMPTY_STRING(); return; } while (0)
#define RETURN_ZVAL(zv, copy, dtor) do { RETVAL_ZVAL(zv, copy, dtor); return; } while (0)

BEGIN_EXTERN_C()

// Settings.
ZEND_API int zend_register_ini_entries(const zend_ini_entry *ini_entry, int module_number);
ZEND_API void zend_unregister_ini_entries(int module_number);
// The current value, or NULL when there is no entry (*exists 0) or the entry
// has no value; an empty setting gives "".
ZEND_API char *zend_ini_string_ex(const char *name, zend_uint name_length, int orig, zend_bool *exists);
// As above, but "" for an entry without value.
ZEND_API char *zend_ini_string(const char *name, zend_uint name_length, int orig);
ZEND_API long zend_ini_long(const char *name, zend_uint name_length, int orig);
ZEND_API double zend_ini_double(const char *name, zend_uint name_length, int orig);
// A value from the host's ini file, whether or not an entry is registered.
ZEND_API int cfg_get_string(const char *varname, char **result);

// Script functions.
ZEND_API int zend_register_functions(zend_class_entry *scope, const zend_function_entry *functions,
                                     HashTable *function_table, int type);
ZEND_API void zend_unregister_functions(const zend_function_entry *functions, int count,
                                        HashTable *function_table);
// Type specifiers: s (char **, int *), l (long *), d (double *), b (zend_bool *),
// z (zval **), a (zval ** of an array), o (zval ** of an object), r (zval ** of
// a resource); '|' starts the optional ones, '!' after s/a/z/o/r accepts null.
// A mismatch raises a warning and gives FAILURE.
ZEND_API int zend_parse_parameters(int num_args, const char *type_spec, ...);
ZEND_API int zend_get_parameters_array_ex(int param_count, zval ***argument_array);
ZEND_API void zend_wrong_param_count(void);

// Arrays.
ZEND_API int _array_init(zval *arg, zend_uint size);
ZEND_API int add_next_index_long(zval *arg, long n);
ZEND_API int add_next_index_null(zval *arg);
ZEND_API int add_next_index_bool(zval *arg, int b);
ZEND_API int add_next_index_double(zval *arg, double d);
ZEND_API int add_next_index_string(zval *arg, const char *str, int duplicate);
ZEND_API int add_next_index_stringl(zval *arg, const char *str, zend_uint length, int duplicate);
ZEND_API int add_next_index_zval(zval *arg, zval *value);
ZEND_API int add_index_long(zval *arg, zend_ulong idx, long n);
ZEND_API int add_index_string(zval *arg, zend_ulong idx, const char *str, int duplicate);
ZEND_API int add_index_zval(zval *arg, zend_ulong index, zval *value);
ZEND_API int add_assoc_long_ex(zval *arg, const char *key, zend_uint key_len, long n);
ZEND_API int add_assoc_null_ex(zval *arg, const char *key, zend_uint key_len);
ZEND_API int add_assoc_bool_ex(zval *arg, const char *key, zend_uint key_len, int b);
ZEND_API int add_assoc_double_ex(zval *arg, const char *key, zend_uint key_len, double d);
ZEND_API int add_assoc_string_ex(zval *arg, const char *key, zend_uint key_len, const char *str,
                                 int duplicate);
ZEND_API int add_assoc_stringl_ex(zval *arg, const char *key, zend_uint key_len, const char *str,
                                  zend_uint length, int duplicate);
ZEND_API int add_assoc_zval_ex(zval *arg, const char *key, zend_uint key_len, zval *value);

END_EXTERN_C()

#define array_init(arg) _array_init((arg), 0)
#define array_init_size(arg, size) _array_init((arg), (size))
#define add_assoc_long(arg, key, n) add_assoc_long_ex(arg, key, strlen(key) + 1, n)
#define add_assoc_null(arg, key) add_assoc_null_ex(arg, key, strlen(key) + 1)
#define add_assoc_bool(arg, key, b) add_assoc_bool_ex(arg, key, strlen(key) + 1, b)
#define add_assoc_double(arg, key, d) add_assoc_double_ex(arg, key, strlen(key) + 1, d)
#define add_assoc_string(arg, key, str, duplicate) add_assoc_string_ex(arg, key, strlen(key) + 1, str, duplicate)
#define add_assoc_stringl(arg, key, str, length, duplicate) \
  add_assoc_stringl_ex(arg, key, strlen(key) + 1, str, length, duplicate)
#define add_assoc_zval(arg, key, value) add_assoc_zval_ex(arg, key, strlen(key) + 1, value)
#define WRONG_PARAM_COUNT do { zend_wrong_param_count(); return; } while (0)

#endif
