// The server interface: the request's life, output, headers, cookies, the
// request's auto-globals, the engine's own error display, and formatting.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <strings.h>
#include <unistd.h>

#include "engine_internal.h"

extern "C" {
sapi_module_struct sapi_module;
sapi_globals_struct sapi_globals;
php_core_globals core_globals;
}

namespace standin {
namespace {

HashTable gAutoGlobals;
bool gAutoGlobalsReady = false;
bool gInRequest = false;
bool gOutputDisabled = false;
bool gOutputStarted = false;
const char *gOutputStartFile = nullptr;
zend_uint gOutputStartLine = 0;
const Request *gRequest = nullptr;
Response *gResponse = nullptr;
int gEchoFd = -1;

void writeAll(int fd, const char *data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
}

int serverUbWrite(const char *str, unsigned int str_length) {
  if (gResponse) gResponse->body.append(str, str_length);
  if (gEchoFd >= 0) writeAll(gEchoFd, str, str_length);
  return static_cast<int>(str_length);
}

int serverSendHeaders(sapi_headers_struct *sapi_headers) {
  if (!gResponse) return SAPI_HEADER_SENT_SUCCESSFULLY;
  gResponse->headersSent = true;
  gResponse->status = sapi_headers->http_response_code;
  gResponse->headers.clear();
  for (zend_llist_element *e = sapi_headers->headers.head; e; e = e->next) {
    const sapi_header_struct *h = reinterpret_cast<const sapi_header_struct *>(e->data);
    gResponse->headers.emplace_back(h->header, h->header_len);
  }
  return SAPI_HEADER_SENT_SUCCESSFULLY;
}

void serverSendHeader(sapi_header_struct *, void *) {}

void serverRegisterVariables(zval *track_vars_array) {
  if (!gRequest) return;
  for (size_t i = 0; i < gRequest->server.size(); ++i) {
    const std::string &key = gRequest->server[i].first;
    const std::string &value = gRequest->server[i].second;
    add_assoc_stringl_ex(track_vars_array, key.c_str(), static_cast<zend_uint>(key.size()) + 1, value.data(),
                         static_cast<zend_uint>(value.size()), 1);
  }
}

void serverLogMessage(const char *message, int) { fprintf(stderr, "%s\n", message); }

void serverError(int type, const char *error_msg, ...) {
  va_list args;
  va_start(args, error_msg);
  char *text;
  vspprintf(&text, 0, error_msg, args);
  va_end(args);
  zend_error(type, "%s", text);
  efree(text);
}

void freeHeader(void *data) { efree(static_cast<sapi_header_struct *>(data)->header); }

// Stores the array as a global variable and as the request's track array.
void publish(const char *name, zend_uint name_len, zval *array, int track) {
  Z_ADDREF_P(array);
  zend_hash_update(&EG(symbol_table), name, name_len + 1, &array, sizeof(zval *), nullptr);
  if (track >= 0) {
    if (PG(http_globals)[track]) zval_ptr_dtor(&PG(http_globals)[track]);
    PG(http_globals)[track] = array;
  } else {
    zval_ptr_dtor(&array);
  }
}

zend_bool createServer(const char *name, zend_uint name_len) {
  zval *array;
  ALLOC_INIT_ZVAL(array);
  array_init(array);
  if (sapi_module.register_server_variables) sapi_module.register_server_variables(array);
  publish(name, name_len, array, TRACK_VARS_SERVER);
  return 0;
}

zend_bool createCookie(const char *name, zend_uint name_len) {
  zval *array;
  ALLOC_INIT_ZVAL(array);
  array_init(array);
  if (gRequest) {
    for (size_t i = 0; i < gRequest->cookies.size(); ++i) {
      const std::string &key = gRequest->cookies[i].first;
      const std::string &value = gRequest->cookies[i].second;
      add_assoc_stringl_ex(array, key.c_str(), static_cast<zend_uint>(key.size()) + 1, value.data(),
                           static_cast<zend_uint>(value.size()), 1);
    }
  }
  publish(name, name_len, array, TRACK_VARS_COOKIE);
  return 0;
}

zend_bool createEmpty(const char *name, zend_uint name_len) {
  zval *array;
  ALLOC_INIT_ZVAL(array);
  array_init(array);
  int track = -1;
  if (!strcmp(name, "_GET")) track = TRACK_VARS_GET;
  else if (!strcmp(name, "_POST")) track = TRACK_VARS_POST;
  else if (!strcmp(name, "_FILES")) track = TRACK_VARS_FILES;
  else if (!strcmp(name, "_ENV")) track = TRACK_VARS_ENV;
  else if (!strcmp(name, "_REQUEST")) track = TRACK_VARS_REQUEST;
  publish(name, name_len, array, track);
  return 0;
}

// $GLOBALS: an array whose table is the global symbol table itself.
zend_bool createGlobals(const char *name, zend_uint name_len) {
  zval *globals;
  ALLOC_ZVAL(globals);
  Z_SET_REFCOUNT_P(globals, 1);
  Z_SET_ISREF_P(globals);
  Z_TYPE_P(globals) = IS_ARRAY;
  Z_ARRVAL_P(globals) = &EG(symbol_table);
  zend_hash_update(&EG(symbol_table), name, name_len + 1, &globals, sizeof(zval *), nullptr);
  return 0;
}

int armAutoGlobal(void *pData) {
  zend_auto_global *g = static_cast<zend_auto_global *>(pData);
  g->armed = 1;
  if (!g->jit) g->armed = g->auto_global_callback(g->name, g->name_len);
  return ZEND_HASH_APPLY_KEEP;
}

const char *findServerValue(const Request &req, const char *key) {
  for (size_t i = 0; i < req.server.size(); ++i) {
    if (req.server[i].first == key) return req.server[i].second.c_str();
  }
  return nullptr;
}

bool sameHeaderName(const char *a, zend_uint alen, const char *b, zend_uint blen) {
  const char *ca = static_cast<const char *>(memchr(a, ':', alen));
  const char *cb = static_cast<const char *>(memchr(b, ':', blen));
  size_t na = ca ? static_cast<size_t>(ca - a) : alen;
  size_t nb = cb ? static_cast<size_t>(cb - b) : blen;
  return na == nb && strncasecmp(a, b, na) == 0;
}

void removeHeaders(const char *name, zend_uint len) {
  zend_llist *list = &SG(sapi_headers).headers;
  zend_llist_element *e = list->head;
  while (e) {
    zend_llist_element *next = e->next;
    sapi_header_struct *h = reinterpret_cast<sapi_header_struct *>(e->data);
    if (sameHeaderName(h->header, h->header_len, name, len)) {
      if (e->prev) e->prev->next = e->next; else list->head = e->next;
      if (e->next) e->next->prev = e->prev; else list->tail = e->prev;
      if (list->dtor) list->dtor(e->data);
      pefree(e, list->persistent);
      list->count--;
    }
    e = next;
  }
}

void addHeader(sapi_header_op_enum op, char *line, zend_uint len) {
  if (op == SAPI_HEADER_REPLACE && memchr(line, ':', len)) removeHeaders(line, len);
  sapi_header_struct h;
  h.header = line;
  h.header_len = len;
  zend_llist_add_element(&SG(sapi_headers).headers, &h);
}

const char *errorTypeName(int type) {
  switch (type) {
    case E_ERROR:
    case E_CORE_ERROR:
    case E_COMPILE_ERROR:
    case E_USER_ERROR:
      return "Fatal error";
    case E_RECOVERABLE_ERROR:
      return "Catchable fatal error";
    case E_WARNING:
    case E_CORE_WARNING:
    case E_COMPILE_WARNING:
    case E_USER_WARNING:
      return "Warning";
    case E_PARSE:
      return "Parse error";
    case E_NOTICE:
    case E_USER_NOTICE:
      return "Notice";
    case E_STRICT:
      return "Strict Standards";
    case E_DEPRECATED:
    case E_USER_DEPRECATED:
      return "Deprecated";
    default:
      return "Unknown error";
  }
}

// The request's files; a fatal error or exit jumps back here. Kept apart so
// that no caller's locals live across the jump.
void runScripts(const Request *req) {
  zend_try {
    if (req->hasPrepend) runFile(req->prependFile, req->prependBody);
    if (!EG(exception)) runFile(req->file, req->body);
  }
  zend_end_try();
}

void sendRemainingHeaders() {
  zend_try {
    if (!SG(headers_sent)) sapi_send_headers();
  }
  zend_end_try();
}

}  // namespace

void setOutputEcho(int fd) { gEchoFd = fd; }

bool requestActive() { return gInRequest; }

void sapiStartup(const char *name) {
  memset(&sapi_module, 0, sizeof(sapi_module));
  memset(&sapi_globals, 0, sizeof(sapi_globals));
  memset(&core_globals, 0, sizeof(core_globals));
  sapi_module.name = name;
  sapi_module.pretty_name = !strcmp(name, "cli")              ? "Command Line Interface"
                            : !strcmp(name, "apache2handler") ? "Apache 2.0 Handler"
                            : !strcmp(name, "fpm-fcgi")       ? "FPM/FastCGI"
                                                              : name;
  sapi_module.ub_write = serverUbWrite;
  sapi_module.sapi_error = serverError;
  sapi_module.send_headers = serverSendHeaders;
  sapi_module.send_header = serverSendHeader;
  sapi_module.register_server_variables = serverRegisterVariables;
  sapi_module.log_message = serverLogMessage;

  zend_hash_init(&gAutoGlobals, 8, nullptr, nullptr, 1);
  gAutoGlobalsReady = true;
  CG(auto_globals) = &gAutoGlobals;
  zend_register_auto_global("_GET", 4, 0, createEmpty);
  zend_register_auto_global("_POST", 5, 0, createEmpty);
  zend_register_auto_global("_COOKIE", 7, 0, createCookie);
  zend_register_auto_global("_FILES", 6, 0, createEmpty);
  zend_register_auto_global("_SERVER", 7, 1, createServer);
  zend_register_auto_global("_ENV", 4, 1, createEmpty);
  zend_register_auto_global("_REQUEST", 8, 1, createEmpty);
  zend_register_auto_global("GLOBALS", 7, 1, createGlobals);
}

void sapiShutdown() {
  if (gAutoGlobalsReady) zend_hash_destroy(&gAutoGlobals);
  gAutoGlobalsReady = false;
  CG(auto_globals) = nullptr;
}

void runRequest(const Scenario &scenario, size_t index, Response *out) {
  const Request &req = scenario.requests[index];
  *out = Response();
  out->request = static_cast<int>(index);
  gRequest = &req;
  gResponse = out;
  gOutputDisabled = false;
  gOutputStarted = false;
  gOutputStartFile = nullptr;
  gOutputStartLine = 0;

  // The server's side of request start.
  memset(&sapi_globals, 0, sizeof(sapi_globals));
  zend_llist_init(&SG(sapi_headers).headers, sizeof(sapi_header_struct), freeHeader, 0);
  SG(sapi_headers).http_response_code = 200;
  SG(sapi_headers).send_default_content_type = 1;
  SG(request_info).request_method = findServerValue(req, "REQUEST_METHOD");
  SG(request_info).request_uri = const_cast<char *>(findServerValue(req, "REQUEST_URI"));
  SG(request_info).query_string = const_cast<char *>(findServerValue(req, "QUERY_STRING"));
  SG(request_info).cookie_data = const_cast<char *>(findServerValue(req, "HTTP_COOKIE"));
  SG(request_info).path_translated = const_cast<char *>(req.file.c_str());
  SG(request_info).content_type = findServerValue(req, "CONTENT_TYPE");
  // The command-line interpreter has no response headers at all: they count
  // as sent from the start, and setting one is not an error.
  if (!strcmp(sapi_module.name, "cli")) {
    SG(request_info).no_headers = 1;
    SG(headers_sent) = 1;
  }
  SG(global_request_time) = static_cast<double>(time(nullptr));

  memset(&core_globals, 0, sizeof(core_globals));
  PG(display_errors) = settingFlag("display_errors");
  PG(during_request_startup) = 1;
  executorRequestStartup();
  gInRequest = true;
  zend_hash_apply(&gAutoGlobals, armAutoGlobal);

  PG(modules_activated) = 0;
  modulesRequestStartup();
  PG(modules_activated) = 1;
  PG(during_request_startup) = 0;

  runScripts(&req);

  // Request end: the modules' request end runs before headers that were
  // never sent (no output at all) go out, as in the real server.
  modulesRequestShutdown();
  sendRemainingHeaders();

  if (!out->headersSent) out->status = SG(sapi_headers).http_response_code;
  gInRequest = false;
  executorRequestShutdown();
  memset(&sapi_globals, 0, sizeof(sapi_globals));
  memset(&core_globals, 0, sizeof(core_globals));
  releaseEngineMemory();
  gRequest = nullptr;
  gResponse = nullptr;
}

void engineStartup(const char *sapiName) {
  if (engineStarted()) engineShutdown();
  executorStartup();
  classesStartup();
  settingsStartup();
  sapiStartup(sapiName);
}

void engineShutdown() {
  modulesShutdown();
  sapiShutdown();
  settingsShutdown();
  classesShutdown();
  executorShutdown();
  releaseEngineMemory();
}

bool engineStarted() { return gAutoGlobalsReady; }

void phpErrorCb(int type, const char *file, const zend_uint line, const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char *message;
  vspprintf(&message, 1024, format, copy);
  va_end(copy);

  if (!gInRequest) {
    // Module start and shutdown have no response to show errors in.
    fprintf(stderr, "PHP %s:  %s in %s on line %u\n", errorTypeName(type), message, file, line);
    efree(message);
    return;
  }
  PG(last_error_type) = type;
  PG(last_error_lineno) = static_cast<int>(line);
  if (PG(display_errors) && (EG(error_reporting) & type)) {
    php_printf("%s\n%s: %s in %s on line %u\n%s", "", errorTypeName(type), message, file, line, "");
  }
  efree(message);
  switch (type) {
    case E_ERROR:
    case E_CORE_ERROR:
    case E_COMPILE_ERROR:
    case E_USER_ERROR:
    case E_RECOVERABLE_ERROR:
      EG(exit_status) = 255;
      if (!PG(display_errors) && !SG(headers_sent) && SG(sapi_headers).http_response_code == 200) {
        SG(sapi_headers).http_response_code = 500;
      }
      zend_bailout();
    default:
      break;
  }
}

}  // namespace standin

extern "C" {

int sapi_header_op(sapi_header_op_enum op, void *arg) {
  if (SG(headers_sent) && !SG(request_info).no_headers) {
    if (standin::gOutputStartFile) {
      sapi_module.sapi_error(E_WARNING,
                             "Cannot modify header information - headers already sent by (output started at %s:%u)",
                             standin::gOutputStartFile, standin::gOutputStartLine);
    } else {
      sapi_module.sapi_error(E_WARNING, "Cannot modify header information - headers already sent");
    }
    return FAILURE;
  }
  switch (op) {
    case SAPI_HEADER_SET_STATUS:
      SG(sapi_headers).http_response_code = static_cast<int>(reinterpret_cast<zend_uintptr_t>(arg));
      return SUCCESS;
    case SAPI_HEADER_DELETE_ALL:
      zend_llist_clean(&SG(sapi_headers).headers);
      return SUCCESS;
    default:
      break;
  }
  const sapi_header_line *p = static_cast<const sapi_header_line *>(arg);
  if (!p || !p->line || !p->line_len) return FAILURE;
  zend_uint len = p->line_len;
  char *line = estrndup(p->line, len);
  while (len > 0 && isspace(static_cast<unsigned char>(line[len - 1]))) line[--len] = '\0';

  if (op == SAPI_HEADER_DELETE) {
    if (memchr(line, ':', len)) {
      sapi_module.sapi_error(E_WARNING, "Header to delete may not contain colon.");
      efree(line);
      return FAILURE;
    }
    standin::removeHeaders(line, len);
    efree(line);
    return SUCCESS;
  }
  for (zend_uint i = 0; i < len; ++i) {
    if (line[i] == '\n' || line[i] == '\r') {
      efree(line);
      sapi_module.sapi_error(E_WARNING, "Header may not contain more than a single header, new line detected");
      return FAILURE;
    }
    if (line[i] == '\0') {
      efree(line);
      sapi_module.sapi_error(E_WARNING, "Header may not contain NUL bytes");
      return FAILURE;
    }
  }

  long code = p->response_code;
  if (len > 5 && strncasecmp(line, "HTTP/", 5) == 0) {
    // A status line sets the status; it is not a header of its own.
    const char *space = strchr(line, ' ');
    if (space) SG(sapi_headers).http_response_code = atoi(space + 1);
    SG(sapi_headers).http_status_line = line;
    return SUCCESS;
  }
  const char *colon = static_cast<const char *>(memchr(line, ':', len));
  if (colon) {
    size_t nameLength = static_cast<size_t>(colon - line);
    const char *value = colon + 1;
    while (*value == ' ' || *value == '\t') ++value;
    if (nameLength == 12 && strncasecmp(line, "Content-Type", 12) == 0) {
      SG(sapi_headers).mimetype = const_cast<char *>(value);
      SG(sapi_headers).send_default_content_type = 0;
    } else if (nameLength == 8 && strncasecmp(line, "Location", 8) == 0) {
      int current = SG(sapi_headers).http_response_code;
      if ((current < 300 || current > 399) && current != 201 && !code) code = 302;
    }
  }
  if (code) SG(sapi_headers).http_response_code = static_cast<int>(code);
  standin::addHeader(op, line, len);
  return SUCCESS;
}

int sapi_add_header_ex(const char *header_line, zend_uint header_line_len, zend_bool, zend_bool replace) {
  sapi_header_line line;
  line.line = header_line;
  line.line_len = header_line_len;
  line.response_code = 0;
  return sapi_header_op(replace ? SAPI_HEADER_REPLACE : SAPI_HEADER_ADD, &line);
}

int sapi_send_headers(void) {
  if (SG(headers_sent) || SG(request_info).no_headers) return SUCCESS;
  if (SG(sapi_headers).send_default_content_type && sapi_module.send_headers) {
    const char *mimetype = zend_ini_string("default_mimetype", sizeof("default_mimetype"), 0);
    const char *charset = zend_ini_string("default_charset", sizeof("default_charset"), 0);
    char *line;
    int len = (charset && *charset) ? spprintf(&line, 0, "Content-type: %s; charset=%s", mimetype, charset)
                                    : spprintf(&line, 0, "Content-type: %s", mimetype);
    standin::addHeader(SAPI_HEADER_ADD, line, static_cast<zend_uint>(len));
  } else {
    SG(sapi_headers).send_default_content_type = 0;
  }
  // Marked as sent before the server is asked, so that nothing done while
  // sending can start a second send.
  SG(headers_sent) = 1;
  int retval = sapi_module.send_headers ? sapi_module.send_headers(&SG(sapi_headers)) : SAPI_HEADER_DO_SEND;
  switch (retval) {
    case SAPI_HEADER_SENT_SUCCESSFULLY:
      return SUCCESS;
    case SAPI_HEADER_DO_SEND:
      if (sapi_module.send_header) {
        for (zend_llist_element *e = SG(sapi_headers).headers.head; e; e = e->next) {
          sapi_module.send_header(reinterpret_cast<sapi_header_struct *>(e->data), SG(server_context));
        }
        sapi_module.send_header(nullptr, SG(server_context));
      }
      return SUCCESS;
    case SAPI_HEADER_SEND_FAILED:
      SG(headers_sent) = 0;
      return FAILURE;
    default:
      return FAILURE;
  }
}

char *php_url_encode(const char *s, int len, int *new_length) {
  static const char kHex[] = "0123456789ABCDEF";
  char *out = static_cast<char *>(safe_emalloc(3, static_cast<size_t>(len), 1));
  int n = 0;
  for (int i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == ' ') {
      out[n++] = '+';
    } else if (isalnum(c) || c == '-' || c == '.' || c == '_') {
      out[n++] = static_cast<char>(c);
    } else {
      out[n++] = '%';
      out[n++] = kHex[c >> 4];
      out[n++] = kHex[c & 15];
    }
  }
  out[n] = '\0';
  if (new_length) *new_length = n;
  return out;
}

int php_setcookie(const char *name, int name_len, const char *value, int value_len, time_t expires, const char *path,
                  int path_len, const char *domain, int domain_len, int secure, int url_encode, int httponly) {
  if (!name || name_len <= 0) {
    zend_error(E_WARNING, "Cookie names must not be empty");
    return FAILURE;
  }
  for (int i = 0; i < name_len; ++i) {
    if (strchr("=,; \t\r\n\013\014", name[i]) || name[i] == '\0') {
      zend_error(E_WARNING, "Cookie names cannot contain any of the following '=,; \\t\\r\\n\\013\\014'");
      return FAILURE;
    }
  }
  if (!url_encode && value) {
    for (int i = 0; i < value_len; ++i) {
      if (strchr(",; \t\r\n\013\014", value[i]) || value[i] == '\0') {
        zend_error(E_WARNING, "Cookie values cannot contain any of the following ',; \\t\\r\\n\\013\\014'");
        return FAILURE;
      }
    }
  }
  char *cookie;
  if (!value || value_len == 0) {
    // An empty value deletes the cookie.
    spprintf(&cookie, 0, "Set-Cookie: %.*s=deleted; expires=Thu, 01-Jan-1970 00:00:01 GMT; Max-Age=0", name_len,
             name);
  } else {
    char *encoded = url_encode ? php_url_encode(value, value_len, &value_len) : estrndup(value, value_len);
    if (expires > 0) {
      struct tm tm;
      char date[64];
      gmtime_r(&expires, &tm);
      strftime(date, sizeof(date), "%a, %d-%b-%Y %H:%M:%S GMT", &tm);
      long maxAge = static_cast<long>(expires - time(nullptr));
      spprintf(&cookie, 0, "Set-Cookie: %.*s=%.*s; expires=%s; Max-Age=%ld", name_len, name, value_len, encoded, date,
               maxAge > 0 ? maxAge : 0);
    } else {
      spprintf(&cookie, 0, "Set-Cookie: %.*s=%.*s", name_len, name, value_len, encoded);
    }
    efree(encoded);
  }
  char *full;
  spprintf(&full, 0, "%s%s%.*s%s%.*s%s%s", cookie, path && path_len ? "; path=" : "", path && path_len ? path_len : 0,
           path ? path : "", domain && domain_len ? "; domain=" : "", domain && domain_len ? domain_len : 0,
           domain ? domain : "", secure ? "; secure" : "", httponly ? "; httponly" : "");
  efree(cookie);
  sapi_header_line line;
  line.line = full;
  line.line_len = static_cast<zend_uint>(strlen(full));
  line.response_code = 0;
  int result = sapi_header_op(SAPI_HEADER_ADD, &line);
  efree(full);
  return result;
}

int php_header(void) {
  if (sapi_send_headers() == FAILURE || SG(request_info).headers_only) return 0;
  return 1;
}

int php_output_write(const char *str, size_t len) {
  if (len == 0) return 0;
  if (!standin::gInRequest) {
    standin::writeAll(STDERR_FILENO, str, len);
    return static_cast<int>(len);
  }
  if (standin::gOutputDisabled) return 0;
  if (!standin::gOutputStarted) {
    standin::gOutputStarted = true;
    if (zend_is_executing()) {
      standin::gOutputStartFile = zend_get_executed_filename();
      standin::gOutputStartLine = zend_get_executed_lineno();
    }
  }
  if (!SG(headers_sent) && !php_header()) {
    standin::gOutputDisabled = true;
    return 0;
  }
  sapi_module.ub_write(str, static_cast<unsigned int>(len));
  return static_cast<int>(len);
}

int php_write(void *buf, zend_uint size) { return php_output_write(static_cast<const char *>(buf), size); }

int php_printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *buffer;
  int size = vspprintf(&buffer, 0, format, args);
  va_end(args);
  php_output_write(buffer, static_cast<size_t>(size));
  efree(buffer);
  return size;
}

int zend_register_auto_global(const char *name, zend_uint name_len, zend_bool jit,
                              zend_auto_global_callback auto_global_callback) {
  zend_auto_global g;
  g.name = name;
  g.name_len = name_len;
  g.auto_global_callback = auto_global_callback;
  g.jit = jit;
  g.armed = 0;
  return zend_hash_add(CG(auto_globals), name, name_len + 1, &g, sizeof(g), nullptr);
}

zend_bool zend_is_auto_global(const char *name, zend_uint name_len) {
  zend_auto_global *g;
  if (!CG(auto_globals) ||
      zend_hash_find(CG(auto_globals), name, name_len + 1, reinterpret_cast<void **>(&g)) != SUCCESS) {
    return 0;
  }
  if (g->armed) g->armed = g->auto_global_callback(g->name, g->name_len);
  return 1;
}

int vspprintf(char **pbuf, size_t max_len, const char *format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int needed = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed < 0) needed = 0;
  size_t size = static_cast<size_t>(needed);
  if (max_len && size > max_len) size = max_len;
  char *buf = static_cast<char *>(emalloc(size + 1));
  va_copy(copy, ap);
  vsnprintf(buf, size + 1, format, copy);
  va_end(copy);
  *pbuf = buf;
  return static_cast<int>(size);
}

int spprintf(char **pbuf, size_t max_len, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vspprintf(pbuf, max_len, format, ap);
  va_end(ap);
  return n;
}

int php_sprintf(char *s, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vsprintf(s, format, ap);
  va_end(ap);
  return n;
}

int ap_php_vsnprintf(char *buf, size_t len, const char *format, va_list ap) {
  return vsnprintf(buf, len, format, ap);
}

int ap_php_snprintf(char *buf, size_t len, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, len, format, ap);
  va_end(ap);
  return n;
}

int ap_php_slprintf(char *buf, size_t len, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, len, format, ap);
  va_end(ap);
  if (n < 0) return 0;
  if (len == 0) return 0;
  return static_cast<size_t>(n) >= len ? static_cast<int>(len - 1) : n;
}

}  // extern "C"
