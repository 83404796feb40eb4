// The stand-in engine's own side: the scenario a host runs, the ini file it
// reads, and the calls that start the engine, load modules and run requests.
//
// standin-php is built on this, and so can tests that want to drive the
// engine inside their own process: start the engine, register a module
// entry (or install hooks by hand), parse a scenario and run its requests.
#ifndef STANDIN_RUNTIME_H
#define STANDIN_RUNTIME_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "php_engine.h"

namespace standin {

// A value written in a scenario.
struct Value {
  enum Kind { Null, Bool, Long, Double, String, List, Map, Var, New, Resource };
  Kind kind = Null;
  bool b = false;
  long l = 0;
  double d = 0;
  std::string s;                  // string; variable name; class of New; resource type
  std::vector<Value> items;       // list items, map values, New's property values
  std::vector<std::string> keys;  // map keys, New's property names
};

enum class StepKind {
  Call, New, Internal, Include, Eval, Echo, Header, Status, SetCookie,
  Throw, Try, Error, Exit, Sleep, Set, Unset
};

struct Step;

// A list of steps and the instructions they compile to, one per step.
struct Body {
  std::vector<Step> steps;
  std::vector<zend_op> ops;
  zend_uint temps = 0;  // temporaries a frame running this body needs
};

// What an internal function does when it is called.
struct Behaviour {
  const Body *body = nullptr;
  const Value *ret = nullptr;  // NULL: returns null
};

struct Catch {
  std::string cls;
  std::string as;
  Body body;
};

struct Step {
  StepKind kind = StepKind::Echo;
  std::string where;  // "requests[0].body[2]", for messages
  zend_uint line = 0;
  std::string name;   // function, method, file, class of New/Throw, variable
  std::string cls;    // class of a method
  std::string file;   // file of a user function's code; file of a thrown exception
  std::string text;   // echo text, header line, message
  std::string as;     // variable that receives the result
  bool hasObject = false;
  Value object;
  std::vector<Value> args;
  bool hasReturn = false;
  Value ret;
  bool resultUsed = false;
  bool echo = false;
  bool isStatic = false;
  long number = 0;    // include kind, error type, exit status, status code, sleep ms, exception code
  bool flag = false;  // header: replace; exit: has a message; throw: has a line
  Body body;
  std::vector<Catch> catches;
  bool hasFinally = false;
  Body finallyBody;
  int ctor = 0;  // New: 0 no constructor call, 1 user, 2 internal
  std::string ctorName = "__construct";
  Value value;   // Set: the value; SetCookie: the value
  long expires = 0;
  std::string path, domain;
  bool secure = false, httponly = false, rawValue = false;
  Behaviour behaviour;  // Internal: what the function does
};

struct FunctionDecl {
  std::string name;
  std::string where;
  bool user = false;
  std::string file;
  Body body;
  bool hasReturn = false;
  Value ret;
  Behaviour behaviour;
};

struct ClassDecl {
  std::string name;
  std::string parent;
  std::vector<FunctionDecl> methods;
};

struct Request {
  std::string name;
  std::vector<std::pair<std::string, std::string>> server;
  std::vector<std::pair<std::string, std::string>> cookies;
  std::string file;
  Body body;
  bool hasPrepend = false;
  std::string prependFile;
  Body prependBody;
};

struct Scenario {
  std::string source;       // file name used in messages
  std::string model = "cli";
  int workers = 1;
  bool daemonize = true;    // fpm: -D (true) or -F (false)
  std::vector<std::pair<std::string, std::string>> settings;
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<ClassDecl> classes;
  std::vector<FunctionDecl> functions;
  std::vector<Request> requests;
};

// Parses a scenario; on error returns null and sets *error to a message that
// names the place ("<source>: requests[0].body[3]: ...").
std::unique_ptr<Scenario> parseScenario(const std::string &text, const std::string &source,
                                        std::string *error);
std::unique_ptr<Scenario> loadScenario(const std::string &path, std::string *error);

// The host's ini file: settings in file order, and the extensions to load.
struct IniFile {
  std::vector<std::pair<std::string, std::string>> settings;
  std::vector<std::string> extensions;
};
bool parseIni(const std::string &text, const std::string &source, IniFile *out, std::string *error);
bool loadIni(const std::string &path, IniFile *out, std::string *error);

// What one request sent back.
struct Response {
  int request = 0;
  int worker = 0;
  int status = 200;
  bool headersSent = false;
  std::vector<std::string> headers;  // lines as passed to send_headers
  std::string body;                  // bytes passed to the server's ub_write
};
std::string responseToJson(const Response &response);

// Engine lifecycle. configSet() before engineStartup() gives settings their
// values (the ini file's, then the scenario's); engineStartup() prepares the
// globals, the server interface named sapiName and the engine's own settings.
void configSet(const std::string &name, const std::string &value);
void engineStartup(const char *sapiName);
void engineShutdown();
bool engineStarted();

// Makes the scenario's declared classes and functions known to the engine.
void declareScenario(const Scenario &scenario);

// Registers a module after checking its API number and build id. handle is
// the dlopen() handle (or null); it is closed when the module is unloaded.
bool registerModule(zend_module_entry *module, void *handle, std::string *error);
// Module start of every registered module, in registration order.
void modulesStartup();
// Module shutdown of every started module, then unloads them all.
void modulesShutdown();

// Runs one request: request start, the request's files, request end.
void runRequest(const Scenario &scenario, size_t index, Response *out);

// Server output also goes to this descriptor (-1: nowhere); the cli host
// writes to standard output like the real command-line interpreter.
void setOutputEcho(int fd);

// Engine memory blocks not yet released (for tests).
size_t engineMemoryBlocks();

}  // namespace standin

#endif
