// The engine interface an extension compiles against: engine API 20131226,
// built without thread safety (build id "API20131226,NTS").
//
// An extension includes this one header. It declares values and hash
// tables (php_engine_types.h, php_engine_hash.h), classes, objects and
// resources (php_engine_objects.h), frames, the executor pointers, errors
// and calls (php_engine_execute.h), the module entry, settings and the
// helpers of script functions (php_engine_module.h), and the server
// interface with output, headers and cookies (php_engine_sapi.h). The
// engine's symbols are resolved from the host process when the extension is
// loaded.
#ifndef STANDIN_PHP_ENGINE_H
#define STANDIN_PHP_ENGINE_H

#include "php_engine_types.h"
#include "php_engine_hash.h"
#include "php_engine_objects.h"
#include "php_engine_execute.h"
#include "php_engine_module.h"
#include "php_engine_sapi.h"

#endif
