// Values: release, copy, conversions and the array helpers of script
// functions.
#include <stdio.h>

#include "engine_internal.h"

namespace {

void addRef(void *pData) { Z_ADDREF_P(*static_cast<zval **>(pData)); }

zval *arrayTarget(zval *arg) {
  if (Z_TYPE_P(arg) != IS_ARRAY) return nullptr;
  return arg;
}

zval *newLong(long n) {
  zval *z;
  ALLOC_INIT_ZVAL(z);
  ZVAL_LONG(z, n);
  return z;
}

zval *newString(const char *str, zend_uint length, int duplicate) {
  zval *z;
  ALLOC_INIT_ZVAL(z);
  ZVAL_STRINGL(z, str, length, duplicate);
  return z;
}

int nextIndex(zval *arg, zval *value) {
  zval *target = arrayTarget(arg);
  if (!target) return FAILURE;
  return zend_hash_next_index_insert(Z_ARRVAL_P(target), &value, sizeof(zval *), nullptr);
}

int assoc(zval *arg, const char *key, zend_uint key_len, zval *value) {
  zval *target = arrayTarget(arg);
  if (!target) return FAILURE;
  return zend_hash_update(Z_ARRVAL_P(target), key, key_len, &value, sizeof(zval *), nullptr);
}

int index(zval *arg, zend_ulong idx, zval *value) {
  zval *target = arrayTarget(arg);
  if (!target) return FAILURE;
  return zend_hash_index_update(Z_ARRVAL_P(target), idx, &value, sizeof(zval *), nullptr);
}

// A value converted in place first lets go of what its old kind owned.
void releaseOwned(zval *op) {
  if (Z_TYPE_P(op) == IS_STRING || Z_TYPE_P(op) == IS_ARRAY || Z_TYPE_P(op) == IS_OBJECT ||
      Z_TYPE_P(op) == IS_RESOURCE) {
    _zval_dtor(op);
  }
}

}  // namespace

extern "C" {

void _zval_ptr_dtor(zval **zval_ptr) {
  zval *z = *zval_ptr;
  if (!z) return;
  if (Z_DELREF_P(z) == 0) {
    _zval_dtor(z);
    efree(z);
  } else if (Z_REFCOUNT_P(z) == 1) {
    Z_UNSET_ISREF_P(z);
  }
}

void _zval_dtor(zval *zvalue) {
  switch (Z_TYPE_P(zvalue)) {
    case IS_STRING:
    case IS_CONSTANT:
      efree(Z_STRVAL_P(zvalue));
      break;
    case IS_ARRAY:
    case IS_CONSTANT_ARRAY:
      // $GLOBALS is the symbol table itself, which the request owns.
      if (Z_ARRVAL_P(zvalue) && Z_ARRVAL_P(zvalue) != &EG(symbol_table)) {
        zend_hash_destroy(Z_ARRVAL_P(zvalue));
        efree(Z_ARRVAL_P(zvalue));
      }
      break;
    case IS_OBJECT:
      zend_objects_store_del_ref(zvalue);
      break;
    case IS_RESOURCE:
      zend_list_delete(static_cast<int>(Z_RESVAL_P(zvalue)));
      break;
    default:
      break;
  }
}

void _zval_copy_ctor(zval *zvalue) {
  switch (Z_TYPE_P(zvalue)) {
    case IS_STRING:
    case IS_CONSTANT:
      Z_STRVAL_P(zvalue) = estrndup(Z_STRVAL_P(zvalue), static_cast<unsigned int>(Z_STRLEN_P(zvalue)));
      break;
    case IS_ARRAY:
    case IS_CONSTANT_ARRAY: {
      HashTable *original = Z_ARRVAL_P(zvalue);
      HashTable *copy = static_cast<HashTable *>(emalloc(sizeof(HashTable)));
      zend_hash_init(copy, zend_hash_num_elements(original), nullptr, ZVAL_PTR_DTOR, 0);
      for (Bucket *p = original->pListHead; p; p = p->pListNext) {
        void *data = p->pData;
        addRef(data);
        if (p->nKeyLength) {
          zend_hash_quick_update(copy, p->arKey, p->nKeyLength, p->h, data, sizeof(zval *), nullptr);
        } else {
          zend_hash_index_update(copy, p->h, data, sizeof(zval *), nullptr);
        }
      }
      Z_ARRVAL_P(zvalue) = copy;
      break;
    }
    case IS_OBJECT:
      zend_objects_store_add_ref(zvalue);
      break;
    case IS_RESOURCE:
      zend_list_addref(static_cast<int>(Z_RESVAL_P(zvalue)));
      break;
    default:
      break;
  }
}

void convert_to_string(zval *op) {
  char buf[64];
  switch (Z_TYPE_P(op)) {
    case IS_STRING:
      return;
    case IS_NULL:
      ZVAL_STRINGL(op, "", 0, 1);
      return;
    case IS_BOOL:
      if (Z_BVAL_P(op)) ZVAL_STRINGL(op, "1", 1, 1); else ZVAL_STRINGL(op, "", 0, 1);
      return;
    case IS_LONG:
      snprintf(buf, sizeof(buf), "%ld", Z_LVAL_P(op));
      ZVAL_STRING(op, buf, 1);
      return;
    case IS_DOUBLE:
      snprintf(buf, sizeof(buf), "%.*G", static_cast<int>(EG(precision)), Z_DVAL_P(op));
      ZVAL_STRING(op, buf, 1);
      return;
    case IS_RESOURCE: {
      long id = Z_RESVAL_P(op);
      zend_list_delete(static_cast<int>(id));
      snprintf(buf, sizeof(buf), "Resource id #%ld", id);
      ZVAL_STRING(op, buf, 1);
      return;
    }
    case IS_ARRAY:
      zend_error(E_NOTICE, "Array to string conversion");
      _zval_dtor(op);
      ZVAL_STRINGL(op, "Array", 5, 1);
      return;
    case IS_OBJECT:
      _zval_dtor(op);
      ZVAL_STRINGL(op, "Object", 6, 1);
      return;
    default:
      _zval_dtor(op);
      ZVAL_STRINGL(op, "", 0, 1);
      return;
  }
}

void convert_to_long(zval *op) {
  long value = 0;
  switch (Z_TYPE_P(op)) {
    case IS_LONG:
      return;
    case IS_NULL:
      value = 0;
      break;
    case IS_BOOL:
    case IS_RESOURCE:
      value = Z_LVAL_P(op);
      break;
    case IS_DOUBLE:
      value = static_cast<long>(Z_DVAL_P(op));
      break;
    case IS_STRING:
      value = strtol(Z_STRVAL_P(op), nullptr, 10);
      break;
    case IS_ARRAY:
      value = zend_hash_num_elements(Z_ARRVAL_P(op)) ? 1 : 0;
      break;
    default:
      value = 1;
      break;
  }
  releaseOwned(op);
  ZVAL_LONG(op, value);
}

void convert_to_boolean(zval *op) {
  int value = 0;
  switch (Z_TYPE_P(op)) {
    case IS_BOOL:
      return;
    case IS_NULL:
      value = 0;
      break;
    case IS_LONG:
    case IS_RESOURCE:
      value = Z_LVAL_P(op) != 0;
      break;
    case IS_DOUBLE:
      value = Z_DVAL_P(op) != 0;
      break;
    case IS_STRING:
      value = !(Z_STRLEN_P(op) == 0 || (Z_STRLEN_P(op) == 1 && Z_STRVAL_P(op)[0] == '0'));
      break;
    case IS_ARRAY:
      value = zend_hash_num_elements(Z_ARRVAL_P(op)) != 0;
      break;
    default:
      value = 1;
      break;
  }
  releaseOwned(op);
  ZVAL_BOOL(op, value);
}

void convert_to_double(zval *op) {
  double value = 0;
  switch (Z_TYPE_P(op)) {
    case IS_DOUBLE:
      return;
    case IS_LONG:
    case IS_BOOL:
      value = static_cast<double>(Z_LVAL_P(op));
      break;
    case IS_STRING:
      value = strtod(Z_STRVAL_P(op), nullptr);
      _zval_dtor(op);
      break;
    case IS_ARRAY:
      value = zend_hash_num_elements(Z_ARRVAL_P(op)) ? 1 : 0;
      _zval_dtor(op);
      break;
    default:
      break;
  }
  ZVAL_DOUBLE(op, value);
}

const char *zend_get_type_by_const(int type) {
  switch (type) {
    case IS_NULL: return "null";
    case IS_LONG: return "integer";
    case IS_DOUBLE: return "double";
    case IS_BOOL: return "boolean";
    case IS_ARRAY: return "array";
    case IS_OBJECT: return "object";
    case IS_STRING: return "string";
    case IS_RESOURCE: return "resource";
    case IS_CONSTANT: return "constant";
    case IS_CONSTANT_ARRAY: return "constant array";
    default: return "unknown";
  }
}

const char *zend_zval_type_name(const zval *arg) { return zend_get_type_by_const(Z_TYPE_P(arg)); }

char *zend_str_tolower_copy(char *dest, const char *source, unsigned int length) {
  for (unsigned int i = 0; i < length; ++i) {
    char c = source[i];
    dest[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  dest[length] = '\0';
  return dest;
}

char *zend_str_tolower_dup(const char *source, unsigned int length) {
  return zend_str_tolower_copy(static_cast<char *>(emalloc(length + 1)), source, length);
}

int _array_init(zval *arg, zend_uint size) {
  HashTable *ht = static_cast<HashTable *>(emalloc(sizeof(HashTable)));
  zend_hash_init(ht, size, nullptr, ZVAL_PTR_DTOR, 0);
  Z_ARRVAL_P(arg) = ht;
  Z_TYPE_P(arg) = IS_ARRAY;
  return SUCCESS;
}

int add_next_index_long(zval *arg, long n) { return nextIndex(arg, newLong(n)); }

int add_next_index_null(zval *arg) {
  zval *z;
  ALLOC_INIT_ZVAL(z);
  return nextIndex(arg, z);
}

int add_next_index_bool(zval *arg, int b) {
  zval *z;
  ALLOC_INIT_ZVAL(z);
  ZVAL_BOOL(z, b);
  return nextIndex(arg, z);
}

int add_next_index_double(zval *arg, double d) {
  zval *z;
  ALLOC_INIT_ZVAL(z);
  ZVAL_DOUBLE(z, d);
  return nextIndex(arg, z);
}

int add_next_index_string(zval *arg, const char *str, int duplicate) {
  return nextIndex(arg, newString(str, static_cast<zend_uint>(strlen(str)), duplicate));
}

int add_next_index_stringl(zval *arg, const char *str, zend_uint length, int duplicate) {
  return nextIndex(arg, newString(str, length, duplicate));
}

int add_next_index_zval(zval *arg, zval *value) { return nextIndex(arg, value); }

int add_index_long(zval *arg, zend_ulong idx, long n) { return index(arg, idx, newLong(n)); }

int add_index_string(zval *arg, zend_ulong idx, const char *str, int duplicate) {
  return index(arg, idx, newString(str, static_cast<zend_uint>(strlen(str)), duplicate));
}

int add_index_zval(zval *arg, zend_ulong idx, zval *value) { return index(arg, idx, value); }

int add_assoc_long_ex(zval *arg, const char *key, zend_uint key_len, long n) {
  return assoc(arg, key, key_len, newLong(n));
}

int add_assoc_null_ex(zval *arg, const char *key, zend_uint key_len) {
  zval *z;
  ALLOC_INIT_ZVAL(z);
  return assoc(arg, key, key_len, z);
}

int add_assoc_bool_ex(zval *arg, const char *key, zend_uint key_len, int b) {
  zval *z;
  ALLOC_INIT_ZVAL(z);
  ZVAL_BOOL(z, b);
  return assoc(arg, key, key_len, z);
}

int add_assoc_double_ex(zval *arg, const char *key, zend_uint key_len, double d) {
  zval *z;
  ALLOC_INIT_ZVAL(z);
  ZVAL_DOUBLE(z, d);
  return assoc(arg, key, key_len, z);
}

int add_assoc_string_ex(zval *arg, const char *key, zend_uint key_len, const char *str, int duplicate) {
  return assoc(arg, key, key_len, newString(str, static_cast<zend_uint>(strlen(str)), duplicate));
}

int add_assoc_stringl_ex(zval *arg, const char *key, zend_uint key_len, const char *str, zend_uint length,
                         int duplicate) {
  return assoc(arg, key, key_len, newString(str, length, duplicate));
}

int add_assoc_zval_ex(zval *arg, const char *key, zend_uint key_len, zval *value) {
  return assoc(arg, key, key_len, value);
}

}  // extern "C"
