// The data connection of this process: the write thread drains the event
// queue and sends the events as batches of JSON lines behind a "dataConn"
// opening message; the read thread watches the socket for the collector
// closing it. While the collector is not steering the probe the queue is
// emptied instead of sent.
#ifndef ORVO_TRANSPORT_DATA_CONNECTION_H
#define ORVO_TRANSPORT_DATA_CONNECTION_H

#include <stddef.h>

#include "transport/ConnData.h"

#ifdef __cplusplus
extern "C" {
#endif

int orvoPhpAgentDataConnInitMsg(char *buffer, size_t size);
void *orvoPhpAgentDataConnWriteThreadMain(void *unused);
void *orvoPhpAgentDataConnReadThreadMain(void *unused);
// One wait-and-discard step of the read thread: 1 keep going, 0 end of
// stream or error, -1 told to exit.
int orvoPhpAgentSocketReadNothing(ConnData *c, const char *label);

#ifdef __cplusplus
}
#endif

#endif
