// The server interface, request globals, output, headers, cookies and text
// formatting of the stand-in engine.
//
// sapi_module.name is "cli", "apache2handler" or "fpm-fcgi" after the
// process model of the host. All output goes through sapi_module.ub_write,
// one call per chunk, so a module that replaced it sees every chunk. Before
// the first chunk of a request (or at its end when nothing was written) the
// engine sends the headers: it sets SG(headers_sent) first and then calls
// sapi_module.send_headers with SG(sapi_headers), whose list holds the
// header lines (sapi_header_struct) in the order they were set, including
// the default "Content-type: text/html; charset=UTF-8" unless the script set
// one. Under "cli" SG(request_info).no_headers is set and nothing is sent.
//
// $_SERVER is an armed auto-global: it is created on demand, when
// zend_is_auto_global("_SERVER", 7) or the auto-global's callback runs, and
// is then in EG(symbol_table) and PG(http_globals)[TRACK_VARS_SERVER]. The
// request's cookies are in PG(http_globals)[TRACK_VARS_COOKIE] (and
// $_COOKIE) from the request's start.
#ifndef STANDIN_PHP_ENGINE_SAPI_H
#define STANDIN_PHP_ENGINE_SAPI_H

#include <time.h>

#include "php_engine_module.h"

typedef struct {
  char *header;
  zend_uint header_len;
} sapi_header_struct;

typedef struct _sapi_headers_struct {
  zend_llist headers;  // of sapi_header_struct
  int http_response_code;
  unsigned char send_default_content_type;
  char *mimetype;
  char *http_status_line;
} sapi_headers_struct;

typedef struct {
  const char *request_method;
  char *query_string;
  char *cookie_data;
  long content_length;
  char *path_translated;
  char *request_uri;
  const char *content_type;
  zend_bool headers_only;
  zend_bool no_headers;
  zend_bool headers_read;
} sapi_request_info;

typedef struct _sapi_globals_struct {
  void *server_context;
  sapi_request_info request_info;
  sapi_headers_struct sapi_headers;
  long read_post_bytes;
  unsigned char post_read;
  unsigned char headers_sent;
  double global_request_time;
} sapi_globals_struct;

typedef enum {
  SAPI_HEADER_REPLACE,
  SAPI_HEADER_ADD,
  SAPI_HEADER_DELETE,
  SAPI_HEADER_DELETE_ALL,
  SAPI_HEADER_SET_STATUS
} sapi_header_op_enum;

typedef struct {
  const char *line;
  zend_uint line_len;
  long response_code;  // 0 to leave the status alone
} sapi_header_line;

#define SAPI_HEADER_SENT_SUCCESSFULLY 1
#define SAPI_HEADER_DO_SEND 2
#define SAPI_HEADER_SEND_FAILED 3

typedef struct _sapi_module_struct {
  const char *name;
  const char *pretty_name;
  int (*ub_write)(const char *str, unsigned int str_length);
  void (*flush)(void *server_context);
  void (*sapi_error)(int type, const char *error_msg, ...);
  int (*header_handler)(sapi_header_struct *sapi_header, sapi_header_op_enum op,
                        sapi_headers_struct *sapi_headers);
  int (*send_headers)(sapi_headers_struct *sapi_headers);
  void (*send_header)(sapi_header_struct *sapi_header, void *server_context);
  char *(*read_cookies)(void);
  void (*register_server_variables)(zval *track_vars_array);
  void (*log_message)(const char *message, int syslog_type_int);
} sapi_module_struct;

#define TRACK_VARS_POST 0
#define TRACK_VARS_GET 1
#define TRACK_VARS_COOKIE 2
#define TRACK_VARS_SERVER 3
#define TRACK_VARS_ENV 4
#define TRACK_VARS_FILES 5
#define TRACK_VARS_REQUEST 6

typedef struct _php_core_globals {
  zval *http_globals[7];
  zend_bool display_errors;
  zend_bool html_errors;
  zend_bool modules_activated;
  zend_bool during_request_startup;
  char *last_error_message;
  char *last_error_file;
  int last_error_type;
  int last_error_lineno;
} php_core_globals;

typedef zend_bool (*zend_auto_global_callback)(const char *name, zend_uint name_len);

typedef struct _zend_auto_global {
  const char *name;
  zend_uint name_len;  // strlen(name)
  zend_auto_global_callback auto_global_callback;
  zend_bool jit;
  zend_bool armed;  // the callback still has to run for this request
} zend_auto_global;

BEGIN_EXTERN_C()

SAPI_API extern sapi_module_struct sapi_module;
SAPI_API extern sapi_globals_struct sapi_globals;
PHPAPI extern php_core_globals core_globals;

// Headers. A line containing CR or LF, or set after the headers were sent,
// is refused with a warning and FAILURE.
SAPI_API int sapi_header_op(sapi_header_op_enum op, void *arg);
SAPI_API int sapi_add_header_ex(const char *header_line, zend_uint header_line_len, zend_bool duplicate,
                                zend_bool replace);
SAPI_API int sapi_send_headers(void);
// Adds a "Set-Cookie:" header; SUCCESS or FAILURE (bad name or value).
PHPAPI int php_setcookie(const char *name, int name_len, const char *value, int value_len, time_t expires,
                         const char *path, int path_len, const char *domain, int domain_len, int secure,
                         int url_encode, int httponly);
PHPAPI char *php_url_encode(const char *s, int len, int *new_length);

// Output.
PHPAPI int php_output_write(const char *str, size_t len);
PHPAPI int php_write(void *buf, zend_uint size);
PHPAPI int php_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
PHPAPI int php_header(void);

// Auto-globals.
ZEND_API int zend_register_auto_global(const char *name, zend_uint name_len, zend_bool jit,
                                       zend_auto_global_callback auto_global_callback);
ZEND_API zend_bool zend_is_auto_global(const char *name, zend_uint name_len);

// Formatting into engine memory (spprintf: *pbuf owned by the caller, freed
// with efree) or into a caller's buffer.
PHPAPI int spprintf(char **pbuf, size_t max_len, const char *format, ...) __attribute__((format(printf, 3, 4)));
PHPAPI int vspprintf(char **pbuf, size_t max_len, const char *format, va_list ap);
PHPAPI int php_sprintf(char *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
PHPAPI int ap_php_snprintf(char *buf, size_t len, const char *format, ...) __attribute__((format(printf, 3, 4)));
PHPAPI int ap_php_vsnprintf(char *buf, size_t len, const char *format, va_list ap);
PHPAPI int ap_php_slprintf(char *buf, size_t len, const char *format, ...) __attribute__((format(printf, 3, 4)));

END_EXTERN_C()

#define SG(v) (sapi_globals.v)
#define PG(v) (core_globals.v)
#define PHPWRITE(str, str_len) php_output_write((str), (str_len))
#define PUTS(str) php_output_write((str), strlen(str))

#endif
