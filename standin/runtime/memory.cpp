// Engine memory: every emalloc() block is linked into one list so that the
// end of a request can release whatever is left, including what frames that
// were skipped by a bailout would have freed.
#include <stdio.h>

#include "engine_internal.h"

namespace {

struct alignas(16) BlockHeader {
  BlockHeader *prev;
  BlockHeader *next;
  size_t size;
};

BlockHeader *gBlocks = nullptr;

[[noreturn]] void outOfMemory(size_t size) {
  fprintf(stderr, "standin engine: out of memory allocating %zu bytes\n", size);
  abort();
}

void *blockData(BlockHeader *h) { return h + 1; }
BlockHeader *blockOf(void *p) { return static_cast<BlockHeader *>(p) - 1; }

void link(BlockHeader *h) {
  h->prev = nullptr;
  h->next = gBlocks;
  if (gBlocks) gBlocks->prev = h;
  gBlocks = h;
}

void unlink(BlockHeader *h) {
  if (h->prev) h->prev->next = h->next; else gBlocks = h->next;
  if (h->next) h->next->prev = h->prev;
}

}  // namespace

extern "C" {

void *_emalloc(size_t size) {
  BlockHeader *h = static_cast<BlockHeader *>(malloc(sizeof(BlockHeader) + size));
  if (!h) outOfMemory(size);
  h->size = size;
  link(h);
  return blockData(h);
}

void *_safe_emalloc(size_t nmemb, size_t size, size_t offset) {
  if (size != 0 && nmemb > (SIZE_MAX - offset) / size) outOfMemory(SIZE_MAX);
  return _emalloc(nmemb * size + offset);
}

void *_ecalloc(size_t nmemb, size_t size) {
  void *p = _safe_emalloc(nmemb, size, 0);
  memset(p, 0, nmemb * size);
  return p;
}

void *_erealloc(void *ptr, size_t size) {
  if (!ptr) return _emalloc(size);
  BlockHeader *old = blockOf(ptr);
  unlink(old);
  BlockHeader *h = static_cast<BlockHeader *>(realloc(old, sizeof(BlockHeader) + size));
  if (!h) outOfMemory(size);
  h->size = size;
  link(h);
  return blockData(h);
}

void _efree(void *ptr) {
  if (!ptr) return;
  BlockHeader *h = blockOf(ptr);
  unlink(h);
  free(h);
}

char *_estrdup(const char *s) { return _estrndup(s, static_cast<unsigned int>(strlen(s))); }

char *_estrndup(const char *s, unsigned int length) {
  char *p = static_cast<char *>(_emalloc(length + 1));
  memcpy(p, s, length);
  p[length] = '\0';
  return p;
}

void *__zend_malloc(size_t len) {
  void *p = malloc(len ? len : 1);
  if (!p) outOfMemory(len);
  return p;
}

void *__zend_calloc(size_t nmemb, size_t len) {
  void *p = calloc(nmemb ? nmemb : 1, len ? len : 1);
  if (!p) outOfMemory(nmemb * len);
  return p;
}

void *__zend_realloc(void *p, size_t len) {
  void *q = realloc(p, len ? len : 1);
  if (!q) outOfMemory(len);
  return q;
}

}  // extern "C"

namespace standin {

void releaseEngineMemory() {
  while (gBlocks) {
    BlockHeader *h = gBlocks;
    gBlocks = h->next;
    free(h);
  }
}

size_t engineMemoryBlocks() {
  size_t n = 0;
  for (BlockHeader *h = gBlocks; h; h = h->next) ++n;
  return n;
}

}  // namespace standin
