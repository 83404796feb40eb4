// Classes, objects, exceptions and resources of the stand-in engine.
//
// An object value carries a handle into the request's object store; handles
// start at 1 and a freed handle may be given to a later object of the same
// request. Properties live in a table keyed by name (length counting the
// NUL, as everywhere). Resource values carry a resource number, starting at
// 1 in each request.
//
// Exceptions are objects of a class derived from "Exception" with the
// properties "message" (string), "code" (long), "file" (string) and
// "line" (long). The pending exception is EG(exception).
#ifndef STANDIN_PHP_ENGINE_OBJECTS_H
#define STANDIN_PHP_ENGINE_OBJECTS_H

#include "php_engine_hash.h"

#define ZEND_INTERNAL_CLASS 1
#define ZEND_USER_CLASS 2

#define ZEND_ACC_STATIC 0x01
#define ZEND_ACC_ABSTRACT 0x02
#define ZEND_ACC_FINAL 0x04
#define ZEND_ACC_PUBLIC 0x100
#define ZEND_ACC_PROTECTED 0x200
#define ZEND_ACC_PRIVATE 0x400
#define ZEND_ACC_CTOR 0x2000
#define ZEND_ACC_RETURN_REFERENCE 0x4000000

struct _zend_module_entry;
union _zend_function;

struct _zend_class_entry {
  char type;                // ZEND_INTERNAL_CLASS or ZEND_USER_CLASS
  const char *name;         // as declared, case kept
  zend_uint name_length;    // strlen(name)
  struct _zend_class_entry *parent;
  int refcount;
  zend_uint ce_flags;
  HashTable function_table;       // lower-case method name -> zend_function
  HashTable default_properties;   // name -> zval *, copied into every new object
  union _zend_function *constructor;
  const struct _zend_module_entry *module;
};

typedef struct _zend_object {
  zend_class_entry *ce;
  HashTable *properties;  // name -> zval *
} zend_object;

struct _zend_object_handlers {
  void (*add_ref)(zval *object);
  void (*del_ref)(zval *object);
  // Reads a property; never NULL (EG(uninitialized_zval_ptr) when missing).
  // A missing property raises a notice unless silent is set.
  zval *(*read_property)(zval *object, const char *name, int name_length, zend_bool silent);
  zend_class_entry *(*get_class_entry)(const zval *object);
  HashTable *(*get_properties)(zval *object);
};

typedef struct _zend_object_store_bucket {
  zend_bool valid;
  zend_uint refcount;
  zend_object *object;
  zend_object_handle next_free;
} zend_object_store_bucket;

typedef struct _zend_objects_store {
  zend_object_store_bucket *object_buckets;
  zend_uint top;   // next never-used handle
  zend_uint size;
  zend_object_handle free_list_head;  // 0 when no freed handle waits for reuse
} zend_objects_store;

typedef struct _zend_rsrc_list_entry {
  void *ptr;
  int type;
  int refcount;
} zend_rsrc_list_entry;

typedef void (*rsrc_dtor_func_t)(zend_rsrc_list_entry *rsrc);

BEGIN_EXTERN_C()

ZEND_API extern const zend_object_handlers std_object_handlers;

// Classes. Names are matched without regard to case.
ZEND_API int zend_lookup_class(const char *name, int name_length, zend_class_entry ***ce);
ZEND_API zend_class_entry *zend_fetch_class(const char *class_name, zend_uint class_name_len, int fetch_type);
ZEND_API zend_class_entry *zend_register_internal_class_ex(zend_class_entry *class_entry,
                                                           zend_class_entry *parent_ce,
                                                           const char *parent_name);
ZEND_API zend_bool instanceof_function(const zend_class_entry *instance_ce, const zend_class_entry *ce);
ZEND_API zend_class_entry *zend_get_class_entry(const zval *zobject);
ZEND_API int zend_get_object_classname(const zval *object, const char **class_name,
                                       zend_uint *class_name_len);
ZEND_API zend_class_entry *zend_exception_get_default(void);

// Objects.
ZEND_API int object_init_ex(zval *arg, zend_class_entry *ce);
ZEND_API int _object_init(zval *arg);
ZEND_API void *zend_object_store_get_object_by_handle(zend_object_handle handle);
ZEND_API void *zend_object_store_get_object(const zval *object);
ZEND_API void zend_objects_store_add_ref(zval *object);
ZEND_API void zend_objects_store_del_ref(zval *object);
ZEND_API void zend_objects_store_del_ref_by_handle(zend_object_handle handle);

// Properties. name_length is strlen(name) here, as callers pass it.
ZEND_API zval *zend_read_property(zend_class_entry *scope, zval *object, const char *name,
                                  int name_length, zend_bool silent);
ZEND_API void zend_update_property(zend_class_entry *scope, zval *object, const char *name,
                                   int name_length, zval *value);
ZEND_API void zend_update_property_null(zend_class_entry *scope, zval *object, const char *name,
                                        int name_length);
ZEND_API void zend_update_property_long(zend_class_entry *scope, zval *object, const char *name,
                                        int name_length, long value);
ZEND_API void zend_update_property_string(zend_class_entry *scope, zval *object, const char *name,
                                          int name_length, const char *value);
ZEND_API void zend_update_property_stringl(zend_class_entry *scope, zval *object, const char *name,
                                           int name_length, const char *value, int value_len);

// Exceptions.
ZEND_API zval *zend_throw_exception(zend_class_entry *exception_ce, const char *message, long code);
ZEND_API void zend_throw_exception_object(zval *exception);
ZEND_API void zend_clear_exception(void);

// Resources.
ZEND_API int zend_register_list_destructors_ex(rsrc_dtor_func_t ld, rsrc_dtor_func_t pld,
                                               const char *type_name, int module_number);
ZEND_API int zend_fetch_list_dtor_id(const char *type_name);
ZEND_API const char *zend_rsrc_list_get_rsrc_type(int resource);
ZEND_API int zend_list_insert(void *ptr, int type);
ZEND_API void *_zend_list_find(int id, int *type);
ZEND_API int _zend_list_addref(int id);
ZEND_API int _zend_list_delete(int id);

END_EXTERN_C()

#define object_init(arg) _object_init((arg))
#define zend_list_find(id, type) _zend_list_find((id), (type))
#define zend_list_addref(id) _zend_list_addref((id))
#define zend_list_delete(id) _zend_list_delete((id))

#define ZEND_FETCH_CLASS_DEFAULT 0
#define ZEND_FETCH_CLASS_SILENT 0x0100

#endif
