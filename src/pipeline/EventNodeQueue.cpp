#include "pipeline/EventNodeQueue.h"

#include <new>

struct EventNodeQueue::Slab {
  Slab *next;
  size_t count;
  Node *nodes() { return reinterpret_cast<Node *>(this + 1); }
};

namespace {
// Nodes per slab at most: a growth step of 100000 nodes takes two slabs,
// and a failed allocation loses at most this much of a step.
const size_t kMaxSlabNodes = 65536;
}  // namespace

EventNodeQueue::EventNodeQueue(size_t reserved)
    : head(0), tail(0), freeTop(0), slabs(nullptr) {
  // One node more than asked for: the queue always holds one spent node
  // (the one before the oldest record).
  if (reserve(reserved + 1) != reserved + 1) {
    releaseSlabs();
    throw std::bad_alloc();
  }
  Node *dummy = takeFree();
  dummy->next.store(link(nullptr, nextTag(dummy->next.load())),
                    std::memory_order_relaxed);
  head.store(link(dummy, 0), std::memory_order_relaxed);
  tail.store(link(dummy, 0), std::memory_order_release);
}

EventNodeQueue::~EventNodeQueue() { releaseSlabs(); }

void EventNodeQueue::releaseSlabs() {
  Slab *s = slabs.load(std::memory_order_acquire);
  while (s) {
    Slab *next = s->next;
    ::operator delete(s);
    s = next;
  }
  slabs.store(nullptr, std::memory_order_relaxed);
}

EventNodeQueue::Slab *EventNodeQueue::addSlab(size_t count) noexcept {
  void *memory = ::operator new(sizeof(Slab) + count * sizeof(Node),
                                std::nothrow);
  if (!memory) return nullptr;
  Slab *slab = static_cast<Slab *>(memory);
  slab->count = count;
  Node *nodes = slab->nodes();
  // Links keep 48 bits of address; memory beyond that cannot be used.
  if ((reinterpret_cast<uintptr_t>(nodes + count) & ~kPointerMask) != 0) {
    ::operator delete(memory);
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) {
    Node *n = new (&nodes[i]) Node();
    n->next.store(link(i + 1 < count ? &nodes[i + 1] : nullptr, 0),
                  std::memory_order_relaxed);
    n->item.store(nullptr, std::memory_order_relaxed);
  }
  slab->next = slabs.load(std::memory_order_relaxed);
  while (!slabs.compare_exchange_weak(slab->next, slab,
                                      std::memory_order_release,
                                      std::memory_order_relaxed)) {
  }
  // Splice the slab's chain onto the pool in one step.
  Node *last = &nodes[count - 1];
  uint64_t top = freeTop.load(std::memory_order_relaxed);
  do {
    last->next.store(link(target(top), 0), std::memory_order_relaxed);
  } while (!freeTop.compare_exchange_weak(top, link(nodes, nextTag(top)),
                                          std::memory_order_release,
                                          std::memory_order_relaxed));
  return slab;
}

size_t EventNodeQueue::reserve(size_t n) noexcept {
  size_t added = 0;
  while (added < n) {
    const size_t count = n - added < kMaxSlabNodes ? n - added : kMaxSlabNodes;
    if (!addSlab(count)) break;
    added += count;
  }
  return added;
}

EventNodeQueue::Node *EventNodeQueue::takeFree() {
  uint64_t top = freeTop.load(std::memory_order_acquire);
  for (;;) {
    Node *n = target(top);
    if (!n) return nullptr;
    // `n` may be taken and reused by another thread meanwhile; its memory
    // stays valid, and the tag makes the swap below fail then.
    const uint64_t next = n->next.load(std::memory_order_relaxed);
    if (freeTop.compare_exchange_weak(top, link(target(next), nextTag(top)),
                                      std::memory_order_acquire,
                                      std::memory_order_acquire))
      return n;
  }
}

void EventNodeQueue::giveFree(Node *n) {
  uint64_t top = freeTop.load(std::memory_order_relaxed);
  const uint64_t tag = nextTag(n->next.load(std::memory_order_relaxed));
  do {
    n->next.store(link(target(top), tag), std::memory_order_relaxed);
  } while (!freeTop.compare_exchange_weak(top, link(n, nextTag(top)),
                                          std::memory_order_release,
                                          std::memory_order_relaxed));
}

bool EventNodeQueue::bounded_push(DataQueueItem *item) {
  Node *n = takeFree();
  if (!n) return false;
  n->item.store(item, std::memory_order_relaxed);
  n->next.store(link(nullptr, nextTag(n->next.load(std::memory_order_relaxed))),
                std::memory_order_relaxed);
  for (;;) {
    uint64_t last = tail.load(std::memory_order_acquire);
    Node *t = target(last);
    uint64_t next = t->next.load(std::memory_order_acquire);
    if (last != tail.load(std::memory_order_acquire)) continue;
    if (target(next) == nullptr) {
      if (t->next.compare_exchange_weak(next, link(n, nextTag(next)),
                                        std::memory_order_release,
                                        std::memory_order_relaxed)) {
        tail.compare_exchange_strong(last, link(n, nextTag(last)),
                                     std::memory_order_release,
                                     std::memory_order_relaxed);
        return true;
      }
    } else {
      // The tail lags behind a push that another thread completed.
      tail.compare_exchange_strong(last, link(target(next), nextTag(last)),
                                   std::memory_order_release,
                                   std::memory_order_relaxed);
    }
  }
}

bool EventNodeQueue::pop(DataQueueItem *&item) {
  // Only the consumer moves the head, so it needs no compare-and-swap.
  const uint64_t first = head.load(std::memory_order_relaxed);
  Node *h = target(first);
  Node *n = target(h->next.load(std::memory_order_acquire));
  if (!n) return false;
  // Never let the head pass the tail: a push that linked `n` may not have
  // swung the tail yet, and a node the tail points to must not be recycled.
  uint64_t last = tail.load(std::memory_order_acquire);
  while (target(last) == h) {
    if (tail.compare_exchange_weak(last, link(n, nextTag(last)),
                                   std::memory_order_release,
                                   std::memory_order_acquire))
      break;
  }
  item = n->item.load(std::memory_order_relaxed);
  head.store(link(n, nextTag(first)), std::memory_order_release);
  giveFree(h);
  return true;
}

bool EventNodeQueue::empty() const {
  const Node *h = target(head.load(std::memory_order_acquire));
  return target(h->next.load(std::memory_order_acquire)) == nullptr;
}
