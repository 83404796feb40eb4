// Hash tables and linked lists of the stand-in engine.
//
// A table maps string keys or integer keys to stored data and keeps the
// insertion order. A string key's length COUNTS its terminating NUL: the key
// "_SERVER" is looked up with length 8 (sizeof("_SERVER")). Integer keys have
// no string and length 0.
//
// Stored data is copied in: a table of zval pointers stores the pointer
// (nDataSize sizeof(zval *)) and a lookup gives back a pointer to the stored
// pointer (zval **); a table of records stores a copy of the record. The
// element destructor, when set, runs on the stored data (it receives the
// same pointer a lookup gives) whenever an element is replaced, deleted,
// cleaned or destroyed.
//
// Lookups return SUCCESS (0) and set *pData, or FAILURE (-1). The quick
// variants take the hash of the key precomputed with zend_hash_func() over
// the same bytes and length.
//
// Iteration follows insertion order. The *_ex functions take a position of
// the caller's own and never move the table's internal pointer; the plain
// ones use the internal pointer.
#ifndef STANDIN_PHP_ENGINE_HASH_H
#define STANDIN_PHP_ENGINE_HASH_H

#include "php_engine_types.h"

typedef void (*dtor_func_t)(void *pDest);
typedef void (*copy_ctor_func_t)(void *pElement);
typedef zend_ulong (*hash_func_t)(const char *arKey, zend_uint nKeyLength);

typedef struct bucket {
  zend_ulong h;           // hash of the string key, or the integer key
  zend_uint nKeyLength;   // string key length counting the NUL; 0 for integer keys
  void *pData;            // the stored data
  void *pDataPtr;         // storage for data of pointer size
  struct bucket *pListNext;  // insertion order
  struct bucket *pListLast;
  struct bucket *pNext;      // collision chain
  struct bucket *pLast;
  const char *arKey;      // the string key, or NULL
} Bucket;

struct _hashtable {
  zend_uint nTableSize;
  zend_uint nTableMask;
  zend_uint nNumOfElements;
  zend_ulong nNextFreeElement;
  Bucket *pInternalPointer;
  Bucket *pListHead;
  Bucket *pListTail;
  Bucket **arBuckets;
  dtor_func_t pDestructor;
  zend_bool persistent;
  unsigned char nApplyCount;
  zend_bool bApplyProtection;
};

typedef Bucket *HashPosition;

#define HASH_UPDATE (1 << 0)
#define HASH_ADD (1 << 1)
#define HASH_NEXT_INSERT (1 << 2)

#define HASH_DEL_KEY 0
#define HASH_DEL_INDEX 1

#define HASH_KEY_IS_STRING 1
#define HASH_KEY_IS_LONG 2
#define HASH_KEY_NON_EXISTENT 3

BEGIN_EXTERN_C()

ZEND_API int _zend_hash_init(HashTable *ht, zend_uint nSize, dtor_func_t pDestructor, zend_bool persistent);
ZEND_API void zend_hash_destroy(HashTable *ht);
ZEND_API void zend_hash_clean(HashTable *ht);

ZEND_API zend_ulong zend_hash_func(const char *arKey, zend_uint nKeyLength);

ZEND_API int _zend_hash_add_or_update(HashTable *ht, const char *arKey, zend_uint nKeyLength,
                                      void *pData, zend_uint nDataSize, void **pDest, int flag);
ZEND_API int _zend_hash_quick_add_or_update(HashTable *ht, const char *arKey, zend_uint nKeyLength,
                                            zend_ulong h, void *pData, zend_uint nDataSize,
                                            void **pDest, int flag);
ZEND_API int _zend_hash_index_update_or_next_insert(HashTable *ht, zend_ulong h, void *pData,
                                                    zend_uint nDataSize, void **pDest, int flag);

ZEND_API int zend_hash_find(const HashTable *ht, const char *arKey, zend_uint nKeyLength, void **pData);
ZEND_API int zend_hash_quick_find(const HashTable *ht, const char *arKey, zend_uint nKeyLength,
                                  zend_ulong h, void **pData);
ZEND_API int zend_hash_index_find(const HashTable *ht, zend_ulong h, void **pData);
ZEND_API int zend_hash_exists(const HashTable *ht, const char *arKey, zend_uint nKeyLength);
ZEND_API int zend_hash_quick_exists(const HashTable *ht, const char *arKey, zend_uint nKeyLength,
                                    zend_ulong h);
ZEND_API int zend_hash_index_exists(const HashTable *ht, zend_ulong h);
ZEND_API int zend_hash_del_key_or_index(HashTable *ht, const char *arKey, zend_uint nKeyLength,
                                        zend_ulong h, int flag);
ZEND_API zend_ulong zend_hash_next_free_element(const HashTable *ht);
ZEND_API int zend_hash_num_elements(const HashTable *ht);

ZEND_API void zend_hash_internal_pointer_reset_ex(HashTable *ht, HashPosition *pos);
ZEND_API void zend_hash_internal_pointer_end_ex(HashTable *ht, HashPosition *pos);
ZEND_API int zend_hash_move_forward_ex(HashTable *ht, HashPosition *pos);
ZEND_API int zend_hash_move_backwards_ex(HashTable *ht, HashPosition *pos);
// *str_index receives the key (a copy in engine memory when duplicate is set)
// and *str_length its length counting the NUL.
ZEND_API int zend_hash_get_current_key_ex(const HashTable *ht, char **str_index, zend_uint *str_length,
                                          zend_ulong *num_index, zend_bool duplicate, HashPosition *pos);
ZEND_API int zend_hash_get_current_key_type_ex(HashTable *ht, HashPosition *pos);
ZEND_API int zend_hash_get_current_data_ex(HashTable *ht, void **pData, HashPosition *pos);

typedef int (*apply_func_t)(void *pDest);
typedef int (*apply_func_arg_t)(void *pDest, void *argument);
#define ZEND_HASH_APPLY_KEEP 0
#define ZEND_HASH_APPLY_REMOVE (1 << 0)
#define ZEND_HASH_APPLY_STOP (1 << 1)
ZEND_API void zend_hash_apply(HashTable *ht, apply_func_t apply_func);
ZEND_API void zend_hash_apply_with_argument(HashTable *ht, apply_func_arg_t apply_func, void *argument);

END_EXTERN_C()

#define zend_hash_init(ht, nSize, pHashFunction, pDestructor, persistent) \
  _zend_hash_init((ht), (nSize), (pDestructor), (persistent))
#define zend_hash_init_ex(ht, nSize, pHashFunction, pDestructor, persistent, bApplyProtection) \
  _zend_hash_init((ht), (nSize), (pDestructor), (persistent))

#define zend_hash_update(ht, arKey, nKeyLength, pData, nDataSize, pDest) \
  _zend_hash_add_or_update(ht, arKey, nKeyLength, pData, nDataSize, pDest, HASH_UPDATE)
#define zend_hash_add(ht, arKey, nKeyLength, pData, nDataSize, pDest) \
  _zend_hash_add_or_update(ht, arKey, nKeyLength, pData, nDataSize, pDest, HASH_ADD)
#define zend_hash_quick_update(ht, arKey, nKeyLength, h, pData, nDataSize, pDest) \
  _zend_hash_quick_add_or_update(ht, arKey, nKeyLength, h, pData, nDataSize, pDest, HASH_UPDATE)
#define zend_hash_quick_add(ht, arKey, nKeyLength, h, pData, nDataSize, pDest) \
  _zend_hash_quick_add_or_update(ht, arKey, nKeyLength, h, pData, nDataSize, pDest, HASH_ADD)
#define zend_hash_index_update(ht, h, pData, nDataSize, pDest) \
  _zend_hash_index_update_or_next_insert(ht, h, pData, nDataSize, pDest, HASH_UPDATE)
#define zend_hash_next_index_insert(ht, pData, nDataSize, pDest) \
  _zend_hash_index_update_or_next_insert(ht, 0, pData, nDataSize, pDest, HASH_NEXT_INSERT)
#define zend_hash_del(ht, arKey, nKeyLength) \
  zend_hash_del_key_or_index(ht, arKey, nKeyLength, 0, HASH_DEL_KEY)
#define zend_hash_index_del(ht, h) \
  zend_hash_del_key_or_index(ht, NULL, 0, h, HASH_DEL_INDEX)

#define zend_hash_internal_pointer_reset(ht) zend_hash_internal_pointer_reset_ex(ht, NULL)
#define zend_hash_internal_pointer_end(ht) zend_hash_internal_pointer_end_ex(ht, NULL)
#define zend_hash_move_forward(ht) zend_hash_move_forward_ex(ht, NULL)
#define zend_hash_move_backwards(ht) zend_hash_move_backwards_ex(ht, NULL)
#define zend_hash_get_current_key(ht, str_index, num_index, duplicate) \
  zend_hash_get_current_key_ex(ht, str_index, NULL, num_index, duplicate, NULL)
#define zend_hash_get_current_key_type(ht) zend_hash_get_current_key_type_ex(ht, NULL)
#define zend_hash_get_current_data(ht, pData) zend_hash_get_current_data_ex(ht, pData, NULL)

// Doubly linked lists (the server's header list is one).
typedef struct _zend_llist_element {
  struct _zend_llist_element *next;
  struct _zend_llist_element *prev;
  char data[1] __attribute__((aligned(sizeof(void *))));  // the element's bytes, size bytes long
} zend_llist_element;

typedef void (*llist_dtor_func_t)(void *);
typedef void (*llist_apply_func_t)(void *);
typedef int (*llist_compare_func_t)(const zend_llist_element **, const zend_llist_element **);

typedef struct _zend_llist {
  zend_llist_element *head;
  zend_llist_element *tail;
  size_t count;
  size_t size;
  llist_dtor_func_t dtor;
  unsigned char persistent;
  zend_llist_element *traverse_ptr;
} zend_llist;

typedef zend_llist_element *zend_llist_position;

BEGIN_EXTERN_C()
ZEND_API void zend_llist_init(zend_llist *l, size_t size, llist_dtor_func_t dtor, unsigned char persistent);
ZEND_API void zend_llist_add_element(zend_llist *l, void *element);
ZEND_API void zend_llist_prepend_element(zend_llist *l, void *element);
ZEND_API void zend_llist_del_element(zend_llist *l, void *element, int (*compare)(void *element1, void *element2));
ZEND_API void zend_llist_destroy(zend_llist *l);
ZEND_API void zend_llist_clean(zend_llist *l);
ZEND_API void zend_llist_apply(zend_llist *l, llist_apply_func_t func);
ZEND_API int zend_llist_count(zend_llist *l);
ZEND_API void *zend_llist_get_first_ex(zend_llist *l, zend_llist_position *pos);
ZEND_API void *zend_llist_get_last_ex(zend_llist *l, zend_llist_position *pos);
ZEND_API void *zend_llist_get_next_ex(zend_llist *l, zend_llist_position *pos);
ZEND_API void *zend_llist_get_prev_ex(zend_llist *l, zend_llist_position *pos);
END_EXTERN_C()

#define zend_llist_get_first(l) zend_llist_get_first_ex(l, NULL)
#define zend_llist_get_last(l) zend_llist_get_last_ex(l, NULL)
#define zend_llist_get_next(l) zend_llist_get_next_ex(l, NULL)
#define zend_llist_get_prev(l) zend_llist_get_prev_ex(l, NULL)

#endif
