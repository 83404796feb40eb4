// Hash tables (chained buckets plus an insertion-order list) and linked
// lists.
#include <limits.h>

#include "engine_internal.h"

namespace {

const zend_uint kMinTableSize = 8;

zend_uint roundUpPowerOfTwo(zend_uint n) {
  zend_uint size = kMinTableSize;
  while (size < n && size < (1u << 30)) size <<= 1;
  return size;
}

void storeData(HashTable *ht, Bucket *p, void *pData, zend_uint nDataSize) {
  if (nDataSize == sizeof(void *)) {
    memcpy(&p->pDataPtr, pData, sizeof(void *));
    p->pData = &p->pDataPtr;
  } else {
    p->pData = pemalloc(nDataSize ? nDataSize : 1, ht->persistent);
    memcpy(p->pData, pData, nDataSize);
    p->pDataPtr = nullptr;
  }
}

void releaseData(HashTable *ht, Bucket *p) {
  if (ht->pDestructor) ht->pDestructor(p->pData);
  if (p->pData != &p->pDataPtr) pefree(p->pData, ht->persistent);
  p->pData = nullptr;
}

void rehash(HashTable *ht) {
  memset(ht->arBuckets, 0, ht->nTableSize * sizeof(Bucket *));
  for (Bucket *p = ht->pListHead; p; p = p->pListNext) {
    zend_uint idx = static_cast<zend_uint>(p->h & ht->nTableMask);
    p->pLast = nullptr;
    p->pNext = ht->arBuckets[idx];
    if (p->pNext) p->pNext->pLast = p;
    ht->arBuckets[idx] = p;
  }
}

void growIfNeeded(HashTable *ht) {
  if (ht->nNumOfElements < ht->nTableSize || ht->nTableSize >= (1u << 30)) return;
  zend_uint newSize = ht->nTableSize << 1;
  ht->arBuckets = static_cast<Bucket **>(
      perealloc(ht->arBuckets, newSize * sizeof(Bucket *), ht->persistent));
  ht->nTableSize = newSize;
  ht->nTableMask = newSize - 1;
  rehash(ht);
}

void linkBucket(HashTable *ht, Bucket *p) {
  zend_uint idx = static_cast<zend_uint>(p->h & ht->nTableMask);
  p->pLast = nullptr;
  p->pNext = ht->arBuckets[idx];
  if (p->pNext) p->pNext->pLast = p;
  ht->arBuckets[idx] = p;

  p->pListNext = nullptr;
  p->pListLast = ht->pListTail;
  if (ht->pListTail) ht->pListTail->pListNext = p;
  ht->pListTail = p;
  if (!ht->pListHead) ht->pListHead = p;
  if (!ht->pInternalPointer) ht->pInternalPointer = p;
  ht->nNumOfElements++;
}

void unlinkBucket(HashTable *ht, Bucket *p) {
  if (p->pLast) p->pLast->pNext = p->pNext;
  else ht->arBuckets[p->h & ht->nTableMask] = p->pNext;
  if (p->pNext) p->pNext->pLast = p->pLast;

  if (p->pListLast) p->pListLast->pListNext = p->pListNext;
  else ht->pListHead = p->pListNext;
  if (p->pListNext) p->pListNext->pListLast = p->pListLast;
  else ht->pListTail = p->pListLast;
  if (ht->pInternalPointer == p) ht->pInternalPointer = p->pListNext;
  ht->nNumOfElements--;
}

// Takes an element out of the table and releases it with its data.
void removeBucket(HashTable *ht, Bucket *p) {
  unlinkBucket(ht, p);
  releaseData(ht, p);
  pefree(p, ht->persistent);
}

Bucket *findString(const HashTable *ht, const char *arKey, zend_uint nKeyLength, zend_ulong h) {
  if (!ht->arBuckets || nKeyLength == 0) return nullptr;
  for (Bucket *p = ht->arBuckets[h & ht->nTableMask]; p; p = p->pNext) {
    if (p->h == h && p->nKeyLength == nKeyLength && memcmp(p->arKey, arKey, nKeyLength) == 0) return p;
  }
  return nullptr;
}

Bucket *findIndex(const HashTable *ht, zend_ulong h) {
  if (!ht->arBuckets) return nullptr;
  for (Bucket *p = ht->arBuckets[h & ht->nTableMask]; p; p = p->pNext) {
    if (p->h == h && p->nKeyLength == 0) return p;
  }
  return nullptr;
}

void noteIndex(HashTable *ht, zend_ulong h) {
  if (static_cast<long>(h) >= static_cast<long>(ht->nNextFreeElement)) {
    ht->nNextFreeElement = static_cast<long>(h) < LONG_MAX ? h + 1 : LONG_MAX;
  }
}

}  // namespace

extern "C" {

int _zend_hash_init(HashTable *ht, zend_uint nSize, dtor_func_t pDestructor, zend_bool persistent) {
  memset(ht, 0, sizeof(*ht));
  ht->nTableSize = roundUpPowerOfTwo(nSize);
  ht->nTableMask = ht->nTableSize - 1;
  ht->pDestructor = pDestructor;
  ht->persistent = persistent;
  ht->arBuckets = static_cast<Bucket **>(pecalloc(ht->nTableSize, sizeof(Bucket *), persistent));
  return SUCCESS;
}

void zend_hash_clean(HashTable *ht) {
  Bucket *p = ht->pListHead;
  // Detach first: a destructor may look at the table.
  ht->pListHead = ht->pListTail = ht->pInternalPointer = nullptr;
  ht->nNumOfElements = 0;
  ht->nNextFreeElement = 0;
  if (ht->arBuckets) memset(ht->arBuckets, 0, ht->nTableSize * sizeof(Bucket *));
  while (p) {
    Bucket *next = p->pListNext;
    releaseData(ht, p);
    pefree(p, ht->persistent);
    p = next;
  }
}

void zend_hash_destroy(HashTable *ht) {
  if (!ht->arBuckets) return;
  zend_hash_clean(ht);
  pefree(ht->arBuckets, ht->persistent);
  ht->arBuckets = nullptr;
  ht->nTableSize = 0;
}

zend_ulong zend_hash_func(const char *arKey, zend_uint nKeyLength) {
  zend_ulong h = 5381;
  for (zend_uint i = 0; i < nKeyLength; ++i) h = h * 33 + static_cast<unsigned char>(arKey[i]);
  return h;
}

int _zend_hash_quick_add_or_update(HashTable *ht, const char *arKey, zend_uint nKeyLength, zend_ulong h,
                                   void *pData, zend_uint nDataSize, void **pDest, int flag) {
  if (nKeyLength == 0) {
    return _zend_hash_index_update_or_next_insert(ht, h, pData, nDataSize, pDest, flag);
  }
  if (!ht->arBuckets) return FAILURE;
  Bucket *p = findString(ht, arKey, nKeyLength, h);
  if (p) {
    if (flag & HASH_ADD) return FAILURE;
    releaseData(ht, p);
    storeData(ht, p, pData, nDataSize);
    if (pDest) *pDest = p->pData;
    return SUCCESS;
  }
  p = static_cast<Bucket *>(pemalloc(sizeof(Bucket) + nKeyLength, ht->persistent));
  char *key = reinterpret_cast<char *>(p + 1);
  memcpy(key, arKey, nKeyLength);
  p->arKey = key;
  p->nKeyLength = nKeyLength;
  p->h = h;
  storeData(ht, p, pData, nDataSize);
  linkBucket(ht, p);
  growIfNeeded(ht);
  if (pDest) *pDest = p->pData;
  return SUCCESS;
}

int _zend_hash_add_or_update(HashTable *ht, const char *arKey, zend_uint nKeyLength, void *pData,
                             zend_uint nDataSize, void **pDest, int flag) {
  return _zend_hash_quick_add_or_update(ht, arKey, nKeyLength, zend_hash_func(arKey, nKeyLength), pData,
                                        nDataSize, pDest, flag);
}

int _zend_hash_index_update_or_next_insert(HashTable *ht, zend_ulong h, void *pData, zend_uint nDataSize,
                                           void **pDest, int flag) {
  if (!ht->arBuckets) return FAILURE;
  if (flag & HASH_NEXT_INSERT) h = ht->nNextFreeElement;
  Bucket *p = findIndex(ht, h);
  if (p) {
    if (flag & (HASH_NEXT_INSERT | HASH_ADD)) return FAILURE;
    releaseData(ht, p);
    storeData(ht, p, pData, nDataSize);
    noteIndex(ht, h);
    if (pDest) *pDest = p->pData;
    return SUCCESS;
  }
  p = static_cast<Bucket *>(pemalloc(sizeof(Bucket), ht->persistent));
  p->arKey = nullptr;
  p->nKeyLength = 0;
  p->h = h;
  storeData(ht, p, pData, nDataSize);
  linkBucket(ht, p);
  noteIndex(ht, h);
  growIfNeeded(ht);
  if (pDest) *pDest = p->pData;
  return SUCCESS;
}

int zend_hash_find(const HashTable *ht, const char *arKey, zend_uint nKeyLength, void **pData) {
  return zend_hash_quick_find(ht, arKey, nKeyLength, zend_hash_func(arKey, nKeyLength), pData);
}

int zend_hash_quick_find(const HashTable *ht, const char *arKey, zend_uint nKeyLength, zend_ulong h,
                         void **pData) {
  if (nKeyLength == 0) return zend_hash_index_find(ht, h, pData);
  Bucket *p = findString(ht, arKey, nKeyLength, h);
  if (!p) return FAILURE;
  *pData = p->pData;
  return SUCCESS;
}

int zend_hash_index_find(const HashTable *ht, zend_ulong h, void **pData) {
  Bucket *p = findIndex(ht, h);
  if (!p) return FAILURE;
  *pData = p->pData;
  return SUCCESS;
}

int zend_hash_exists(const HashTable *ht, const char *arKey, zend_uint nKeyLength) {
  return findString(ht, arKey, nKeyLength, zend_hash_func(arKey, nKeyLength)) != nullptr;
}

int zend_hash_quick_exists(const HashTable *ht, const char *arKey, zend_uint nKeyLength, zend_ulong h) {
  if (nKeyLength == 0) return zend_hash_index_exists(ht, h);
  return findString(ht, arKey, nKeyLength, h) != nullptr;
}

int zend_hash_index_exists(const HashTable *ht, zend_ulong h) { return findIndex(ht, h) != nullptr; }

int zend_hash_del_key_or_index(HashTable *ht, const char *arKey, zend_uint nKeyLength, zend_ulong h,
                               int flag) {
  Bucket *p = (flag == HASH_DEL_KEY) ? findString(ht, arKey, nKeyLength, zend_hash_func(arKey, nKeyLength))
                                     : findIndex(ht, h);
  if (!p) return FAILURE;
  removeBucket(ht, p);
  return SUCCESS;
}

zend_ulong zend_hash_next_free_element(const HashTable *ht) { return ht->nNextFreeElement; }

int zend_hash_num_elements(const HashTable *ht) { return static_cast<int>(ht->nNumOfElements); }

void zend_hash_internal_pointer_reset_ex(HashTable *ht, HashPosition *pos) {
  if (pos) *pos = ht->pListHead; else ht->pInternalPointer = ht->pListHead;
}

void zend_hash_internal_pointer_end_ex(HashTable *ht, HashPosition *pos) {
  if (pos) *pos = ht->pListTail; else ht->pInternalPointer = ht->pListTail;
}

int zend_hash_move_forward_ex(HashTable *ht, HashPosition *pos) {
  HashPosition *current = pos ? pos : &ht->pInternalPointer;
  if (!*current) return FAILURE;
  *current = (*current)->pListNext;
  return SUCCESS;
}

int zend_hash_move_backwards_ex(HashTable *ht, HashPosition *pos) {
  HashPosition *current = pos ? pos : &ht->pInternalPointer;
  if (!*current) return FAILURE;
  *current = (*current)->pListLast;
  return SUCCESS;
}

int zend_hash_get_current_key_ex(const HashTable *ht, char **str_index, zend_uint *str_length,
                                 zend_ulong *num_index, zend_bool duplicate, HashPosition *pos) {
  Bucket *p = pos ? *pos : ht->pInternalPointer;
  if (!p) return HASH_KEY_NON_EXISTENT;
  if (p->nKeyLength) {
    if (str_index) {
      *str_index = duplicate ? estrndup(p->arKey, p->nKeyLength - 1) : const_cast<char *>(p->arKey);
    }
    if (str_length) *str_length = p->nKeyLength;
    return HASH_KEY_IS_STRING;
  }
  if (num_index) *num_index = p->h;
  return HASH_KEY_IS_LONG;
}

int zend_hash_get_current_key_type_ex(HashTable *ht, HashPosition *pos) {
  Bucket *p = pos ? *pos : ht->pInternalPointer;
  if (!p) return HASH_KEY_NON_EXISTENT;
  return p->nKeyLength ? HASH_KEY_IS_STRING : HASH_KEY_IS_LONG;
}

int zend_hash_get_current_data_ex(HashTable *ht, void **pData, HashPosition *pos) {
  Bucket *p = pos ? *pos : ht->pInternalPointer;
  if (!p) return FAILURE;
  *pData = p->pData;
  return SUCCESS;
}

void zend_hash_apply(HashTable *ht, apply_func_t apply_func) {
  Bucket *p = ht->pListHead;
  while (p) {
    Bucket *next = p->pListNext;
    int result = apply_func(p->pData);
    if (result & ZEND_HASH_APPLY_REMOVE) {
      removeBucket(ht, p);
    }
    if (result & ZEND_HASH_APPLY_STOP) break;
    p = next;
  }
}

void zend_hash_apply_with_argument(HashTable *ht, apply_func_arg_t apply_func, void *argument) {
  Bucket *p = ht->pListHead;
  while (p) {
    Bucket *next = p->pListNext;
    int result = apply_func(p->pData, argument);
    if (result & ZEND_HASH_APPLY_REMOVE) {
      removeBucket(ht, p);
    }
    if (result & ZEND_HASH_APPLY_STOP) break;
    p = next;
  }
}

// Linked lists.

void zend_llist_init(zend_llist *l, size_t size, llist_dtor_func_t dtor, unsigned char persistent) {
  l->head = l->tail = l->traverse_ptr = nullptr;
  l->count = 0;
  l->size = size;
  l->dtor = dtor;
  l->persistent = persistent;
}

static zend_llist_element *newElement(zend_llist *l, void *element) {
  zend_llist_element *e = static_cast<zend_llist_element *>(
      pemalloc(offsetof(zend_llist_element, data) + l->size, l->persistent));
  memcpy(e->data, element, l->size);
  return e;
}

void zend_llist_add_element(zend_llist *l, void *element) {
  zend_llist_element *e = newElement(l, element);
  e->next = nullptr;
  e->prev = l->tail;
  if (l->tail) l->tail->next = e; else l->head = e;
  l->tail = e;
  l->count++;
}

void zend_llist_prepend_element(zend_llist *l, void *element) {
  zend_llist_element *e = newElement(l, element);
  e->prev = nullptr;
  e->next = l->head;
  if (l->head) l->head->prev = e; else l->tail = e;
  l->head = e;
  l->count++;
}

void zend_llist_del_element(zend_llist *l, void *element, int (*compare)(void *element1, void *element2)) {
  for (zend_llist_element *e = l->head; e; e = e->next) {
    if (compare(e->data, element)) {
      if (e->prev) e->prev->next = e->next; else l->head = e->next;
      if (e->next) e->next->prev = e->prev; else l->tail = e->prev;
      if (l->traverse_ptr == e) l->traverse_ptr = nullptr;
      if (l->dtor) l->dtor(e->data);
      pefree(e, l->persistent);
      l->count--;
      return;
    }
  }
}

void zend_llist_destroy(zend_llist *l) {
  zend_llist_element *e = l->head;
  while (e) {
    zend_llist_element *next = e->next;
    if (l->dtor) l->dtor(e->data);
    pefree(e, l->persistent);
    e = next;
  }
  l->head = l->tail = l->traverse_ptr = nullptr;
  l->count = 0;
}

void zend_llist_clean(zend_llist *l) { zend_llist_destroy(l); }

void zend_llist_apply(zend_llist *l, llist_apply_func_t func) {
  for (zend_llist_element *e = l->head; e; e = e->next) func(e->data);
}

int zend_llist_count(zend_llist *l) { return static_cast<int>(l->count); }

void *zend_llist_get_first_ex(zend_llist *l, zend_llist_position *pos) {
  zend_llist_position *current = pos ? pos : &l->traverse_ptr;
  *current = l->head;
  return *current ? (*current)->data : nullptr;
}

void *zend_llist_get_last_ex(zend_llist *l, zend_llist_position *pos) {
  zend_llist_position *current = pos ? pos : &l->traverse_ptr;
  *current = l->tail;
  return *current ? (*current)->data : nullptr;
}

void *zend_llist_get_next_ex(zend_llist *l, zend_llist_position *pos) {
  zend_llist_position *current = pos ? pos : &l->traverse_ptr;
  if (!*current) return nullptr;
  *current = (*current)->next;
  return *current ? (*current)->data : nullptr;
}

void *zend_llist_get_prev_ex(zend_llist *l, zend_llist_position *pos) {
  zend_llist_position *current = pos ? pos : &l->traverse_ptr;
  if (!*current) return nullptr;
  *current = (*current)->prev;
  return *current ? (*current)->data : nullptr;
}

}  // extern "C"
