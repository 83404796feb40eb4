// A tiny extension for the host's tests. It hooks zend_execute_ex and
// sapi_module.ub_write the way a real probe does (keeping and calling the
// pointers it replaced), offers one script function, and appends a line per
// lifecycle event to the file named by its setting "standin_test.record".
//
// Built twice: once as it should be, once with a foreign build id.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "php_engine.h"

#ifndef STANDIN_TEST_BUILD_ID
#define STANDIN_TEST_BUILD_ID ZEND_MODULE_BUILD_ID
#endif

namespace {

void (*savedExecute)(zend_execute_data *execute_data) = nullptr;
int (*savedUbWrite)(const char *str, unsigned int str_length) = nullptr;
long executeCalls = 0;
long writeCalls = 0;

void testExecute(zend_execute_data *execute_data) {
  ++executeCalls;
  savedExecute(execute_data);
}

int testUbWrite(const char *str, unsigned int str_length) {
  ++writeCalls;
  return savedUbWrite(str, str_length);
}

// Which of -D / -F the process's own command line carries.
const char *daemonFlag() {
  static char buf[4096];
  int fd = open("/proc/self/cmdline", O_RDONLY);
  if (fd < 0) return "?";
  ssize_t n = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  const char *flag = "none";
  for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(strlen(buf + i)) + 1) {
    if (!strcmp(buf + i, "-D")) flag = "-D";
    if (!strcmp(buf + i, "-F")) flag = "-F";
  }
  return flag;
}

void record(const char *event) {
  const char *path = zend_ini_string_ex("standin_test.record", sizeof("standin_test.record"), 0, nullptr);
  if (!path || !*path) return;
  char line[512];
  int len = ap_php_snprintf(line, sizeof(line), "%s pid=%d ppid=%d sapi=%s flag=%s execute=%ld ub_write=%ld\n", event,
                            static_cast<int>(getpid()), static_cast<int>(getppid()), sapi_module.name, daemonFlag(),
                            executeCalls, writeCalls);
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, line, static_cast<size_t>(len));
  (void)written;
  close(fd);
}

}  // namespace

PHP_INI_BEGIN()
PHP_INI_ENTRY("standin_test.record", "", PHP_INI_ALL, NULL)
PHP_INI_END()

extern "C" {

PHP_MINIT_FUNCTION(standin_test) {
  (void)type;
  REGISTER_INI_ENTRIES();
  savedExecute = zend_execute_ex;
  zend_execute_ex = testExecute;
  savedUbWrite = sapi_module.ub_write;
  sapi_module.ub_write = testUbWrite;
  record("minit");
  return SUCCESS;
}

PHP_MSHUTDOWN_FUNCTION(standin_test) {
  (void)type;
  if (zend_execute_ex == testExecute) zend_execute_ex = savedExecute;
  if (sapi_module.ub_write == testUbWrite) sapi_module.ub_write = savedUbWrite;
  record("mshutdown");
  UNREGISTER_INI_ENTRIES();
  return SUCCESS;
}

PHP_RINIT_FUNCTION(standin_test) {
  (void)type;
  (void)module_number;
  executeCalls = 0;
  writeCalls = 0;
  return SUCCESS;
}

PHP_RSHUTDOWN_FUNCTION(standin_test) {
  (void)type;
  (void)module_number;
  record("request");
  return SUCCESS;
}

PHP_FUNCTION(standin_test_hello) {
  (void)return_value_ptr;
  (void)this_ptr;
  (void)return_value_used;
  char *name;
  int name_len;
  if (zend_parse_parameters(ZEND_NUM_ARGS(), "s", &name, &name_len) == FAILURE) return;
  char *greeting;
  spprintf(&greeting, 0, "hello %.*s", name_len, name);
  RETURN_STRING(greeting, 0);
}

// Ends the calling process at once, as a crashing module would.
PHP_FUNCTION(standin_test_die) {
  (void)ht;
  (void)return_value;
  (void)return_value_ptr;
  (void)this_ptr;
  (void)return_value_used;
  kill(getpid(), SIGKILL);
}

}  // extern "C"

static const zend_function_entry standin_test_functions[] = {
    PHP_FE(standin_test_hello, NULL)
    PHP_FE(standin_test_die, NULL)
    PHP_FE_END
};

zend_module_entry standin_test_module_entry = {
    STANDARD_MODULE_HEADER,
    "standin_test",
    standin_test_functions,
    PHP_MINIT(standin_test),
    PHP_MSHUTDOWN(standin_test),
    PHP_RINIT(standin_test),
    PHP_RSHUTDOWN(standin_test),
    NULL,
    "1.0",
    NO_MODULE_GLOBALS,
    NULL,
    0, 0, NULL, 0, STANDIN_TEST_BUILD_ID};

ZEND_GET_MODULE(standin_test)
