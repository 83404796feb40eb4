// Declarations shared by the parts of the stand-in runtime.
//
// Code that can run between a request's start and a bailout (everything the
// executor calls, directly or through hooks) keeps only trivially
// destructible locals: a fatal error or exit leaves by longjmp, and no
// destructor of a skipped frame may be owed.
#ifndef STANDIN_ENGINE_INTERNAL_H
#define STANDIN_ENGINE_INTERNAL_H

#include <string>

#include "standin_runtime.h"

namespace standin {

// memory.cpp
void releaseEngineMemory();

// objects.cpp
void classesStartup();
void classesShutdown();
void objectsRequestStartup();
zend_class_entry *lookupClass(const char *name, size_t len);
zend_class_entry *declareClass(const char *name, zend_class_entry *parent);
zend_class_entry *classForUse(const std::string &name, bool throwable);
zval *newException(zend_class_entry *ce, const char *message, long code, const char *file, long line);
zend_function *findMethod(zend_class_entry *ce, const char *name, size_t len);

// execute.cpp
void executorStartup();
void executorShutdown();
void executorRequestStartup();
void executorRequestShutdown();
void runFile(const std::string &file, const Body &body);
zval *makeValue(const Value &v);
void phpErrorCb(int type, const char *file, const zend_uint line, const char *format, va_list args);
bool isFatalError(int type);
// Reports an error with an explicit file and line through zend_error_cb.
void raiseErrorAt(int type, const char *file, zend_uint line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// modules.cpp
void modulesRequestStartup();
void modulesRequestShutdown();

// settings.cpp
void settingsStartup();
void settingsShutdown();
bool settingFlag(const char *name);
long settingLong(const char *name, long fallback);

// sapi.cpp
void sapiStartup(const char *name);
void sapiShutdown();
bool requestActive();

}  // namespace standin

#endif
