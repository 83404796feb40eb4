#include "transport/DataConnection.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/orvo_php_agent_globals.h"
#include "pipeline/DataQueueWrapper.h"
#include "pipeline/EventEncoding.h"
#include "support/Log.h"
#include "transport/CollectorConnection.h"
#include "transport/ThreadControl.h"

namespace {

const long dataThreadSleepTime = 10000;  // microseconds
const long kReadThreadIdleWaitMs = 10;
const int kReadPollTimeoutMs = 10000;
const int kQuietAfter = 5;
const size_t kDiscardBufferSize = 256;

ConnData *dataConnection() { return &orvo_php_agent_globals.dataConnection; }

int commandConnStatus() {
  return __atomic_load_n(&orvo_php_agent_globals.commandConnStatus,
                         __ATOMIC_RELAXED);
}

void enterDataThread() {
  // A cancel after the bounded join's time-out ends the thread in connect,
  // send or poll, never in an allocation, a destructor or a log write.
  int rc = enterConnectionThread();
  if (rc != 0)
    logInfo(dataQueueThreadName,
            "pthread_setcanceltype in data connection thread: %s", strerror(rc));
}

// The read thread never closes the socket itself: the write thread may be
// about to send on it, and a closed number could be reused by the
// application's next open file or connection. It shuts the socket down
// instead (a send on it fails at once) and the write thread, which owns the
// socket, closes it.
void closeIfShutDown(ConnData *c) {
  const int fd = orvoPhpAgentConnFd(c);
  if (fd < 0) return;
  struct pollfd p = {fd, 0, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLNVAL)))
    orvoPhpAgentCloseConnection(c, dataQueueThreadName);
}

int socketReadNothing(ConnData *c, int fd, const char *label) {
  const SocketWait seen = waitForSocketOrWake(c, fd, kReadPollTimeoutMs);
  if (seen == SocketWait::kFailed) {
    int err = errno;
    logError(label, "data connection read thread: poll error(%d): %s", err,
             strerror(err));
    return 0;
  }
  if (seen == SocketWait::kWoken) return -1;
  if (seen == SocketWait::kReadable) {
    char discard[kDiscardBufferSize];
    ssize_t n = receiveCancellable(fd, discard, sizeof(discard));
    if (n <= 0) {
      logInfo(label, "data connection read thread: EOF from collector");
      return 0;
    }
  }
  return 1;
}

}  // namespace

extern "C" int orvoPhpAgentDataConnInitMsg(char *buffer, size_t size) {
  // Built on the write thread when it (re)connects, so the calling thread is
  // the connection's write thread.
  return snprintf(buffer, size,
                  "{\"op\":\"dataConn\",\"probe\":\"%s\",\"ver\":\"%s\","
                  "\"pid\":\"%u\",\"tid\":\"%lu\",\"instid\":\"%u\"}\n",
                  "php", "1", static_cast<unsigned>(getpid()),
                  static_cast<unsigned long>(pthread_self()),
                  static_cast<unsigned>(orvo_php_agent_globals.mainPid));
}

extern "C" int orvoPhpAgentSocketReadNothing(ConnData *c, const char *label) {
  return socketReadNothing(c, orvoPhpAgentConnFd(c), label);
}

extern "C" void *orvoPhpAgentDataConnWriteThreadMain(void *) {
  ConnData *c = dataConnection();
  pthread_setname_np(pthread_self(), "orvo-data-write");
  logInfo(dataQueueThreadName, "data connection write thread starting");
  enterDataThread();
  int quietCount = 0;
  while (true) {
    DataQueue *queue = orvo_php_agent_globals.dataQueue;
    if (orvoPhpAgentGetExitFlag(c) || queue == nullptr) {
      clearDataQueue(queue);
      break;
    }
    closeIfShutDown(c);
    if (commandConnStatus() != 0) {
      if (quietCount < kQuietAfter) {
        logWarning(dataQueueThreadName,
                   "Clearing data queue: connection not live.");
        if (++quietCount == kQuietAfter)
          logWarning(dataQueueThreadName,
                     "suspending logging until connection is established");
      }
      clearDataQueue(queue);
    } else {
      if (quietCount == kQuietAfter)
        logInfo(dataQueueThreadName, "resuming data send to collector");
      quietCount = 0;
    }
    if (isDataQueueEmpty(queue)) {
      waitForExitOrTimeout(c, dataThreadSleepTime / 1000);
      continue;
    }
    if (batchAndSendToCollector(queue) < 0) {
      logError(dataQueueThreadName, "data connection:  error during send.");
      break;
    }
  }
  orvoPhpAgentCloseConnection(c, dataQueueThreadName);
  logInfo(dataQueueThreadName, "data connection write thread is exiting");
  return nullptr;
}

extern "C" void *orvoPhpAgentDataConnReadThreadMain(void *) {
  ConnData *c = dataConnection();
  pthread_setname_np(pthread_self(), "orvo-data-read");
  logInfo(dataQueueThreadName, "data connection read thread starting");
  enterDataThread();
  while (true) {
    const int fd = orvoPhpAgentConnFd(c);
    // Not connected: look again every 10 ms rather than sleeping in a long
    // poll on nothing, so that the end of a connection the write thread
    // makes meanwhile is seen at once and no batch goes into a dead socket.
    if (fd < 0) {
      if (waitForExitOrTimeout(c, kReadThreadIdleWaitMs)) break;
      continue;
    }
    if (orvoPhpAgentGetExitFlag(c)) break;
    int result = socketReadNothing(c, fd, dataQueueThreadName);
    if (result < 0) break;
    if (result == 0) {
      logInfo(dataQueueThreadName,
              "data connection:  EOF or error during socket read.");
      shutdown(fd, SHUT_RDWR);
      // Until the write thread has closed this socket, polling it again
      // would only report the same end of stream.
      while (orvoPhpAgentConnFd(c) == fd &&
             !waitForExitOrTimeout(c, kReadThreadIdleWaitMs)) {
      }
    }
  }
  logInfo(dataQueueThreadName, "data connection read thread is exiting");
  return nullptr;
}
