// Classes (process-wide), the request's object store, properties,
// exceptions and resources.
#include <stdio.h>

#include <string>
#include <vector>

#include "engine_internal.h"

namespace {

HashTable gClassTable;
bool gClassesReady = false;
zend_class_entry *gDefaultException = nullptr;
std::vector<std::string> gResourceTypes;

void freeClass(void *pData) {
  zend_class_entry *ce = *static_cast<zend_class_entry **>(pData);
  zend_hash_destroy(&ce->function_table);
  zend_hash_destroy(&ce->default_properties);
  free(const_cast<char *>(ce->name));
  free(ce);
}

zend_object_store_bucket *bucketOf(zend_object_handle handle) {
  zend_objects_store *store = &EG(objects_store);
  if (handle == 0 || handle >= store->top || !store->object_buckets) return nullptr;
  zend_object_store_bucket *b = &store->object_buckets[handle];
  return b->valid ? b : nullptr;
}

zend_object *objectOf(const zval *object) {
  if (!object || Z_TYPE_P(object) != IS_OBJECT) return nullptr;
  zend_object_store_bucket *b = bucketOf(Z_OBJ_HANDLE_P(object));
  return b ? b->object : nullptr;
}

void stdAddRef(zval *object) { zend_objects_store_add_ref(object); }
void stdDelRef(zval *object) { zend_objects_store_del_ref(object); }

zval *stdReadProperty(zval *object, const char *name, int name_length, zend_bool silent) {
  zend_object *obj = objectOf(object);
  if (!obj) {
    if (!silent) zend_error(E_NOTICE, "Trying to get property of non-object");
    return EG(uninitialized_zval_ptr);
  }
  zval **found;
  if (zend_hash_find(obj->properties, name, static_cast<zend_uint>(name_length) + 1,
                     reinterpret_cast<void **>(&found)) == SUCCESS) {
    return *found;
  }
  if (!silent) zend_error(E_NOTICE, "Undefined property: %s::$%s", obj->ce->name, name);
  return EG(uninitialized_zval_ptr);
}

zend_class_entry *stdGetClassEntry(const zval *object) {
  zend_object *obj = objectOf(object);
  return obj ? obj->ce : nullptr;
}

HashTable *stdGetProperties(zval *object) {
  zend_object *obj = objectOf(object);
  return obj ? obj->properties : nullptr;
}

}  // namespace

extern "C" {

const zend_object_handlers std_object_handlers = {stdAddRef, stdDelRef, stdReadProperty, stdGetClassEntry,
                                                  stdGetProperties};

int zend_lookup_class(const char *name, int name_length, zend_class_entry ***ce) {
  if (!gClassesReady || name_length <= 0) return FAILURE;
  char *lower = static_cast<char *>(malloc(static_cast<size_t>(name_length) + 1));
  zend_str_tolower_copy(lower, name, static_cast<unsigned int>(name_length));
  int result = zend_hash_find(&gClassTable, lower, static_cast<zend_uint>(name_length) + 1,
                              reinterpret_cast<void **>(ce));
  free(lower);
  return result;
}

zend_class_entry *zend_fetch_class(const char *class_name, zend_uint class_name_len, int fetch_type) {
  zend_class_entry **ce;
  if (zend_lookup_class(class_name, static_cast<int>(class_name_len), &ce) == SUCCESS) return *ce;
  if (!(fetch_type & ZEND_FETCH_CLASS_SILENT)) zend_error(E_ERROR, "Class '%s' not found", class_name);
  return nullptr;
}

zend_class_entry *zend_register_internal_class_ex(zend_class_entry *class_entry, zend_class_entry *parent_ce,
                                                  const char *parent_name) {
  zend_class_entry *parent = parent_ce;
  if (!parent && parent_name) parent = standin::lookupClass(parent_name, strlen(parent_name));
  zend_class_entry *ce = standin::declareClass(class_entry->name, parent);
  ce->type = ZEND_INTERNAL_CLASS;
  return ce;
}

zend_bool instanceof_function(const zend_class_entry *instance_ce, const zend_class_entry *ce) {
  for (const zend_class_entry *c = instance_ce; c; c = c->parent) {
    if (c == ce) return 1;
  }
  return 0;
}

zend_class_entry *zend_get_class_entry(const zval *zobject) {
  if (Z_TYPE_P(zobject) != IS_OBJECT || !Z_OBJ_HT_P(zobject) || !Z_OBJ_HT_P(zobject)->get_class_entry) {
    return nullptr;
  }
  return Z_OBJ_HT_P(zobject)->get_class_entry(zobject);
}

int zend_get_object_classname(const zval *object, const char **class_name, zend_uint *class_name_len) {
  zend_class_entry *ce = zend_get_class_entry(object);
  if (!ce) return FAILURE;
  *class_name = ce->name;
  *class_name_len = ce->name_length;
  return SUCCESS;
}

zend_class_entry *zend_exception_get_default(void) { return gDefaultException; }

int object_init_ex(zval *arg, zend_class_entry *ce) {
  zend_objects_store *store = &EG(objects_store);
  zend_object_handle handle;
  if (store->free_list_head) {
    handle = store->free_list_head;
    store->free_list_head = store->object_buckets[handle].next_free;
  } else {
    if (store->top >= store->size) {
      zend_uint newSize = store->size ? store->size * 2 : 32;
      store->object_buckets = static_cast<zend_object_store_bucket *>(
          erealloc(store->object_buckets, newSize * sizeof(zend_object_store_bucket)));
      memset(store->object_buckets + store->size, 0, (newSize - store->size) * sizeof(zend_object_store_bucket));
      store->size = newSize;
    }
    handle = store->top++;
  }
  zend_object *obj = static_cast<zend_object *>(emalloc(sizeof(zend_object)));
  obj->ce = ce;
  obj->properties = static_cast<HashTable *>(emalloc(sizeof(HashTable)));
  zend_hash_init(obj->properties, 8, nullptr, ZVAL_PTR_DTOR, 0);
  zend_object_store_bucket *b = &store->object_buckets[handle];
  b->valid = 1;
  b->refcount = 1;
  b->object = obj;
  b->next_free = 0;

  Z_TYPE_P(arg) = IS_OBJECT;
  Z_OBJ_HANDLE_P(arg) = handle;
  Z_OBJ_HT_P(arg) = &std_object_handlers;

  if (gDefaultException && instanceof_function(ce, gDefaultException)) {
    zend_update_property_string(nullptr, arg, "message", 7, "");
    zend_update_property_long(nullptr, arg, "code", 4, 0);
    zend_update_property_string(nullptr, arg, "file", 4, "");
    zend_update_property_long(nullptr, arg, "line", 4, 0);
    zend_update_property_null(nullptr, arg, "previous", 8);
  }
  return SUCCESS;
}

int _object_init(zval *arg) {
  zend_class_entry **ce;
  if (zend_lookup_class("stdClass", 8, &ce) != SUCCESS) return FAILURE;
  return object_init_ex(arg, *ce);
}

void *zend_object_store_get_object_by_handle(zend_object_handle handle) {
  zend_object_store_bucket *b = bucketOf(handle);
  return b ? b->object : nullptr;
}

void *zend_object_store_get_object(const zval *object) { return objectOf(object); }

void zend_objects_store_add_ref(zval *object) {
  zend_object_store_bucket *b = bucketOf(Z_OBJ_HANDLE_P(object));
  if (b) b->refcount++;
}

void zend_objects_store_del_ref(zval *object) { zend_objects_store_del_ref_by_handle(Z_OBJ_HANDLE_P(object)); }

void zend_objects_store_del_ref_by_handle(zend_object_handle handle) {
  zend_object_store_bucket *b = bucketOf(handle);
  if (!b || --b->refcount > 0) return;
  zend_object *obj = b->object;
  b->valid = 0;
  b->object = nullptr;
  b->next_free = EG(objects_store).free_list_head;
  EG(objects_store).free_list_head = handle;
  zend_hash_destroy(obj->properties);
  efree(obj->properties);
  efree(obj);
}

zval *zend_read_property(zend_class_entry *, zval *object, const char *name, int name_length, zend_bool silent) {
  return stdReadProperty(object, name, name_length, silent);
}

void zend_update_property(zend_class_entry *, zval *object, const char *name, int name_length, zval *value) {
  zend_object *obj = objectOf(object);
  if (!obj) return;
  Z_ADDREF_P(value);
  zend_hash_update(obj->properties, name, static_cast<zend_uint>(name_length) + 1, &value, sizeof(zval *),
                   nullptr);
}

void zend_update_property_null(zend_class_entry *scope, zval *object, const char *name, int name_length) {
  zval *v;
  ALLOC_INIT_ZVAL(v);
  zend_update_property(scope, object, name, name_length, v);
  zval_ptr_dtor(&v);
}

void zend_update_property_long(zend_class_entry *scope, zval *object, const char *name, int name_length,
                               long value) {
  zval *v;
  ALLOC_INIT_ZVAL(v);
  ZVAL_LONG(v, value);
  zend_update_property(scope, object, name, name_length, v);
  zval_ptr_dtor(&v);
}

void zend_update_property_string(zend_class_entry *scope, zval *object, const char *name, int name_length,
                                 const char *value) {
  zend_update_property_stringl(scope, object, name, name_length, value, static_cast<int>(strlen(value)));
}

void zend_update_property_stringl(zend_class_entry *scope, zval *object, const char *name, int name_length,
                                  const char *value, int value_len) {
  zval *v;
  ALLOC_INIT_ZVAL(v);
  ZVAL_STRINGL(v, value, value_len, 1);
  zend_update_property(scope, object, name, name_length, v);
  zval_ptr_dtor(&v);
}

zval *zend_throw_exception(zend_class_entry *exception_ce, const char *message, long code) {
  zend_class_entry *ce = exception_ce ? exception_ce : gDefaultException;
  zval *ex = standin::newException(ce, message ? message : "", code, zend_get_executed_filename(),
                                   static_cast<long>(zend_get_executed_lineno()));
  zend_throw_exception_object(ex);
  return ex;
}

void zend_throw_exception_object(zval *exception) {
  if (!exception || Z_TYPE_P(exception) != IS_OBJECT) {
    zend_error(E_ERROR, "Exception must be a valid exception object");
    return;
  }
  if (EG(exception)) {
    zval *previous = EG(exception);
    zend_update_property(nullptr, exception, "previous", 8, previous);
    zval_ptr_dtor(&previous);
  }
  EG(exception) = exception;
}

void zend_clear_exception(void) {
  if (!EG(exception)) return;
  zval *ex = EG(exception);
  EG(exception) = nullptr;
  zval_ptr_dtor(&ex);
}

int zend_register_list_destructors_ex(rsrc_dtor_func_t, rsrc_dtor_func_t, const char *type_name, int) {
  gResourceTypes.push_back(type_name ? type_name : "Unknown");
  return static_cast<int>(gResourceTypes.size());
}

int zend_fetch_list_dtor_id(const char *type_name) {
  for (size_t i = 0; i < gResourceTypes.size(); ++i) {
    if (gResourceTypes[i] == type_name) return static_cast<int>(i + 1);
  }
  return 0;
}

const char *zend_rsrc_list_get_rsrc_type(int resource) {
  zend_rsrc_list_entry *le;
  if (zend_hash_index_find(&EG(regular_list), static_cast<zend_ulong>(resource),
                           reinterpret_cast<void **>(&le)) != SUCCESS) {
    return nullptr;
  }
  if (le->type < 1 || static_cast<size_t>(le->type) > gResourceTypes.size()) return nullptr;
  return gResourceTypes[static_cast<size_t>(le->type - 1)].c_str();
}

int zend_list_insert(void *ptr, int type) {
  zend_rsrc_list_entry le;
  le.ptr = ptr;
  le.type = type;
  le.refcount = 1;
  int id = static_cast<int>(zend_hash_next_free_element(&EG(regular_list)));
  zend_hash_index_update(&EG(regular_list), static_cast<zend_ulong>(id), &le, sizeof(le), nullptr);
  return id;
}

void *_zend_list_find(int id, int *type) {
  zend_rsrc_list_entry *le;
  if (zend_hash_index_find(&EG(regular_list), static_cast<zend_ulong>(id), reinterpret_cast<void **>(&le)) !=
      SUCCESS) {
    if (type) *type = -1;
    return nullptr;
  }
  if (type) *type = le->type;
  return le->ptr;
}

int _zend_list_addref(int id) {
  zend_rsrc_list_entry *le;
  if (zend_hash_index_find(&EG(regular_list), static_cast<zend_ulong>(id), reinterpret_cast<void **>(&le)) !=
      SUCCESS) {
    return FAILURE;
  }
  le->refcount++;
  return SUCCESS;
}

int _zend_list_delete(int id) {
  zend_rsrc_list_entry *le;
  if (zend_hash_index_find(&EG(regular_list), static_cast<zend_ulong>(id), reinterpret_cast<void **>(&le)) !=
      SUCCESS) {
    return FAILURE;
  }
  if (--le->refcount <= 0) zend_hash_index_del(&EG(regular_list), static_cast<zend_ulong>(id));
  return SUCCESS;
}

}  // extern "C"

namespace standin {

void classesStartup() {
  if (gClassesReady) return;
  zend_hash_init(&gClassTable, 64, nullptr, freeClass, 1);
  gClassesReady = true;
  CG(class_table) = EG(class_table) = &gClassTable;
  declareClass("stdClass", nullptr)->type = ZEND_INTERNAL_CLASS;
  gDefaultException = declareClass("Exception", nullptr);
  gDefaultException->type = ZEND_INTERNAL_CLASS;
  declareClass("ErrorException", gDefaultException)->type = ZEND_INTERNAL_CLASS;
  zend_class_entry *logic = declareClass("LogicException", gDefaultException);
  logic->type = ZEND_INTERNAL_CLASS;
  declareClass("InvalidArgumentException", logic)->type = ZEND_INTERNAL_CLASS;
  declareClass("RuntimeException", gDefaultException)->type = ZEND_INTERNAL_CLASS;
}

void classesShutdown() {
  if (!gClassesReady) return;
  zend_hash_destroy(&gClassTable);
  gClassesReady = false;
  gDefaultException = nullptr;
  CG(class_table) = EG(class_table) = nullptr;
  gResourceTypes.clear();
}

void objectsRequestStartup() {
  memset(&EG(objects_store), 0, sizeof(EG(objects_store)));
  EG(objects_store).top = 1;  // handle 0 means "no object"
  zend_hash_init(&EG(regular_list), 8, nullptr, nullptr, 0);
  EG(regular_list).nNextFreeElement = 1;  // resource number 0 means "no resource"
}

zend_class_entry *lookupClass(const char *name, size_t len) {
  zend_class_entry **ce;
  if (zend_lookup_class(name, static_cast<int>(len), &ce) == SUCCESS) return *ce;
  return nullptr;
}

zend_class_entry *declareClass(const char *name, zend_class_entry *parent) {
  size_t len = strlen(name);
  if (zend_class_entry *existing = lookupClass(name, len)) return existing;
  zend_class_entry *ce = static_cast<zend_class_entry *>(__zend_calloc(1, sizeof(zend_class_entry)));
  ce->type = ZEND_USER_CLASS;
  ce->name = strdup(name);
  ce->name_length = static_cast<zend_uint>(len);
  ce->parent = parent;
  ce->refcount = 1;
  zend_hash_init(&ce->function_table, 8, nullptr, nullptr, 1);
  zend_hash_init(&ce->default_properties, 8, nullptr, nullptr, 1);
  char *lower = static_cast<char *>(__zend_malloc(len + 1));
  zend_str_tolower_copy(lower, name, static_cast<unsigned int>(len));
  zend_hash_update(&gClassTable, lower, static_cast<zend_uint>(len) + 1, &ce, sizeof(ce), nullptr);
  free(lower);
  return ce;
}

zend_class_entry *classForUse(const std::string &name, bool throwable) {
  if (zend_class_entry *ce = lookupClass(name.data(), name.size())) return ce;
  return declareClass(name.c_str(), throwable ? gDefaultException : nullptr);
}

zval *newException(zend_class_entry *ce, const char *message, long code, const char *file, long line) {
  zval *ex;
  ALLOC_INIT_ZVAL(ex);
  object_init_ex(ex, ce);
  zend_update_property_string(nullptr, ex, "message", 7, message);
  zend_update_property_long(nullptr, ex, "code", 4, code);
  zend_update_property_string(nullptr, ex, "file", 4, file ? file : "");
  zend_update_property_long(nullptr, ex, "line", 4, line);
  return ex;
}

zend_function *findMethod(zend_class_entry *ce, const char *name, size_t len) {
  char *lower = static_cast<char *>(__zend_malloc(len + 1));
  zend_str_tolower_copy(lower, name, static_cast<unsigned int>(len));
  zend_function *found = nullptr;
  for (zend_class_entry *c = ce; c && !found; c = c->parent) {
    zend_function *fn;
    if (zend_hash_find(&c->function_table, lower, static_cast<zend_uint>(len) + 1,
                       reinterpret_cast<void **>(&fn)) == SUCCESS) {
      found = fn;
    }
  }
  free(lower);
  return found;
}

}  // namespace standin
