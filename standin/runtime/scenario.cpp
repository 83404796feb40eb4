// Reading scenarios (JSON) and the host's ini file, and writing responses.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "engine_internal.h"

namespace standin {
namespace {

using JValue = rapidjson::Value;

const char *const kStepKinds[] = {"call",      "new",    "internal", "include", "include_once", "require",
                                  "require_once", "eval", "echo",     "header",  "status",       "setcookie",
                                  "throw",     "try",    "error",    "warning", "notice",       "fatal",
                                  "exit",      "sleep_ms", "set",    "unset"};

std::string describe(const JValue &j) {
  if (j.IsNull()) return "null";
  if (j.IsBool()) return "a boolean";
  if (j.IsNumber()) return "a number";
  if (j.IsString()) return "a string";
  if (j.IsArray()) return "an array";
  return "an object";
}

std::string kindList() {
  std::string list;
  for (const char *k : kStepKinds) {
    if (!list.empty()) list += ", ";
    list += k;
  }
  return list;
}

bool errorTypeByName(const std::string &name, long *type) {
  static const struct {
    const char *name;
    long type;
  } kTypes[] = {{"E_ERROR", E_ERROR},
                {"E_WARNING", E_WARNING},
                {"E_PARSE", E_PARSE},
                {"E_NOTICE", E_NOTICE},
                {"E_CORE_ERROR", E_CORE_ERROR},
                {"E_CORE_WARNING", E_CORE_WARNING},
                {"E_COMPILE_ERROR", E_COMPILE_ERROR},
                {"E_COMPILE_WARNING", E_COMPILE_WARNING},
                {"E_USER_ERROR", E_USER_ERROR},
                {"E_USER_WARNING", E_USER_WARNING},
                {"E_USER_NOTICE", E_USER_NOTICE},
                {"E_STRICT", E_STRICT},
                {"E_RECOVERABLE_ERROR", E_RECOVERABLE_ERROR},
                {"E_DEPRECATED", E_DEPRECATED},
                {"E_USER_DEPRECATED", E_USER_DEPRECATED}};
  for (const auto &t : kTypes) {
    if (name == t.name) {
      *type = t.type;
      return true;
    }
  }
  return false;
}

class ScenarioParser {
 public:
  explicit ScenarioParser(const std::string &source) : source_(source) {}

  const std::string &error() const { return error_; }

  bool parse(const JValue &root, Scenario *sc) {
    sc->source = source_;
    if (!root.IsObject()) return fail("", "a scenario is a JSON object, not " + describe(root));
    if (!allowOnly(root, "", {"process_model", "workers", "daemonize", "settings", "env", "classes", "functions",
                              "requests"})) {
      return false;
    }
    if (root.HasMember("process_model")) {
      const JValue &m = root["process_model"];
      if (!m.IsString()) return fail("process_model", "expected a string, got " + describe(m));
      sc->model = m.GetString();
      if (sc->model != "cli" && sc->model != "prefork" && sc->model != "fpm") {
        return fail("process_model", "unknown process model '" + sc->model + "' (expected cli, prefork or fpm)");
      }
    }
    sc->workers = sc->model == "cli" ? 1 : 2;
    if (root.HasMember("workers")) {
      const JValue &w = root["workers"];
      if (!w.IsInt()) return fail("workers", "expected an integer, got " + describe(w));
      if (w.GetInt() < 1 || w.GetInt() > 64) return fail("workers", "expected 1 to 64 workers");
      if (sc->model == "cli" && w.GetInt() != 1) return fail("workers", "the cli process model runs one process");
      sc->workers = w.GetInt();
    }
    if (root.HasMember("daemonize")) {
      const JValue &d = root["daemonize"];
      if (!d.IsBool()) return fail("daemonize", "expected true or false, got " + describe(d));
      if (sc->model != "fpm") return fail("daemonize", "only the fpm process model daemonizes");
      sc->daemonize = d.GetBool();
    }
    if (root.HasMember("settings") && !stringMap(root["settings"], "settings", true, &sc->settings)) return false;
    if (root.HasMember("env") && !stringMap(root["env"], "env", false, &sc->env)) return false;
    if (root.HasMember("classes") && !classes(root["classes"], sc)) return false;
    if (root.HasMember("functions")) {
      const JValue &f = root["functions"];
      if (!f.IsObject()) return fail("functions", "expected an object, got " + describe(f));
      for (auto it = f.MemberBegin(); it != f.MemberEnd(); ++it) {
        sc->functions.emplace_back();
        if (!function(it->name.GetString(), it->value, "functions." + std::string(it->name.GetString()),
                      &sc->functions.back())) {
          return false;
        }
      }
    }
    if (!root.HasMember("requests")) return fail("", "missing 'requests'");
    const JValue &reqs = root["requests"];
    if (!reqs.IsArray()) return fail("requests", "expected an array, got " + describe(reqs));
    if (reqs.Empty()) return fail("requests", "a scenario needs at least one request");
    for (rapidjson::SizeType i = 0; i < reqs.Size(); ++i) {
      sc->requests.emplace_back();
      if (!request(reqs[i], "requests[" + std::to_string(i) + "]", &sc->requests.back())) return false;
    }
    return true;
  }

 private:
  bool fail(const std::string &where, const std::string &message) {
    if (error_.empty()) error_ = source_ + ": " + (where.empty() ? "" : where + ": ") + message;
    return false;
  }

  bool allowOnly(const JValue &obj, const std::string &where, std::initializer_list<const char *> keys,
                 const char *what = nullptr) {
    for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
      bool known = false;
      for (const char *k : keys) known = known || strcmp(k, it->name.GetString()) == 0;
      if (!known) {
        std::string message = std::string("unknown key '") + it->name.GetString() + "'";
        if (what) message += std::string(" in ") + what;
        return fail(where, message);
      }
    }
    return true;
  }

  bool scalarText(const JValue &v, const std::string &where, std::string *out) {
    if (v.IsString()) {
      out->assign(v.GetString(), v.GetStringLength());
    } else if (v.IsInt64()) {
      *out = std::to_string(v.GetInt64());
    } else if (v.IsUint64()) {
      *out = std::to_string(v.GetUint64());
    } else if (v.IsDouble()) {
      char buf[64];
      snprintf(buf, sizeof(buf), "%.17g", v.GetDouble());
      *out = buf;
    } else if (v.IsBool()) {
      *out = v.GetBool() ? "1" : "";
    } else {
      return fail(where, "expected a string, number or boolean, got " + describe(v));
    }
    return true;
  }

  bool stringMap(const JValue &obj, const std::string &where, bool scalars,
                 std::vector<std::pair<std::string, std::string>> *out) {
    if (!obj.IsObject()) return fail(where, "expected an object, got " + describe(obj));
    for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
      std::string key = it->name.GetString();
      std::string value;
      if (scalars) {
        if (!scalarText(it->value, where + "." + key, &value)) return false;
      } else {
        if (!it->value.IsString()) return fail(where + "." + key, "expected a string, got " + describe(it->value));
        value.assign(it->value.GetString(), it->value.GetStringLength());
      }
      out->emplace_back(key, value);
    }
    return true;
  }

  bool classes(const JValue &obj, Scenario *sc) {
    if (!obj.IsObject()) return fail("classes", "expected an object, got " + describe(obj));
    for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
      std::string where = std::string("classes.") + it->name.GetString();
      const JValue &c = it->value;
      if (!c.IsObject()) return fail(where, "expected an object, got " + describe(c));
      if (!allowOnly(c, where, {"parent", "methods"}, "a class")) return false;
      sc->classes.emplace_back();
      ClassDecl &decl = sc->classes.back();
      decl.name = it->name.GetString();
      if (decl.name.empty()) return fail("classes", "a class needs a name");
      if (c.HasMember("parent")) {
        if (!c["parent"].IsString()) return fail(where + ".parent", "expected a string, got " + describe(c["parent"]));
        decl.parent = c["parent"].GetString();
      }
      if (c.HasMember("methods")) {
        const JValue &m = c["methods"];
        if (!m.IsObject()) return fail(where + ".methods", "expected an object, got " + describe(m));
        for (auto mi = m.MemberBegin(); mi != m.MemberEnd(); ++mi) {
          decl.methods.emplace_back();
          if (!function(mi->name.GetString(), mi->value, where + ".methods." + mi->name.GetString(),
                        &decl.methods.back())) {
            return false;
          }
        }
      }
    }
    return true;
  }

  bool function(const std::string &name, const JValue &f, const std::string &where, FunctionDecl *decl) {
    if (name.empty()) return fail(where, "a function needs a name");
    if (!f.IsObject()) return fail(where, "expected an object, got " + describe(f));
    if (!allowOnly(f, where, {"user", "file", "return", "body"}, "a function")) return false;
    decl->name = name;
    decl->where = where;
    if (f.HasMember("user")) {
      if (!f["user"].IsBool()) return fail(where + ".user", "expected true or false, got " + describe(f["user"]));
      decl->user = f["user"].GetBool();
    }
    if (f.HasMember("file")) {
      if (!decl->user) return fail(where + ".file", "only a user function has a file");
      if (!f["file"].IsString()) return fail(where + ".file", "expected a string, got " + describe(f["file"]));
      decl->file = f["file"].GetString();
    }
    if (decl->user && decl->file.empty()) decl->file = "/var/www/html/functions.php";
    if (f.HasMember("return")) {
      decl->hasReturn = true;
      if (!value(f["return"], where + ".return", &decl->ret)) return false;
    }
    if (f.HasMember("body")) {
      zend_uint line = 1;
      if (!body(f["body"], where + ".body", !decl->user, &line, &decl->body)) return false;
    }
    return true;
  }

  bool request(const JValue &r, const std::string &where, Request *req) {
    if (!r.IsObject()) return fail(where, "expected an object, got " + describe(r));
    if (!allowOnly(r, where, {"name", "file", "server", "cookies", "body", "prepend"}, "a request")) return false;
    if (r.HasMember("name")) {
      if (!r["name"].IsString()) return fail(where + ".name", "expected a string, got " + describe(r["name"]));
      req->name = r["name"].GetString();
    }
    if (!r.HasMember("file")) return fail(where, "a request needs its main 'file'");
    if (!r["file"].IsString()) return fail(where + ".file", "expected a string, got " + describe(r["file"]));
    req->file = r["file"].GetString();
    if (r.HasMember("server") && !stringMap(r["server"], where + ".server", true, &req->server)) return false;
    if (r.HasMember("cookies") && !stringMap(r["cookies"], where + ".cookies", false, &req->cookies)) return false;
    if (r.HasMember("body")) {
      zend_uint line = 1;
      if (!body(r["body"], where + ".body", false, &line, &req->body)) return false;
    }
    if (r.HasMember("prepend")) {
      const JValue &p = r["prepend"];
      std::string pw = where + ".prepend";
      if (!p.IsObject()) return fail(pw, "expected an object, got " + describe(p));
      if (!allowOnly(p, pw, {"file", "body"}, "a prepended file")) return false;
      if (!p.HasMember("file") || !p["file"].IsString()) return fail(pw, "a prepended file needs its 'file'");
      req->hasPrepend = true;
      req->prependFile = p["file"].GetString();
      if (p.HasMember("body")) {
        zend_uint line = 1;
        if (!body(p["body"], pw + ".body", false, &line, &req->prependBody)) return false;
      }
    }
    return true;
  }

  bool value(const JValue &j, const std::string &where, Value *out) {
    if (j.IsNull()) {
      out->kind = Value::Null;
    } else if (j.IsBool()) {
      out->kind = Value::Bool;
      out->b = j.GetBool();
    } else if (j.IsInt64()) {
      out->kind = Value::Long;
      out->l = static_cast<long>(j.GetInt64());
    } else if (j.IsNumber()) {
      out->kind = Value::Double;
      out->d = j.GetDouble();
    } else if (j.IsString()) {
      out->kind = Value::String;
      out->s.assign(j.GetString(), j.GetStringLength());
    } else if (j.IsArray()) {
      out->kind = Value::List;
      for (rapidjson::SizeType i = 0; i < j.Size(); ++i) {
        out->items.emplace_back();
        if (!value(j[i], where + "[" + std::to_string(i) + "]", &out->items.back())) return false;
      }
    } else {
      return objectValue(j, where, out);
    }
    return true;
  }

  bool objectValue(const JValue &j, const std::string &where, Value *out) {
    if (j.HasMember("var")) {
      if (!allowOnly(j, where, {"var"}, "a variable value")) return false;
      if (!j["var"].IsString() || !j["var"].GetStringLength()) return fail(where + ".var", "expected a variable name");
      out->kind = Value::Var;
      out->s = j["var"].GetString();
      return true;
    }
    if (j.HasMember("map")) {
      if (!allowOnly(j, where, {"map"}, "a map value")) return false;
      const JValue &m = j["map"];
      if (!m.IsObject()) return fail(where + ".map", "expected an object, got " + describe(m));
      out->kind = Value::Map;
      for (auto it = m.MemberBegin(); it != m.MemberEnd(); ++it) {
        out->keys.emplace_back(it->name.GetString(), it->name.GetStringLength());
        out->items.emplace_back();
        if (!value(it->value, where + ".map." + it->name.GetString(), &out->items.back())) return false;
      }
      return true;
    }
    if (j.HasMember("new")) {
      if (!allowOnly(j, where, {"new", "properties"}, "an object value")) return false;
      return newValue(j, where, out);
    }
    if (j.HasMember("resource")) {
      if (!allowOnly(j, where, {"resource"}, "a resource value")) return false;
      if (!j["resource"].IsString()) return fail(where + ".resource", "expected a resource type name");
      out->kind = Value::Resource;
      out->s = j["resource"].GetString();
      return true;
    }
    return fail(where, "a value written as an object needs one of var, map, new or resource");
  }

  bool newValue(const JValue &j, const std::string &where, Value *out) {
    if (!j["new"].IsString() || !j["new"].GetStringLength()) return fail(where + ".new", "expected a class name");
    out->kind = Value::New;
    out->s = j["new"].GetString();
    if (j.HasMember("properties")) {
      const JValue &p = j["properties"];
      if (!p.IsObject()) return fail(where + ".properties", "expected an object, got " + describe(p));
      for (auto it = p.MemberBegin(); it != p.MemberEnd(); ++it) {
        out->keys.emplace_back(it->name.GetString(), it->name.GetStringLength());
        out->items.emplace_back();
        if (!value(it->value, where + ".properties." + it->name.GetString(), &out->items.back())) return false;
      }
    }
    return true;
  }

  bool stringAttr(const JValue &s, const char *key, const std::string &where, std::string *out, bool required = false) {
    if (!s.HasMember(key)) {
      if (required) return fail(where, std::string("missing '") + key + "'");
      return true;
    }
    const JValue &v = s[key];
    if (!v.IsString()) return fail(where + "." + key, "expected a string, got " + describe(v));
    out->assign(v.GetString(), v.GetStringLength());
    return true;
  }

  bool boolAttr(const JValue &s, const char *key, const std::string &where, bool *out) {
    if (!s.HasMember(key)) return true;
    const JValue &v = s[key];
    if (!v.IsBool()) return fail(where + "." + key, "expected true or false, got " + describe(v));
    *out = v.GetBool();
    return true;
  }

  bool longAttr(const JValue &s, const char *key, const std::string &where, long *out) {
    if (!s.HasMember(key)) return true;
    const JValue &v = s[key];
    if (!v.IsInt64()) return fail(where + "." + key, "expected an integer, got " + describe(v));
    *out = static_cast<long>(v.GetInt64());
    return true;
  }

  // Attributes shared by the calling steps: arguments, object, results.
  bool callAttrs(const JValue &s, const std::string &where, Step *st) {
    if (!stringAttr(s, "class", where, &st->cls)) return false;
    if (s.HasMember("object")) {
      st->hasObject = true;
      if (!value(s["object"], where + ".object", &st->object)) return false;
    }
    if (!boolAttr(s, "static", where, &st->isStatic)) return false;
    if (st->isStatic && st->hasObject) return fail(where, "a static call has no object");
    if (st->isStatic && st->cls.empty()) return fail(where, "a static call needs its class");
    if (s.HasMember("args")) {
      const JValue &a = s["args"];
      if (!a.IsArray()) return fail(where + ".args", "expected an array, got " + describe(a));
      for (rapidjson::SizeType i = 0; i < a.Size(); ++i) {
        st->args.emplace_back();
        if (!value(a[i], where + ".args[" + std::to_string(i) + "]", &st->args.back())) return false;
      }
    }
    return resultAttrs(s, where, st);
  }

  bool resultAttrs(const JValue &s, const std::string &where, Step *st) {
    if (s.HasMember("return")) {
      st->hasReturn = true;
      if (!value(s["return"], where + ".return", &st->ret)) return false;
    }
    if (!stringAttr(s, "as", where, &st->as)) return false;
    if (s.HasMember("as") && st->as.empty()) return fail(where + ".as", "expected a variable name");
    if (!boolAttr(s, "echo_result", where, &st->echo)) return false;
    st->resultUsed = st->echo || !st->as.empty();
    if (s.HasMember("result_used")) {
      bool used = false;
      if (!boolAttr(s, "result_used", where, &used)) return false;
      if (!used && st->resultUsed) return fail(where + ".result_used", "false, but 'as' or 'echo_result' uses the result");
      st->resultUsed = used;
    }
    return true;
  }

  bool step(const JValue &s, const std::string &where, bool inInternal, zend_uint *line, Step *st) {
    if (!s.IsObject()) return fail(where, "a step is an object, got " + describe(s));
    const char *kind = nullptr;
    for (const char *k : kStepKinds) {
      if (!s.HasMember(k)) continue;
      if (kind) return fail(where, std::string("a step has one kind, this one has both '") + kind + "' and '" + k + "'");
      kind = k;
    }
    if (!kind) {
      std::string first = s.MemberCount() ? s.MemberBegin()->name.GetString() : "";
      return fail(where, "unknown step" + (first.empty() ? std::string() : " '" + first + "'") +
                             " (expected one of: " + kindList() + ")");
    }
    st->where = where;
    if (s.HasMember("line")) {
      const JValue &l = s["line"];
      if (!l.IsUint()) return fail(where + ".line", "expected a line number, got " + describe(l));
      st->line = l.GetUint();
    } else {
      st->line = *line + 1;
    }
    *line = st->line;
    const JValue &main = s[kind];
    std::string k = kind;
    std::string what = "a " + k + " step";

    auto mainString = [&](std::string *out) -> bool {
      if (!main.IsString()) return fail(where + "." + k, "expected a string, got " + describe(main));
      out->assign(main.GetString(), main.GetStringLength());
      return true;
    };
    auto nested = [&](const char *key, bool internal, Body *b, zend_uint *counter) -> bool {
      if (!s.HasMember(key)) return true;
      zend_uint fresh = 1;
      return body(s[key], where + "." + key, internal, counter ? counter : &fresh, b);
    };

    if (k == "call") {
      st->kind = StepKind::Call;
      if (!allowOnly(s, where, {"call", "line", "class", "object", "static", "args", "return", "body", "file", "as",
                                "echo_result", "result_used"}, what.c_str()) ||
          !mainString(&st->name) || !callAttrs(s, where, st) || !stringAttr(s, "file", where, &st->file) ||
          !nested("body", false, &st->body, nullptr)) {
        return false;
      }
      if (st->name.empty()) return fail(where + ".call", "expected a function name");
    } else if (k == "internal") {
      st->kind = StepKind::Internal;
      if (!allowOnly(s, where, {"internal", "line", "class", "object", "static", "args", "return", "body", "as",
                                "echo_result", "result_used"}, what.c_str()) ||
          !mainString(&st->name) || !callAttrs(s, where, st) || !nested("body", true, &st->body, nullptr)) {
        return false;
      }
      if (st->name.empty()) return fail(where + ".internal", "expected a function name");
    } else if (k == "new") {
      st->kind = StepKind::New;
      if (!allowOnly(s, where, {"new", "line", "properties", "args", "constructor", "constructor_name", "body", "file",
                                "return", "as"},
                     what.c_str()) ||
          !mainString(&st->name) || !newValue(s, where, &st->object) || !stringAttr(s, "as", where, &st->as) ||
          !stringAttr(s, "file", where, &st->file)) {
        return false;
      }
      std::string ctor;
      if (!stringAttr(s, "constructor", where, &ctor)) return false;
      if (ctor == "user") {
        st->ctor = 1;
      } else if (ctor == "internal") {
        st->ctor = 2;
      } else if (!ctor.empty()) {
        return fail(where + ".constructor", "expected \"user\" or \"internal\"");
      }
      if (!st->ctor && (s.HasMember("args") || s.HasMember("body") || s.HasMember("return") || s.HasMember("file") ||
                        s.HasMember("constructor_name"))) {
        return fail(where, "args, body, return, file and constructor_name belong to a constructor: add \"constructor\"");
      }
      if (!stringAttr(s, "constructor_name", where, &st->ctorName)) return false;
      if (st->ctorName.empty()) return fail(where + ".constructor_name", "expected a method name");
      if (s.HasMember("args")) {
        const JValue &a = s["args"];
        if (!a.IsArray()) return fail(where + ".args", "expected an array, got " + describe(a));
        for (rapidjson::SizeType i = 0; i < a.Size(); ++i) {
          st->args.emplace_back();
          if (!value(a[i], where + ".args[" + std::to_string(i) + "]", &st->args.back())) return false;
        }
      }
      if (s.HasMember("return")) {
        if (st->ctor != 2) return fail(where + ".return", "only an internal constructor has a return value");
        st->hasReturn = true;
        if (!value(s["return"], where + ".return", &st->ret)) return false;
      }
      if (!nested("body", st->ctor == 2, &st->body, nullptr)) return false;
    } else if (k == "include" || k == "include_once" || k == "require" || k == "require_once" || k == "eval") {
      if (inInternal) return fail(where, k + " is not allowed in an internal function's body");
      st->kind = k == "eval" ? StepKind::Eval : StepKind::Include;
      st->number = k == "eval" ? ZEND_EVAL
                   : k == "include" ? ZEND_INCLUDE
                   : k == "include_once" ? ZEND_INCLUDE_ONCE
                   : k == "require" ? ZEND_REQUIRE
                                    : ZEND_REQUIRE_ONCE;
      if (!allowOnly(s, where, {kind, "line", "body", "return", "as", "echo_result", "result_used"}, what.c_str()) ||
          !mainString(&st->name) || !resultAttrs(s, where, st) || !nested("body", false, &st->body, nullptr)) {
        return false;
      }
      if (st->kind == StepKind::Include && st->name.empty()) return fail(where + "." + k, "expected a file name");
    } else if (k == "echo") {
      st->kind = StepKind::Echo;
      if (!allowOnly(s, where, {"echo", "line"}, what.c_str()) || !mainString(&st->text)) return false;
    } else if (k == "header") {
      st->kind = StepKind::Header;
      st->flag = true;
      if (!allowOnly(s, where, {"header", "line", "replace", "code"}, what.c_str()) || !mainString(&st->text) ||
          !boolAttr(s, "replace", where, &st->flag) || !longAttr(s, "code", where, &st->number)) {
        return false;
      }
    } else if (k == "status") {
      st->kind = StepKind::Status;
      if (!allowOnly(s, where, {"status", "line"}, what.c_str())) return false;
      if (!main.IsInt() || main.GetInt() < 100 || main.GetInt() > 999) {
        return fail(where + ".status", "expected an HTTP status code, got " + describe(main));
      }
      st->number = main.GetInt();
    } else if (k == "setcookie") {
      st->kind = StepKind::SetCookie;
      if (!allowOnly(s, where, {"setcookie", "line", "value", "expires", "path", "domain", "secure", "httponly", "raw"},
                     what.c_str()) ||
          !mainString(&st->name) || !stringAttr(s, "value", where, &st->text) ||
          !longAttr(s, "expires", where, &st->expires) || !stringAttr(s, "path", where, &st->path) ||
          !stringAttr(s, "domain", where, &st->domain) || !boolAttr(s, "secure", where, &st->secure) ||
          !boolAttr(s, "httponly", where, &st->httponly) || !boolAttr(s, "raw", where, &st->rawValue)) {
        return false;
      }
    } else if (k == "throw") {
      st->kind = StepKind::Throw;
      st->flag = s.HasMember("line");
      if (!allowOnly(s, where, {"throw", "line", "message", "code", "file"}, what.c_str()) ||
          !mainString(&st->name) || !stringAttr(s, "message", where, &st->text) ||
          !longAttr(s, "code", where, &st->number) || !stringAttr(s, "file", where, &st->file)) {
        return false;
      }
      if (st->name.empty()) return fail(where + ".throw", "expected a class name");
    } else if (k == "try") {
      if (inInternal) return fail(where, "try is not allowed in an internal function's body");
      st->kind = StepKind::Try;
      if (!allowOnly(s, where, {"try", "line", "catch", "finally"}, what.c_str()) ||
          !body(main, where + ".try", false, line, &st->body)) {
        return false;
      }
      if (s.HasMember("catch")) {
        const JValue &c = s["catch"];
        if (!c.IsArray()) return fail(where + ".catch", "expected an array, got " + describe(c));
        for (rapidjson::SizeType i = 0; i < c.Size(); ++i) {
          std::string cw = where + ".catch[" + std::to_string(i) + "]";
          const JValue &clause = c[i];
          if (!clause.IsObject()) return fail(cw, "expected an object, got " + describe(clause));
          if (!allowOnly(clause, cw, {"class", "as", "body"}, "a catch clause")) return false;
          st->catches.emplace_back();
          Catch &ca = st->catches.back();
          if (!stringAttr(clause, "class", cw, &ca.cls, true) || !stringAttr(clause, "as", cw, &ca.as)) return false;
          if (clause.HasMember("body") && !body(clause["body"], cw + ".body", false, line, &ca.body)) return false;
        }
      }
      if (s.HasMember("finally")) {
        st->hasFinally = true;
        if (!body(s["finally"], where + ".finally", false, line, &st->finallyBody)) return false;
      }
      if (st->catches.empty() && !st->hasFinally) return fail(where, "a try step needs 'catch' or 'finally'");
    } else if (k == "error" || k == "warning" || k == "notice" || k == "fatal") {
      st->kind = StepKind::Error;
      st->number = k == "warning" ? E_WARNING : k == "notice" ? E_NOTICE : k == "fatal" ? E_ERROR : E_WARNING;
      if (k == "error") {
        if (!allowOnly(s, where, {"error", "line", "type"}, what.c_str())) return false;
        if (s.HasMember("type")) {
          const JValue &t = s["type"];
          if (t.IsInt()) {
            st->number = t.GetInt();
          } else if (!t.IsString() || !errorTypeByName(t.GetString(), &st->number)) {
            return fail(where + ".type", "expected an error type number or name (E_WARNING, ...)");
          }
        }
      } else if (!allowOnly(s, where, {kind, "line"}, what.c_str())) {
        return false;
      }
      if (!mainString(&st->text)) return false;
    } else if (k == "exit") {
      st->kind = StepKind::Exit;
      if (!allowOnly(s, where, {"exit", "line"}, what.c_str())) return false;
      if (main.IsString()) {
        st->flag = true;
        st->text.assign(main.GetString(), main.GetStringLength());
      } else if (main.IsInt()) {
        st->number = main.GetInt();
      } else {
        return fail(where + ".exit", "expected an exit status or a message, got " + describe(main));
      }
    } else if (k == "sleep_ms") {
      st->kind = StepKind::Sleep;
      if (!allowOnly(s, where, {"sleep_ms", "line"}, what.c_str())) return false;
      if (!main.IsInt() || main.GetInt() < 0 || main.GetInt() > 10000) {
        return fail(where + ".sleep_ms", "expected 0 to 10000 milliseconds");
      }
      st->number = main.GetInt();
    } else if (k == "set") {
      st->kind = StepKind::Set;
      if (!allowOnly(s, where, {"set", "line", "value"}, what.c_str()) || !mainString(&st->name)) return false;
      if (!s.HasMember("value")) return fail(where, "missing 'value'");
      if (!value(s["value"], where + ".value", &st->value)) return false;
    } else if (k == "unset") {
      st->kind = StepKind::Unset;
      if (!allowOnly(s, where, {"unset", "line"}, what.c_str()) || !mainString(&st->name)) return false;
    }
    if ((st->kind == StepKind::Set || st->kind == StepKind::Unset) && st->name.empty()) {
      return fail(where + "." + k, "expected a variable name");
    }
    return true;
  }

  bool body(const JValue &b, const std::string &where, bool inInternal, zend_uint *line, Body *out) {
    if (!b.IsArray()) return fail(where, "expected an array of steps, got " + describe(b));
    out->steps.resize(b.Size());
    for (rapidjson::SizeType i = 0; i < b.Size(); ++i) {
      if (!step(b[i], where + "[" + std::to_string(i) + "]", inInternal, line, &out->steps[i])) return false;
    }
    return true;
  }

  std::string source_;
  std::string error_;
};

void compileBody(Body *b);

void compileStep(Step *st) {
  compileBody(&st->body);
  for (Catch &c : st->catches) compileBody(&c.body);
  compileBody(&st->finallyBody);
  st->behaviour.body = st->body.steps.empty() ? nullptr : &st->body;
  st->behaviour.ret = st->hasReturn ? &st->ret : nullptr;
}

void compileBody(Body *b) {
  for (Step &st : b->steps) compileStep(&st);
  b->ops.assign(b->steps.size() + 1, zend_op());
  zend_uint temps = static_cast<zend_uint>(b->ops.size());
  for (size_t i = 0; i < b->steps.size(); ++i) {
    Step &st = b->steps[i];
    zend_op &op = b->ops[i];
    op.handler = &st;
    op.lineno = st.line;
    op.result.var = static_cast<zend_uint>(i);
    op.op1_type = op.op2_type = IS_UNUSED;
    op.result_type = IS_UNUSED;
    op.opcode = ZEND_NOP;
    switch (st.kind) {
      case StepKind::Call:
      case StepKind::Internal:
        op.opcode = ZEND_DO_FCALL;
        op.extended_value = st.args.size();
        op.result_type = IS_VAR | (st.resultUsed ? 0 : EXT_TYPE_UNUSED);
        break;
      case StepKind::New:
        // The constructor call; the new object itself is the step's value.
        op.opcode = st.ctor ? ZEND_DO_FCALL : ZEND_NEW;
        op.extended_value = st.args.size();
        op.result_type = IS_VAR | (st.ctor ? EXT_TYPE_UNUSED : 0);
        break;
      case StepKind::Include:
      case StepKind::Eval:
        op.opcode = ZEND_INCLUDE_OR_EVAL;
        op.extended_value = static_cast<zend_ulong>(st.number);
        op.result_type = IS_VAR | (st.resultUsed ? 0 : EXT_TYPE_UNUSED);
        break;
      case StepKind::Echo:
        op.opcode = ZEND_ECHO;
        break;
      case StepKind::Throw:
        op.opcode = ZEND_THROW;
        break;
      case StepKind::Exit:
        op.opcode = ZEND_EXIT;
        break;
      default:
        break;
    }
    if (st.kind == StepKind::Try) {
      temps = std::max(temps, st.body.temps);
      for (const Catch &c : st.catches) temps = std::max(temps, c.body.temps);
      temps = std::max(temps, st.finallyBody.temps);
    }
  }
  zend_op &ret = b->ops.back();
  ret.opcode = ZEND_RETURN;
  ret.lineno = b->steps.empty() ? 1 : b->steps.back().line;
  ret.op1_type = ret.op2_type = ret.result_type = IS_UNUSED;
  b->temps = temps;
}

void compileFunction(FunctionDecl *f) {
  compileBody(&f->body);
  f->behaviour.body = f->body.steps.empty() ? nullptr : &f->body;
  f->behaviour.ret = f->hasReturn ? &f->ret : nullptr;
}

bool readFile(const std::string &path, std::string *out, std::string *error, const char *what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::string("cannot read ") + what + " '" + path + "': " + strerror(errno);
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

std::unique_ptr<Scenario> parseScenario(const std::string &text, const std::string &source, std::string *error) {
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError()) {
    size_t offset = doc.GetErrorOffset();
    size_t line = 1, column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    *error = source + ": line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
             rapidjson::GetParseError_En(doc.GetParseError());
    return nullptr;
  }
  std::unique_ptr<Scenario> sc(new Scenario());
  ScenarioParser parser(source);
  if (!parser.parse(doc, sc.get())) {
    *error = parser.error();
    return nullptr;
  }
  // Compiled once the tree is complete: instructions point at their steps.
  for (ClassDecl &c : sc->classes) {
    for (FunctionDecl &m : c.methods) compileFunction(&m);
  }
  for (FunctionDecl &f : sc->functions) compileFunction(&f);
  for (Request &r : sc->requests) {
    compileBody(&r.body);
    compileBody(&r.prependBody);
  }
  return sc;
}

std::unique_ptr<Scenario> loadScenario(const std::string &path, std::string *error) {
  std::string text;
  if (!readFile(path, &text, error, "scenario")) return nullptr;
  return parseScenario(text, path, error);
}

bool parseIni(const std::string &text, const std::string &source, IniFile *out, std::string *error) {
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  auto fail = [&](const std::string &message) {
    *error = source + ":" + std::to_string(number) + ": " + message;
    return false;
  };
  while (std::getline(in, raw)) {
    ++number;
    std::string line = trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail("a section header needs its closing ']'");
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected 'name = value', got '" + line + "'");
    std::string key = trim(line.substr(0, eq));
    if (key.empty()) return fail("missing name before '='");
    for (char c : key) {
      if (isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\'' || c == ';') {
        return fail("bad setting name '" + key + "'");
      }
    }
    std::string rest = trim(line.substr(eq + 1));
    std::string value;
    if (!rest.empty() && (rest[0] == '"' || rest[0] == '\'')) {
      char quote = rest[0];
      size_t i = 1;
      bool closed = false;
      for (; i < rest.size(); ++i) {
        char c = rest[i];
        if (quote == '"' && c == '\\' && i + 1 < rest.size() && (rest[i + 1] == '"' || rest[i + 1] == '\\')) {
          value += rest[++i];
        } else if (c == quote) {
          closed = true;
          break;
        } else {
          value += c;
        }
      }
      if (!closed) return fail("unterminated quoted value");
      std::string after = trim(rest.substr(i + 1));
      if (!after.empty() && after[0] != ';') return fail("unexpected text after the quoted value: '" + after + "'");
    } else {
      size_t comment = rest.find(';');
      value = trim(rest.substr(0, comment));
      // Unquoted words for true and false, as the interpreter reads them.
      if (!strcasecmp(value.c_str(), "on") || !strcasecmp(value.c_str(), "yes") ||
          !strcasecmp(value.c_str(), "true")) {
        value = "1";
      } else if (!strcasecmp(value.c_str(), "off") || !strcasecmp(value.c_str(), "no") ||
                 !strcasecmp(value.c_str(), "false") || !strcasecmp(value.c_str(), "none") ||
                 !strcasecmp(value.c_str(), "null")) {
        value = "";
      }
    }
    if (key == "extension") {
      if (value.empty()) return fail("extension needs a file name");
      out->extensions.push_back(value);
    } else if (key == "zend_extension") {
      return fail("zend_extension is not supported; load the module with extension=");
    } else {
      out->settings.emplace_back(key, value);
    }
  }
  return true;
}

bool loadIni(const std::string &path, IniFile *out, std::string *error) {
  std::string text;
  if (!readFile(path, &text, error, "ini file")) return false;
  return parseIni(text, path, out, error);
}

std::string responseToJson(const Response &response) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("request");
  w.Int(response.request);
  w.Key("worker");
  w.Int(response.worker);
  w.Key("status");
  w.Int(response.status);
  w.Key("headers");
  w.StartArray();
  for (const std::string &h : response.headers) w.String(h.data(), static_cast<rapidjson::SizeType>(h.size()));
  w.EndArray();
  w.Key("cookies");
  w.StartArray();
  static const char kSetCookie[] = "set-cookie:";
  for (const std::string &h : response.headers) {
    if (h.size() < sizeof(kSetCookie) - 1 || strncasecmp(h.c_str(), kSetCookie, sizeof(kSetCookie) - 1) != 0) continue;
    std::string cookie = trim(h.substr(sizeof(kSetCookie) - 1));
    std::string pair = cookie.substr(0, cookie.find(';'));
    size_t eq = pair.find('=');
    w.StartObject();
    w.Key("name");
    std::string name = pair.substr(0, eq);
    w.String(name.data(), static_cast<rapidjson::SizeType>(name.size()));
    w.Key("value");
    std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
    w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    w.EndObject();
  }
  w.EndArray();
  w.Key("body");
  w.String(response.body.data(), static_cast<rapidjson::SizeType>(response.body.size()));
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace standin
