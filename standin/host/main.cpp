// standin-php: plays the interpreter and the web server around an extension
// module. It reads an ini file and a scenario, loads the extensions the ini
// file names, and runs the scenario's requests in the scenario's process
// model, as the command-line interpreter, a prefork web server or a PHP-FPM
// master would.
//
//   standin-php -c PHP.INI SCENARIO.json [--responses FILE] [-D|-F]
//
// Exit codes: 0 done; 1 an extension could not be loaded; 2 bad command
// line, ini file or scenario; 3 a worker or the master process did not end
// cleanly.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "standin_runtime.h"

namespace {

const int kExitOk = 0;
const int kExitExtension = 1;
const int kExitUsage = 2;
const int kExitChild = 3;

struct Options {
  std::string ini;
  std::string scenario;
  std::string responses;
  std::string daemonFlag;  // "-D", "-F" or empty
};

[[noreturn]] void die(int code, const std::string &message) {
  fprintf(stderr, "standin-php: %s\n", message.c_str());
  fflush(stderr);
  exit(code);
}

void usage(const std::string &problem) {
  die(kExitUsage, problem + "\nusage: standin-php -c PHP.INI SCENARIO.json [--responses FILE] [-D|-F]");
}

Options parseOptions(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-c") {
      if (++i >= argc) usage("-c needs an ini file");
      o.ini = argv[i];
    } else if (a == "--responses") {
      if (++i >= argc) usage("--responses needs a file");
      o.responses = argv[i];
    } else if (a == "-D" || a == "--daemonize" || a == "-F" || a == "--nodaemonize") {
      std::string flag = (a == "-D" || a == "--daemonize") ? "-D" : "-F";
      if (!o.daemonFlag.empty() && o.daemonFlag != flag) usage("-D and -F exclude each other");
      o.daemonFlag = flag;
    } else if (!a.empty() && a[0] == '-') {
      usage("unknown option " + a);
    } else if (o.scenario.empty()) {
      o.scenario = a;
    } else {
      usage("more than one scenario given");
    }
  }
  if (o.ini.empty()) usage("no ini file given (-c)");
  if (o.scenario.empty()) usage("no scenario given");
  return o;
}

// PHP-FPM's own command line says whether it daemonizes, and modules read
// that from the process's command line: run again with the scenario's flag.
void reexecWithFlag(int argc, char **argv, const char *flag) {
  std::vector<char *> args(argv, argv + argc);
  args.push_back(const_cast<char *>(flag));
  args.push_back(nullptr);
  fflush(nullptr);
  execv("/proc/self/exe", args.data());
  die(kExitUsage, std::string("cannot run again with ") + flag + ": " + strerror(errno));
}

std::string resolveExtension(const std::string &path, const standin::IniFile &ini) {
  if (!path.empty() && path[0] == '/') return path;
  for (const auto &s : ini.settings) {
    if (s.first == "extension_dir" && !s.second.empty()) return s.second + "/" + path;
  }
  return path;
}

void loadExtensions(const standin::IniFile &ini) {
  for (const std::string &name : ini.extensions) {
    std::string path = resolveExtension(name, ini);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      die(kExitExtension, "cannot load extension '" + path + "': " + strerror(errno));
    }
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) die(kExitExtension, "cannot load extension '" + path + "': " + dlerror());
    using GetModule = zend_module_entry *(*)();
    GetModule getModule = reinterpret_cast<GetModule>(dlsym(handle, "get_module"));
    if (!getModule) die(kExitExtension, "extension '" + path + "' has no get_module()");
    zend_module_entry *entry = getModule();
    if (!entry) die(kExitExtension, "extension '" + path + "': get_module() returned no module");
    std::string error;
    if (!standin::registerModule(entry, handle, &error)) {
      dlclose(handle);
      die(kExitExtension, "extension '" + path + "': " + error);
    }
  }
}

void writeAll(int fd, const std::string &text) {
  const char *p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

class Host {
 public:
  Host(const standin::Scenario &scenario, int responsesFd) : scenario_(scenario), responsesFd_(responsesFd) {}

  // The requests of one worker: request i goes to worker i % workers.
  void runWorker(int worker) {
    for (size_t i = static_cast<size_t>(worker); i < scenario_.requests.size();
         i += static_cast<size_t>(scenario_.workers)) {
      standin::Response response;
      standin::runRequest(scenario_, i, &response);
      response.worker = worker;
      // One write per line: workers share the file, opened for appending.
      if (responsesFd_ >= 0) writeAll(responsesFd_, standin::responseToJson(response) + "\n");
    }
  }

  // Forks the workers and waits for all of them; 0 when all ended cleanly.
  int forkWorkers(bool shutdownInWorkers) {
    std::vector<pid_t> pids;
    for (int w = 0; w < scenario_.workers; ++w) {
      fflush(nullptr);
      pid_t pid = fork();
      if (pid < 0) die(kExitChild, std::string("cannot fork a worker: ") + strerror(errno));
      if (pid == 0) {
        runWorker(w);
        if (shutdownInWorkers) standin::modulesShutdown();
        fflush(nullptr);
        exit(kExitOk);
      }
      pids.push_back(pid);
    }
    int result = kExitOk;
    for (size_t w = 0; w < pids.size(); ++w) {
      if (!waitFor(pids[w], "worker " + std::to_string(w))) result = kExitChild;
    }
    return result;
  }

  static bool waitFor(pid_t pid, const std::string &what) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) {
        fprintf(stderr, "standin-php: cannot wait for %s (pid %d): %s\n", what.c_str(), pid, strerror(errno));
        return false;
      }
    }
    if (WIFSIGNALED(status)) {
      fprintf(stderr, "standin-php: %s (pid %d) ended by signal %d\n", what.c_str(), pid, WTERMSIG(status));
      return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      fprintf(stderr, "standin-php: %s (pid %d) exited with status %d\n", what.c_str(), pid, WEXITSTATUS(status));
      return false;
    }
    return true;
  }

 private:
  const standin::Scenario &scenario_;
  int responsesFd_;
};

// Puts the responses in request order once every process has written its
// lines, so that a run's file does not depend on which worker was faster.
void sortResponses(const std::string &path) {
  std::ifstream in(path);
  std::vector<std::pair<long, std::string>> lines;
  std::string line;
  while (std::getline(in, line)) {
    rapidjson::Document doc;
    doc.Parse(line.c_str());
    long index = (!doc.HasParseError() && doc.IsObject() && doc.HasMember("request") && doc["request"].IsInt())
                     ? doc["request"].GetInt()
                     : -1;
    lines.emplace_back(index, line);
  }
  in.close();
  std::stable_sort(lines.begin(), lines.end(),
                   [](const std::pair<long, std::string> &a, const std::pair<long, std::string> &b) {
                     return a.first < b.first;
                   });
  std::string text;
  for (const auto &l : lines) text += l.second + "\n";
  std::string tmp = path + ".sorting";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
  }
  rename(tmp.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  Options options = parseOptions(argc, argv);

  standin::IniFile ini;
  std::string error;
  if (!standin::loadIni(options.ini, &ini, &error)) die(kExitUsage, error);
  std::unique_ptr<standin::Scenario> scenario = standin::loadScenario(options.scenario, &error);
  if (!scenario) die(kExitUsage, error);

  if (scenario->model == "fpm") {
    const char *wanted = scenario->daemonize ? "-D" : "-F";
    if (options.daemonFlag.empty()) reexecWithFlag(argc, argv, wanted);
    if (options.daemonFlag != wanted) {
      die(kExitUsage, "the command line says " + options.daemonFlag + " but the scenario says " + wanted);
    }
  } else if (!options.daemonFlag.empty()) {
    die(kExitUsage, options.daemonFlag + " applies to the fpm process model only");
  }

  for (const auto &e : scenario->env) setenv(e.first.c_str(), e.second.c_str(), 1);
  for (const auto &s : ini.settings) standin::configSet(s.first, s.second);
  for (const auto &s : scenario->settings) standin::configSet(s.first, s.second);

  int responsesFd = -1;
  if (!options.responses.empty()) {
    responsesFd = open(options.responses.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (responsesFd < 0) die(kExitUsage, "cannot write '" + options.responses + "': " + strerror(errno));
  }

  const char *sapiName = scenario->model == "cli"       ? "cli"
                         : scenario->model == "prefork" ? "apache2handler"
                                                        : "fpm-fcgi";
  standin::engineStartup(sapiName);
  standin::declareScenario(*scenario);
  loadExtensions(ini);
  standin::modulesStartup();

  Host host(*scenario, responsesFd);
  int result = kExitOk;
  if (scenario->model == "cli") {
    standin::setOutputEcho(STDOUT_FILENO);
    host.runWorker(0);
    standin::modulesShutdown();
  } else if (scenario->model == "prefork") {
    // The web server's parent: workers serve the requests and end without
    // a module shutdown; the parent shuts the module down when all are gone.
    result = host.forkWorkers(false);
    standin::modulesShutdown();
  } else {
    // PHP-FPM: the loading process starts the long-lived master and shuts
    // its own copy of the module down; the master forks the workers, which
    // shut down their copies when done, and shuts down last.
    fflush(nullptr);
    pid_t master = fork();
    if (master < 0) die(kExitChild, std::string("cannot fork the master: ") + strerror(errno));
    if (master == 0) {
      int masterResult = host.forkWorkers(true);
      standin::modulesShutdown();
      fflush(nullptr);
      exit(masterResult);
    }
    standin::modulesShutdown();
    if (!Host::waitFor(master, "master")) result = kExitChild;
  }
  standin::engineShutdown();

  if (responsesFd >= 0) {
    close(responsesFd);
    sortResponses(options.responses);
  }
  fflush(nullptr);
  return result;
}
