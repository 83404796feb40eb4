// Functions, frames, the executor and errors of the stand-in engine.
//
// Frames (zend_execute_data) form a chain through prev_execute_data, from
// EG(current_execute_data) to the request's top-level frame, whose
// prev_execute_data is NULL.
//
// How a call looks from the frames:
//  - User code (a function, a method, an included file, eval'd code, the
//    main script) runs in a NEW frame that the engine hands to
//    zend_execute_ex(). While it runs, the CALLER's frame records what is
//    being entered: function_state.function is the code entered,
//    function_state.arguments its argument area, object the object a method
//    was called on (the new object for a constructor), and opline the
//    calling instruction. The new frame itself starts with object NULL and
//    no argument area; its own $this is EG(This).
//  - An internal function runs through zend_execute_internal(caller frame,
//    NULL, return_value_used) when that pointer is set, and through
//    execute_internal() otherwise. EG(current_execute_data) is the caller's
//    frame, which records the internal function, its arguments and object
//    as above. The result is the temporary named by the calling
//    instruction's result operand (operand type IS_VAR):
//    EX_TMP_VAR(frame, frame->opline->result.var)->var.ptr. The operand
//    type carries EXT_TYPE_UNUSED when the caller does not use the result.
//  - Include and eval: the caller's instruction has opcode
//    ZEND_INCLUDE_OR_EVAL (73) and an extended value ZEND_EVAL (1),
//    ZEND_INCLUDE (2), ZEND_INCLUDE_ONCE (4), ZEND_REQUIRE (8) or
//    ZEND_REQUIRE_ONCE (16); the code entered has no function name and its
//    file name is op_array.filename.
//  - A call made by call_user_function_ex()/zend_call_function() (a
//    callback) runs from a call frame of its own whose opline is NULL; its
//    prev_execute_data is the frame that was current when the call was made.
//
// The argument area is a count slot with the arguments (zval *) below it,
// first argument lowest: with p = function_state.arguments and
// n = (int)(zend_uintptr_t)*p, argument i (0-based) is ((zval **)p)[i - n].
//
// Return values of user code: while user code runs, EG(return_value_ptr_ptr)
// is where its return value goes. It is NULL when the caller does not use
// the value; a hook may point it at a slot of its own before running the
// code and then owns what it finds there.
//
// A fatal error (E_ERROR, E_CORE_ERROR, E_COMPILE_ERROR, E_USER_ERROR,
// E_RECOVERABLE_ERROR reaching the engine's own error callback) and exit()
// leave the request with zend_bailout(): a longjmp to the request's end that
// skips every frame in between, hooks included. Nothing between a hook and
// the engine must rely on running code after such a call.
#ifndef STANDIN_PHP_ENGINE_EXECUTE_H
#define STANDIN_PHP_ENGINE_EXECUTE_H

#include <setjmp.h>

#include "php_engine_objects.h"

// Operand types.
#define IS_CONST (1 << 0)
#define IS_TMP_VAR (1 << 1)
#define IS_VAR (1 << 2)
#define IS_UNUSED (1 << 3)
#define IS_CV (1 << 4)
#define EXT_TYPE_UNUSED (1 << 5)

// Opcodes the stand-in's instructions carry.
#define ZEND_NOP 0
#define ZEND_ECHO 40
#define ZEND_DO_FCALL 60
#define ZEND_DO_FCALL_BY_NAME 61
#define ZEND_RETURN 62
#define ZEND_NEW 68
#define ZEND_INCLUDE_OR_EVAL 73
#define ZEND_EXIT 79
#define ZEND_EXT_STMT 101
#define ZEND_CATCH 107
#define ZEND_THROW 108

// Extended values of ZEND_INCLUDE_OR_EVAL.
#define ZEND_EVAL (1 << 0)
#define ZEND_INCLUDE (1 << 1)
#define ZEND_INCLUDE_ONCE (1 << 2)
#define ZEND_REQUIRE (1 << 3)
#define ZEND_REQUIRE_ONCE (1 << 4)

// Function types.
#define ZEND_INTERNAL_FUNCTION 1
#define ZEND_USER_FUNCTION 2
#define ZEND_OVERLOADED_FUNCTION 3
#define ZEND_EVAL_CODE 4

#define RETURN_VALUE_USED(opline) (!((opline)->result_type & EXT_TYPE_UNUSED))

typedef struct _zend_op zend_op;
typedef struct _zend_op_array zend_op_array;
typedef union _zend_function zend_function;
typedef struct _zend_execute_data zend_execute_data;
typedef struct _zend_fcall_info zend_fcall_info;
typedef struct _zend_fcall_info_cache zend_fcall_info_cache;
struct _zend_module_entry;

typedef union _znode_op {
  zend_uint constant;
  zend_uint var;  // index of a temporary of the frame (EX_TMP_VAR)
  zend_uint num;
  zend_ulong hash;
  void *ptr;
  zval *zv;
} znode_op;

struct _zend_op {
  const void *handler;  // the engine's own: what this instruction does
  znode_op op1;
  znode_op op2;
  znode_op result;
  zend_ulong extended_value;  // include kind; argument count of a call
  zend_uint lineno;
  zend_uchar opcode;
  zend_uchar op1_type;
  zend_uchar op2_type;
  zend_uchar result_type;
};

typedef struct _zend_arg_info {
  const char *name;
  zend_uint name_len;
  const char *class_name;
  zend_uint class_name_len;
  zend_uchar type_hint;
  zend_bool allow_null;
  zend_bool pass_by_reference;
} zend_arg_info;

#define INTERNAL_FUNCTION_PARAMETERS \
  int ht, zval *return_value, zval **return_value_ptr, zval *this_ptr, int return_value_used
#define INTERNAL_FUNCTION_PARAM_PASSTHRU ht, return_value, return_value_ptr, this_ptr, return_value_used

#define ZEND_FUNCTION_COMMON_MEMBERS \
  zend_uchar type;                   \
  const char *function_name;         \
  zend_class_entry *scope;           \
  zend_uint fn_flags;                \
  union _zend_function *prototype;   \
  zend_uint num_args;                \
  zend_uint required_num_args;       \
  zend_arg_info *arg_info;

struct _zend_op_array {
  ZEND_FUNCTION_COMMON_MEMBERS
  zend_op *opcodes;
  zend_uint last;
  zend_uint T;  // number of temporaries a frame of this code needs
  const char *filename;
  zend_uint line_start;
  zend_uint line_end;
  const void *engine_code;  // the engine's own description of the code
  void *reserved[4];
};

typedef struct _zend_internal_function {
  ZEND_FUNCTION_COMMON_MEMBERS
  void (*handler)(INTERNAL_FUNCTION_PARAMETERS);
  struct _zend_module_entry *module;
  const void *engine_code;  // the engine's own description of the function
} zend_internal_function;

union _zend_function {
  zend_uchar type;
  struct {
    ZEND_FUNCTION_COMMON_MEMBERS
  } common;
  zend_op_array op_array;
  zend_internal_function internal_function;
};

typedef union _temp_variable {
  zval tmp_var;
  struct {
    zval **ptr_ptr;
    zval *ptr;
  } var;
} temp_variable;

typedef struct _zend_function_state {
  zend_function *function;
  void **arguments;  // the count slot of the argument area, or NULL
} zend_function_state;

struct _zend_execute_data {
  zend_op *opline;  // current instruction; NULL in a callback's call frame
  zend_function_state function_state;
  zend_op_array *op_array;  // the code this frame runs (NULL in a call frame)
  zval *object;
  HashTable *symbol_table;
  struct _zend_execute_data *prev_execute_data;
  zval *old_error_reporting;
  zend_bool nested;
  zval **original_return_value;
  zend_class_entry *current_scope;
  zend_class_entry *current_called_scope;
  zval *current_this;
  temp_variable *Ts;  // the frame's temporaries
};

#define EX_TMP_VAR(ex, n) (&(ex)->Ts[(n)])

// Argument area helpers; requested_arg counts from 1.
static inline int zend_vm_stack_get_args_count_ex(zend_execute_data *ex) {
  void **p = ex->function_state.arguments;
  return p ? (int)(zend_uintptr_t)*p : 0;
}
static inline zval **zend_vm_stack_get_arg_ex(zend_execute_data *ex, int requested_arg) {
  void **p = ex->function_state.arguments;
  int arg_count = (int)(zend_uintptr_t)*p;
  if (requested_arg > arg_count || requested_arg < 1) return NULL;
  return (zval **)p - arg_count + requested_arg - 1;
}

struct _zend_fcall_info {
  size_t size;
  HashTable *function_table;
  zval *function_name;
  HashTable *symbol_table;
  zval **retval_ptr_ptr;
  zend_uint param_count;
  zval ***params;
  zval *object_ptr;
  zend_bool no_separation;
};

struct _zend_fcall_info_cache {
  zend_bool initialized;
  zend_function *function_handler;
  zend_class_entry *calling_scope;
  zend_class_entry *called_scope;
  zval *object_ptr;
};

// Bailout: a sigjmp_buf that does not save the signal mask.
#define JMP_BUF sigjmp_buf
#define SETJMP(a) sigsetjmp(a, 0)
#define LONGJMP(a, b) siglongjmp(a, b)

typedef struct _zend_executor_globals {
  zval **return_value_ptr_ptr;
  zval uninitialized_zval;
  zval *uninitialized_zval_ptr;
  zval error_zval;
  zval *error_zval_ptr;
  HashTable *active_symbol_table;
  HashTable symbol_table;      // the request's global variables
  HashTable included_files;    // file name -> true
  HashTable *function_table;   // lower-case name -> zend_function
  HashTable *class_table;      // lower-case name -> zend_class_entry *
  HashTable *ini_directives;   // setting name -> zend_ini_entry
  HashTable regular_list;      // resource number -> zend_rsrc_list_entry
  HashTable persistent_list;
  zend_objects_store objects_store;
  zval *exception;             // the pending exception, or NULL
  zval *prev_exception;
  zend_execute_data *current_execute_data;
  zend_op_array *active_op_array;
  zend_class_entry *scope;
  zend_class_entry *called_scope;
  zval *This;
  JMP_BUF *bailout;
  int error_reporting;
  int exit_status;
  zend_bool in_execution;
  zend_bool active;
  long precision;
  struct _zend_module_entry *current_module;
} zend_executor_globals;

typedef struct _zend_compiler_globals {
  HashTable *function_table;
  HashTable *class_table;
  HashTable *auto_globals;  // name (length counting the NUL) -> zend_auto_global
  const char *compiled_filename;
  zend_bool unclean_shutdown;
  zend_bool in_compilation;
} zend_compiler_globals;

// Error types.
#define E_ERROR (1L << 0L)
#define E_WARNING (1L << 1L)
#define E_PARSE (1L << 2L)
#define E_NOTICE (1L << 3L)
#define E_CORE_ERROR (1L << 4L)
#define E_CORE_WARNING (1L << 5L)
#define E_COMPILE_ERROR (1L << 6L)
#define E_COMPILE_WARNING (1L << 7L)
#define E_USER_ERROR (1L << 8L)
#define E_USER_WARNING (1L << 9L)
#define E_USER_NOTICE (1L << 10L)
#define E_STRICT (1L << 11L)
#define E_RECOVERABLE_ERROR (1L << 12L)
#define E_DEPRECATED (1L << 13L)
#define E_USER_DEPRECATED (1L << 14L)
#define E_ALL 32767L
#define E_CORE (E_CORE_ERROR | E_CORE_WARNING)

BEGIN_EXTERN_C()

ZEND_API extern zend_executor_globals executor_globals;
ZEND_API extern zend_compiler_globals compiler_globals;

// Replaceable executor pointers. zend_execute_internal starts out NULL: the
// engine then calls execute_internal() itself.
ZEND_API extern void (*zend_execute_ex)(zend_execute_data *execute_data);
ZEND_API extern void (*zend_execute_internal)(zend_execute_data *execute_data_ptr,
                                              zend_fcall_info *fci, int return_value_used);
ZEND_API void execute_ex(zend_execute_data *execute_data);
ZEND_API void execute_internal(zend_execute_data *execute_data_ptr, zend_fcall_info *fci,
                               int return_value_used);
// Runs a piece of user code in a new frame through zend_execute_ex.
ZEND_API void zend_execute(zend_op_array *op_array);

// Errors. zend_error() reports through zend_error_cb with the file and line
// being executed ("Unknown" and 0 outside any code).
ZEND_API extern void (*zend_error_cb)(int type, const char *error_filename,
                                      const zend_uint error_lineno, const char *format,
                                      va_list args);
ZEND_API void zend_error(int type, const char *format, ...) __attribute__((format(printf, 2, 3)));
ZEND_API void zend_error_noreturn(int type, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

ZEND_API void _zend_bailout(const char *filename, zend_uint lineno) __attribute__((noreturn));

ZEND_API const char *get_active_function_name(void);
ZEND_API const char *get_active_class_name(const char **space);
ZEND_API const char *zend_get_executed_filename(void);
ZEND_API zend_uint zend_get_executed_lineno(void);
ZEND_API zend_bool zend_is_executing(void);

// Calling a function or method by name. For a method pass the object; a
// string "Class::method" names a static method. SUCCESS means the call was
// made (an exception it raised is pending in EG(exception)); the caller then
// owns *retval_ptr_ptr.
ZEND_API int zend_call_function(zend_fcall_info *fci, zend_fcall_info_cache *fci_cache);
ZEND_API int call_user_function_ex(HashTable *function_table, zval **object_pp, zval *function_name,
                                   zval **retval_ptr_ptr, zend_uint param_count, zval **params[],
                                   int no_separation, HashTable *symbol_table);
ZEND_API int call_user_function(HashTable *function_table, zval **object_pp, zval *function_name,
                                zval *retval_ptr, zend_uint param_count, zval *params[]);

END_EXTERN_C()

#define EG(v) (executor_globals.v)
#define CG(v) (compiler_globals.v)

#define zend_bailout() _zend_bailout(__FILE__, __LINE__)

#define zend_try                                       \
  {                                                    \
    JMP_BUF *__orig_bailout = EG(bailout);             \
    JMP_BUF __bailout;                                 \
    EG(bailout) = &__bailout;                          \
    if (SETJMP(__bailout) == 0) {
#define zend_catch          \
    } else {                \
      EG(bailout) = __orig_bailout;
#define zend_end_try()      \
    }                       \
    EG(bailout) = __orig_bailout; \
  }
#define zend_first_try EG(bailout) = NULL; zend_try

#endif
