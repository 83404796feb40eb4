// Resolving and connecting to the collector with retries, the opening
// message, sending with reconnection, closing, and the line reader.
//
// Every function takes a short label that is written as the thread label of
// its log lines. Transport functions return 0 on success and -1 when they
// give up (told to exit, or the collector host cannot be resolved).
#ifndef ORVO_TRANSPORT_COLLECTOR_CONNECTION_H
#define ORVO_TRANSPORT_COLLECTOR_CONNECTION_H

#include "transport/ConnData.h"

#ifdef __cplusplus
extern "C" {
#endif

int orvoPhpAgentInitConnData(ConnData *c, int withPipe, const char *name,
                             OrvoPhpAgentInitMessageBuilder initMessage);
int orvoPhpAgentConnectToTcp(ConnData *c, const char *host, const char *port,
                             const char *label);
void orvoPhpAgentSetBlocking(int fd, int blocking, const char *label);
int orvoPhpAgentConnectToCollectorAndInitialize(ConnData *c,
                                                const char *label);
int orvoPhpAgentSendToCollectorOnce(ConnData *c, const char *text,
                                    const char *label);
int orvoPhpAgentSendToCollector(ConnData *c, const char *text,
                                const char *label);
void orvoPhpAgentCloseConnection(ConnData *c, const char *label);
int orvoPhpAgentReadLine(ConnData *c, LineBuffer *b, const char *label);
char *orvoPhpAgentFindLineEnd(LineBuffer *b);

#ifdef __cplusplus
}

#include <sys/types.h>

// What one wait on a connection's socket and its wake pipe saw.
enum class SocketWait { kFailed, kInterrupted, kWoken, kTimedOut, kReadable };

// Waits up to `timeoutMs` for input on `fd` (ignored when negative) and for
// the wake pipe to hang up, as a cancellation point. kFailed leaves errno
// set.
SocketWait waitForSocketOrWake(ConnData *c, int fd, int timeoutMs);

// recv() as a cancellation point.
ssize_t receiveCancellable(int fd, char *buffer, size_t size);
#endif

#endif
