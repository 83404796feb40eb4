#include "engine/orvo_php_agent_globals.h"

extern "C" {

OrvoPhpAgentGlobals orvo_php_agent_globals;

__thread const char *orvoPhpAgentThreadName = "main";

const char *mainThreadName = "main";
const char *dataQueueThreadName = "data";

char sharedDataSegName[kIpcNameBufferSize];
char blackListSegName[kIpcNameBufferSize];
char messageQueueName[kIpcNameBufferSize];
}
