// The lock-free queue under DataQueue: a linked queue of record pointers
// whose nodes come from a pool reserved in advance.
//
// - bounded_push takes a node from the pool and fails when none is free; it
//   never allocates.
// - reserve adds nodes to the pool; it may run while other threads push and
//   pop.
// - pop reports an empty queue by returning false.
//
// Pushes and pops are lock-free: a thread stalled or abandoned in the middle
// of a push never stops the others, because a node is published by one
// compare-and-swap and a lagging tail is swung by whoever sees it. That
// matters here: the engine can leave the interpreter's thread at any point
// by a long jump (a fatal error raised from a timeout signal), and designs
// that claim a slot first and fill it later would leave the consumer
// waiting on that slot for ever. At worst such a push loses the one node it
// had taken from the pool.
//
// Nodes are 16 bytes, carved from slabs that live as long as the queue, so
// a node that another thread still reads after it was recycled is always
// valid memory; tags in the upper 16 bits of every link make a stale
// compare-and-swap fail. Every shared field is an atomic, so the queue is
// free of data races in the language's sense too.
#ifndef ORVO_PIPELINE_EVENT_NODE_QUEUE_H
#define ORVO_PIPELINE_EVENT_NODE_QUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

class DataQueueItem;

class EventNodeQueue {
 public:
  // Reserves `reserved` nodes; throws std::bad_alloc when it cannot.
  explicit EventNodeQueue(size_t reserved);
  // Releases the nodes. Records still queued are not destroyed.
  ~EventNodeQueue();

  EventNodeQueue(const EventNodeQueue &) = delete;
  EventNodeQueue &operator=(const EventNodeQueue &) = delete;

  // Any number of threads may push.
  bool bounded_push(DataQueueItem *item);
  // One consumer at a time (the data write thread): pop moves the head
  // without a compare-and-swap.
  bool pop(DataQueueItem *&item);
  // A snapshot: exact when no other thread pushes or pops meanwhile.
  bool empty() const;
  // Adds up to `n` nodes to the pool and returns how many it added: fewer
  // only when memory ran out. Never throws.
  size_t reserve(size_t n) noexcept;

 private:
  struct Node {
    std::atomic<uint64_t> next;  // tagged: queue link, or pool link when free
    std::atomic<DataQueueItem *> item;
  };
  struct Slab;

  static constexpr int kTagShift = 48;
  static constexpr uint64_t kPointerMask = (uint64_t(1) << kTagShift) - 1;

  static uint64_t link(Node *p, uint64_t tag) {
    return reinterpret_cast<uintptr_t>(p) | (tag << kTagShift);
  }
  static Node *target(uint64_t v) {
    return reinterpret_cast<Node *>(static_cast<uintptr_t>(v & kPointerMask));
  }
  static uint64_t nextTag(uint64_t v) { return ((v >> kTagShift) + 1) & 0xffff; }

  Node *takeFree();
  void giveFree(Node *n);
  Slab *addSlab(size_t nodes) noexcept;
  void releaseSlabs();

  alignas(64) std::atomic<uint64_t> head;
  alignas(64) std::atomic<uint64_t> tail;
  alignas(64) std::atomic<uint64_t> freeTop;
  std::atomic<Slab *> slabs;
};

#endif
