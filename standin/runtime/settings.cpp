// The settings registry: values from the host's ini file (the
// configuration), and the registered entries that modules and the engine
// itself read by name.
#include <ctype.h>
#include <strings.h>

#include <map>
#include <string>

#include "engine_internal.h"

namespace {

std::map<std::string, std::string> gConfig;
HashTable gDirectives;
bool gDirectivesReady = false;

void freeEntry(void *pData) {
  zend_ini_entry *entry = static_cast<zend_ini_entry *>(pData);
  free(const_cast<char *>(entry->name));
  free(const_cast<char *>(entry->value));
}

struct EngineSetting {
  const char *name;
  const char *value;  // NULL: the setting exists but has no value
};

// The engine's own settings, and the other extensions' settings that a
// module may read; they exist whether or not such an extension is loaded.
const EngineSetting kEngineSettings[] = {
    {"display_errors", "1"},
    {"error_reporting", nullptr},
    {"default_mimetype", "text/html"},
    {"default_charset", "UTF-8"},
    {"extension_dir", nullptr},
    {"mysqli.default_host", nullptr},
    {"mysqli.default_port", nullptr},
    {"mysqli.default_user", nullptr},
    {"mysql.default_host", nullptr},
    {"mysql.default_port", nullptr},
    {"mysql.default_user", nullptr},
};

int removeModuleEntry(void *pData, void *argument) {
  const zend_ini_entry *entry = static_cast<const zend_ini_entry *>(pData);
  return entry->module_number == *static_cast<int *>(argument) ? ZEND_HASH_APPLY_REMOVE : ZEND_HASH_APPLY_KEEP;
}

// error_reporting is written as an expression of E_* names: E_ALL & ~E_NOTICE.
class LevelParser {
 public:
  explicit LevelParser(const char *text) : p_(text) {}
  bool parse(long *out) {
    long v;
    if (!orExpr(&v)) return false;
    skip();
    if (*p_) return false;
    *out = v;
    return true;
  }

 private:
  void skip() { while (isspace(static_cast<unsigned char>(*p_))) ++p_; }
  bool orExpr(long *v) {
    if (!xorExpr(v)) return false;
    for (skip(); *p_ == '|'; skip()) {
      ++p_;
      long r;
      if (!xorExpr(&r)) return false;
      *v |= r;
    }
    return true;
  }
  bool xorExpr(long *v) {
    if (!andExpr(v)) return false;
    for (skip(); *p_ == '^'; skip()) {
      ++p_;
      long r;
      if (!andExpr(&r)) return false;
      *v ^= r;
    }
    return true;
  }
  bool andExpr(long *v) {
    if (!unary(v)) return false;
    for (skip(); *p_ == '&'; skip()) {
      ++p_;
      long r;
      if (!unary(&r)) return false;
      *v &= r;
    }
    return true;
  }
  bool unary(long *v) {
    skip();
    if (*p_ == '~') {
      ++p_;
      if (!unary(v)) return false;
      *v = ~*v;
      return true;
    }
    if (*p_ == '(') {
      ++p_;
      if (!orExpr(v)) return false;
      skip();
      if (*p_ != ')') return false;
      ++p_;
      return true;
    }
    if (isdigit(static_cast<unsigned char>(*p_)) || *p_ == '-') {
      char *end;
      *v = strtol(p_, &end, 10);
      p_ = end;
      return true;
    }
    const char *start = p_;
    while (isalnum(static_cast<unsigned char>(*p_)) || *p_ == '_') ++p_;
    std::string name(start, static_cast<size_t>(p_ - start));
    static const std::map<std::string, long> kLevels = {
        {"E_ERROR", E_ERROR}, {"E_WARNING", E_WARNING}, {"E_PARSE", E_PARSE}, {"E_NOTICE", E_NOTICE},
        {"E_CORE_ERROR", E_CORE_ERROR}, {"E_CORE_WARNING", E_CORE_WARNING},
        {"E_COMPILE_ERROR", E_COMPILE_ERROR}, {"E_COMPILE_WARNING", E_COMPILE_WARNING},
        {"E_USER_ERROR", E_USER_ERROR}, {"E_USER_WARNING", E_USER_WARNING}, {"E_USER_NOTICE", E_USER_NOTICE},
        {"E_STRICT", E_STRICT}, {"E_RECOVERABLE_ERROR", E_RECOVERABLE_ERROR}, {"E_DEPRECATED", E_DEPRECATED},
        {"E_USER_DEPRECATED", E_USER_DEPRECATED}, {"E_ALL", E_ALL}};
    auto it = kLevels.find(name);
    if (it == kLevels.end()) return false;
    *v = it->second;
    return true;
  }
  const char *p_;
};

}  // namespace

namespace standin {

void configSet(const std::string &name, const std::string &value) { gConfig[name] = value; }

void settingsStartup() {
  zend_hash_init(&gDirectives, 64, nullptr, freeEntry, 1);
  gDirectivesReady = true;
  EG(ini_directives) = &gDirectives;
  for (const EngineSetting &s : kEngineSettings) {
    zend_ini_entry entries[2];
    memset(entries, 0, sizeof(entries));
    entries[0].modifiable = ZEND_INI_ALL;
    entries[0].name = s.name;
    entries[0].name_length = static_cast<zend_uint>(strlen(s.name)) + 1;
    entries[0].value = s.value;
    entries[0].value_length = s.value ? static_cast<zend_uint>(strlen(s.value)) : 0;
    zend_register_ini_entries(entries, 0);
  }
}

void settingsShutdown() {
  if (gDirectivesReady) zend_hash_destroy(&gDirectives);
  gDirectivesReady = false;
  EG(ini_directives) = nullptr;
  gConfig.clear();
}

bool settingFlag(const char *name) {
  const char *v = zend_ini_string_ex(name, static_cast<zend_uint>(strlen(name)) + 1, 0, nullptr);
  if (!v || !*v) return false;
  if (!strcasecmp(v, "on") || !strcasecmp(v, "yes") || !strcasecmp(v, "true") || !strcasecmp(v, "stdout") ||
      !strcasecmp(v, "stderr")) {
    return true;
  }
  return strtol(v, nullptr, 10) != 0;
}

long settingLong(const char *name, long fallback) {
  const char *v = zend_ini_string_ex(name, static_cast<zend_uint>(strlen(name)) + 1, 0, nullptr);
  if (!v || !*v) return fallback;
  long level;
  if (LevelParser(v).parse(&level)) return level;
  return fallback;
}

}  // namespace standin

extern "C" {

int zend_register_ini_entries(const zend_ini_entry *ini_entry, int module_number) {
  if (!gDirectivesReady) return FAILURE;
  for (const zend_ini_entry *p = ini_entry; p->name; ++p) {
    zend_ini_entry entry = *p;
    entry.module_number = module_number;
    entry.orig_value = nullptr;
    entry.orig_value_length = 0;
    entry.modified = 0;
    std::string key(p->name, p->name_length ? p->name_length - 1 : 0);
    auto configured = gConfig.find(key);
    const char *defaultValue = p->value;
    const char *value = configured != gConfig.end() ? configured->second.c_str() : defaultValue;
    if (entry.on_modify && value &&
        entry.on_modify(&entry, const_cast<char *>(value), static_cast<zend_uint>(strlen(value)), entry.mh_arg1,
                        entry.mh_arg2, entry.mh_arg3, ZEND_INI_STAGE_STARTUP) != SUCCESS &&
        value != defaultValue) {
      value = defaultValue;  // a configured value the module refuses falls back to its default
    }
    entry.name = strdup(key.c_str());
    entry.name_length = static_cast<zend_uint>(key.size()) + 1;
    entry.value = value ? strdup(value) : nullptr;
    entry.value_length = value ? static_cast<zend_uint>(strlen(value)) : 0;
    if (zend_hash_add(&gDirectives, entry.name, entry.name_length, &entry, sizeof(entry), nullptr) != SUCCESS) {
      freeEntry(&entry);
      zend_unregister_ini_entries(module_number);
      return FAILURE;
    }
  }
  return SUCCESS;
}

void zend_unregister_ini_entries(int module_number) {
  if (!gDirectivesReady) return;
  zend_hash_apply_with_argument(&gDirectives, removeModuleEntry, &module_number);
}

char *zend_ini_string_ex(const char *name, zend_uint name_length, int orig, zend_bool *exists) {
  zend_ini_entry *entry;
  if (!gDirectivesReady ||
      zend_hash_find(&gDirectives, name, name_length, reinterpret_cast<void **>(&entry)) != SUCCESS) {
    if (exists) *exists = 0;
    return nullptr;
  }
  if (exists) *exists = 1;
  const char *value = (orig && entry->modified) ? entry->orig_value : entry->value;
  return const_cast<char *>(value);
}

char *zend_ini_string(const char *name, zend_uint name_length, int orig) {
  zend_bool exists = 0;
  char *value = zend_ini_string_ex(name, name_length, orig, &exists);
  if (!exists) return nullptr;
  return value ? value : const_cast<char *>("");
}

long zend_ini_long(const char *name, zend_uint name_length, int orig) {
  char *value = zend_ini_string_ex(name, name_length, orig, nullptr);
  return value ? strtol(value, nullptr, 10) : 0;
}

double zend_ini_double(const char *name, zend_uint name_length, int orig) {
  char *value = zend_ini_string_ex(name, name_length, orig, nullptr);
  return value ? strtod(value, nullptr) : 0.0;
}

int cfg_get_string(const char *varname, char **result) {
  auto it = gConfig.find(varname);
  if (it == gConfig.end()) {
    *result = nullptr;
    return FAILURE;
  }
  *result = const_cast<char *>(it->second.c_str());
  return SUCCESS;
}

}  // extern "C"
