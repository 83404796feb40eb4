// Values, basic types and engine memory of the stand-in engine.
//
// A value (zval) is a tagged union with a reference count. Type numbers are
// the engine's: 0 null, 1 long, 2 double, 3 bool, 4 array, 5 object,
// 6 string, 7 resource, 8 constant, 9 constant-array. Strings are bytes plus
// a length (always NUL-terminated in engine memory, but the length counts).
//
// Engine memory (emalloc and friends) belongs to the current request and is
// released wholesale when the request ends, whatever the script did: a fatal
// error leaves a request by a non-local jump, so nothing on the way out can
// be trusted to free what it allocated. pemalloc(..., 1) is persistent memory
// for data that outlives a request (the module's own tables, for example).
#ifndef STANDIN_PHP_ENGINE_TYPES_H
#define STANDIN_PHP_ENGINE_TYPES_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
#define BEGIN_EXTERN_C() extern "C" {
#define END_EXTERN_C() }
#else
#define BEGIN_EXTERN_C()
#define END_EXTERN_C()
#endif

#define ZEND_API __attribute__((visibility("default")))
#define PHPAPI ZEND_API
#define SAPI_API ZEND_API
#define ZEND_DLEXPORT __attribute__((visibility("default")))

// The engine is built without thread safety: the thread-resource macros that
// extension code carries around expand to nothing.
#define TSRMLS_D void
#define TSRMLS_DC
#define TSRMLS_C
#define TSRMLS_CC
#define TSRMLS_FETCH()

#define SUCCESS 0
#define FAILURE -1

typedef unsigned char zend_bool;
typedef unsigned char zend_uchar;
typedef unsigned int zend_uint;
typedef unsigned long zend_ulong;
typedef unsigned short zend_ushort;
typedef uintptr_t zend_uintptr_t;

typedef struct _zval_struct zval;
typedef struct _hashtable HashTable;
typedef struct _zend_class_entry zend_class_entry;
typedef struct _zend_object_handlers zend_object_handlers;
typedef zend_uint zend_object_handle;

// Type numbers.
#define IS_NULL 0
#define IS_LONG 1
#define IS_DOUBLE 2
#define IS_BOOL 3
#define IS_ARRAY 4
#define IS_OBJECT 5
#define IS_STRING 6
#define IS_RESOURCE 7
#define IS_CONSTANT 8
#define IS_CONSTANT_ARRAY 9

typedef struct _zend_object_value {
  zend_object_handle handle;
  const zend_object_handlers *handlers;
} zend_object_value;

typedef union _zvalue_value {
  long lval;  // long, bool (0/1) and resource number
  double dval;
  struct {
    char *val;
    int len;
  } str;
  HashTable *ht;
  zend_object_value obj;
} zvalue_value;

struct _zval_struct {
  zvalue_value value;
  zend_uint refcount__gc;
  zend_uchar type;
  zend_uchar is_ref__gc;
};

// Accessors.
#define Z_TYPE(zv) ((zv).type)
#define Z_TYPE_P(zv) Z_TYPE(*(zv))
#define Z_TYPE_PP(zv) Z_TYPE(**(zv))
#define Z_LVAL(zv) ((zv).value.lval)
#define Z_LVAL_P(zv) Z_LVAL(*(zv))
#define Z_LVAL_PP(zv) Z_LVAL(**(zv))
#define Z_BVAL(zv) ((zend_bool)(zv).value.lval)
#define Z_BVAL_P(zv) Z_BVAL(*(zv))
#define Z_BVAL_PP(zv) Z_BVAL(**(zv))
#define Z_DVAL(zv) ((zv).value.dval)
#define Z_DVAL_P(zv) Z_DVAL(*(zv))
#define Z_DVAL_PP(zv) Z_DVAL(**(zv))
#define Z_STRVAL(zv) ((zv).value.str.val)
#define Z_STRVAL_P(zv) Z_STRVAL(*(zv))
#define Z_STRVAL_PP(zv) Z_STRVAL(**(zv))
#define Z_STRLEN(zv) ((zv).value.str.len)
#define Z_STRLEN_P(zv) Z_STRLEN(*(zv))
#define Z_STRLEN_PP(zv) Z_STRLEN(**(zv))
#define Z_ARRVAL(zv) ((zv).value.ht)
#define Z_ARRVAL_P(zv) Z_ARRVAL(*(zv))
#define Z_ARRVAL_PP(zv) Z_ARRVAL(**(zv))
#define Z_OBJVAL(zv) ((zv).value.obj)
#define Z_OBJVAL_P(zv) Z_OBJVAL(*(zv))
#define Z_OBJVAL_PP(zv) Z_OBJVAL(**(zv))
#define Z_OBJ_HANDLE(zv) Z_OBJVAL(zv).handle
#define Z_OBJ_HANDLE_P(zv) Z_OBJ_HANDLE(*(zv))
#define Z_OBJ_HANDLE_PP(zv) Z_OBJ_HANDLE(**(zv))
#define Z_OBJ_HT(zv) Z_OBJVAL(zv).handlers
#define Z_OBJ_HT_P(zv) Z_OBJ_HT(*(zv))
#define Z_OBJ_HT_PP(zv) Z_OBJ_HT(**(zv))
#define Z_OBJCE(zv) zend_get_class_entry(&(zv))
#define Z_OBJCE_P(zv) zend_get_class_entry(zv)
#define Z_OBJCE_PP(zv) zend_get_class_entry(*(zv))
#define Z_OBJPROP(zv) Z_OBJ_HT(zv)->get_properties(&(zv))
#define Z_OBJPROP_P(zv) Z_OBJ_HT_P(zv)->get_properties(zv)
#define Z_OBJPROP_PP(zv) Z_OBJ_HT_PP(zv)->get_properties(*(zv))
#define Z_RESVAL(zv) Z_LVAL(zv)
#define Z_RESVAL_P(zv) Z_LVAL_P(zv)
#define Z_RESVAL_PP(zv) Z_LVAL_PP(zv)

#define Z_REFCOUNT_P(pz) ((pz)->refcount__gc)
#define Z_REFCOUNT_PP(ppz) Z_REFCOUNT_P(*(ppz))
#define Z_SET_REFCOUNT_P(pz, rc) ((pz)->refcount__gc = (rc))
#define Z_ADDREF_P(pz) (++(pz)->refcount__gc)
#define Z_ADDREF_PP(ppz) Z_ADDREF_P(*(ppz))
#define Z_DELREF_P(pz) (--(pz)->refcount__gc)
#define Z_DELREF_PP(ppz) Z_DELREF_P(*(ppz))
#define Z_ISREF_P(pz) ((pz)->is_ref__gc)
#define Z_ISREF_PP(ppz) Z_ISREF_P(*(ppz))
#define Z_SET_ISREF_P(pz) ((pz)->is_ref__gc = 1)
#define Z_UNSET_ISREF_P(pz) ((pz)->is_ref__gc = 0)

// Setting values. ZVAL_STRING/ZVAL_STRINGL copy the text when duplicate is
// non-zero and otherwise take over an emalloc()ed buffer.
#define ZVAL_NULL(z) ((z)->type = IS_NULL)
#define ZVAL_LONG(z, l) do { zval *__z = (z); __z->value.lval = (l); __z->type = IS_LONG; } while (0)
#define ZVAL_BOOL(z, b) do { zval *__z = (z); __z->value.lval = ((b) != 0); __z->type = IS_BOOL; } while (0)
#define ZVAL_TRUE(z) ZVAL_BOOL(z, 1)
#define ZVAL_FALSE(z) ZVAL_BOOL(z, 0)
#define ZVAL_DOUBLE(z, d) do { zval *__z = (z); __z->value.dval = (d); __z->type = IS_DOUBLE; } while (0)
#define ZVAL_RESOURCE(z, l) do { zval *__z = (z); __z->value.lval = (l); __z->type = IS_RESOURCE; } while (0)
#define ZVAL_STRINGL(z, s, l, duplicate) do { \
    const char *__s = (s); int __l = (int)(l); zval *__z = (z); \
    __z->value.str.len = __l; \
    __z->value.str.val = (duplicate) ? estrndup(__s, (unsigned int)__l) : (char *)__s; \
    __z->type = IS_STRING; } while (0)
#define ZVAL_STRING(z, s, duplicate) do { \
    const char *__s2 = (s); ZVAL_STRINGL(z, __s2, strlen(__s2), duplicate); } while (0)
#define ZVAL_EMPTY_STRING(z) ZVAL_STRINGL(z, "", 0, 1)
#define ZVAL_COPY_VALUE(z, v) do { (z)->value = (v)->value; Z_TYPE_P(z) = Z_TYPE_P(v); } while (0)
#define ZVAL_ZVAL(z, zv, copy, dtor) do { \
    zval *__z = (z); zval *__zv = (zv); ZVAL_COPY_VALUE(__z, __zv); \
    if (copy) zval_copy_ctor(__z); \
    if (dtor) { if (!(copy)) ZVAL_NULL(__zv); zval_ptr_dtor(&__zv); } } while (0)

#define INIT_PZVAL(z) do { (z)->refcount__gc = 1; (z)->is_ref__gc = 0; } while (0)
#define INIT_ZVAL(z) do { (z).type = IS_NULL; (z).refcount__gc = 1; (z).is_ref__gc = 0; } while (0)
#define ALLOC_ZVAL(z) ((z) = (zval *)emalloc(sizeof(zval)))
#define ALLOC_INIT_ZVAL(zp) do { ALLOC_ZVAL(zp); INIT_ZVAL(*(zp)); } while (0)
#define MAKE_STD_ZVAL(zv) do { ALLOC_ZVAL(zv); INIT_PZVAL(zv); } while (0)
#define FREE_ZVAL(z) efree(z)
#define INIT_PZVAL_COPY(z, v) do { ZVAL_COPY_VALUE(z, v); INIT_PZVAL(z); } while (0)

#define zval_ptr_dtor(zval_ptr) _zval_ptr_dtor((zval_ptr))
#define zval_dtor(zvalue) _zval_dtor((zvalue))
#define zval_copy_ctor(zvalue) _zval_copy_ctor((zvalue))
// Element destructor for tables of zval pointers.
#define ZVAL_PTR_DTOR ((dtor_func_t)_zval_ptr_dtor)

BEGIN_EXTERN_C()

// Engine memory.
ZEND_API void *_emalloc(size_t size);
ZEND_API void *_safe_emalloc(size_t nmemb, size_t size, size_t offset);
ZEND_API void *_ecalloc(size_t nmemb, size_t size);
ZEND_API void *_erealloc(void *ptr, size_t size);
ZEND_API void _efree(void *ptr);
ZEND_API char *_estrdup(const char *s);
ZEND_API char *_estrndup(const char *s, unsigned int length);
// Persistent memory that never fails quietly (ends the process on exhaustion).
ZEND_API void *__zend_malloc(size_t len);
ZEND_API void *__zend_calloc(size_t nmemb, size_t len);
ZEND_API void *__zend_realloc(void *p, size_t len);

// Values.
ZEND_API void _zval_ptr_dtor(zval **zval_ptr);
ZEND_API void _zval_dtor(zval *zvalue);
ZEND_API void _zval_copy_ctor(zval *zvalue);
ZEND_API void convert_to_string(zval *op);
ZEND_API void convert_to_long(zval *op);
ZEND_API void convert_to_boolean(zval *op);
ZEND_API void convert_to_double(zval *op);
ZEND_API const char *zend_get_type_by_const(int type);
ZEND_API const char *zend_zval_type_name(const zval *arg);
ZEND_API char *zend_str_tolower_copy(char *dest, const char *source, unsigned int length);
ZEND_API char *zend_str_tolower_dup(const char *source, unsigned int length);

END_EXTERN_C()

#define emalloc(size) _emalloc((size))
#define safe_emalloc(nmemb, size, offset) _safe_emalloc((nmemb), (size), (offset))
#define ecalloc(nmemb, size) _ecalloc((nmemb), (size))
#define erealloc(ptr, size) _erealloc((ptr), (size))
#define efree(ptr) _efree((ptr))
#define estrdup(s) _estrdup((s))
#define estrndup(s, length) _estrndup((s), (length))

#define pemalloc(size, persistent) ((persistent) ? __zend_malloc(size) : emalloc(size))
#define pecalloc(nmemb, size, persistent) ((persistent) ? __zend_calloc((nmemb), (size)) : ecalloc((nmemb), (size)))
#define perealloc(ptr, size, persistent) ((persistent) ? __zend_realloc((ptr), (size)) : erealloc((ptr), (size)))
#define pefree(ptr, persistent) ((persistent) ? free(ptr) : efree(ptr))
#define pestrdup(s, persistent) ((persistent) ? strdup(s) : estrdup(s))

#endif
