// The record of one collector connection (the command connection or the
// data connection) and the line buffer of the command connection's reader.
#ifndef ORVO_TRANSPORT_CONN_DATA_H
#define ORVO_TRANSPORT_CONN_DATA_H

#include <pthread.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Builds the opening message sent after every successful connect; returns
// the number of characters written (snprintf-style).
typedef int (*OrvoPhpAgentInitMessageBuilder)(char *buffer, size_t size);

typedef struct ConnData {
  const char *name;  // "command connection" or "data connection"
  OrvoPhpAgentInitMessageBuilder initMessage;
  int fd;        // -1 when not connected
  int exitFlag;  // 0, or 1 once the threads were told to exit; under lock
  pthread_t readThread;   // 0 = none
  pthread_t writeThread;  // 0 = none
  pthread_t forkThread;   // 0 = none
  pthread_mutex_t lock;   // guards exitFlag
  pthread_cond_t cond;    // signalled when exitFlag is set
  int wakePipe[2];        // read end, write end; -1 when absent
} ConnData;

enum { kLineBufferSize = 1024 };

typedef struct LineBuffer {
  char data[kLineBufferSize];
  int length;  // bytes held
} LineBuffer;

// The socket is shared by a connection's threads without a lock (the data
// write thread connects and sends, the read thread watches it); loads and
// stores are atomic so that each thread sees a whole, recent value.
static inline int orvoPhpAgentConnFd(const ConnData *c) {
  return __atomic_load_n(&c->fd, __ATOMIC_ACQUIRE);
}
static inline void orvoPhpAgentSetConnFd(ConnData *c, int fd) {
  __atomic_store_n(&c->fd, fd, __ATOMIC_RELEASE);
}

#ifdef __cplusplus
}
#endif

#endif
