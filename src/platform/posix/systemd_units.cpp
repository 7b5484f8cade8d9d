#include "platform/posix/systemd_units.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/posix/state_root.h"

extern char** environ;

namespace platform::posix {

namespace {

constexpr ErrorCode kErrorNoController = 1063;  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
constexpr const char* kMachineStateRoot = "/var/lib/vornd";
constexpr const char* kInstanceVariable = "VORND_UNIT_INSTANCE";

const char* const kTemplatePaths[] = {
    "/etc/systemd/system/vornd@.service",
    "/lib/systemd/system/vornd@.service",
    "/usr/lib/systemd/system/vornd@.service",
};

bool exists(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0;
}

const char* toolPath(const char* usrPath, const char* binPath) {
  for (const char* path : {usrPath, binPath}) {
    if (access(path, X_OK) == 0) return path;
  }
  return nullptr;
}

const char* systemctlPath() { return toolPath("/usr/bin/systemctl", "/bin/systemctl"); }

// Runs the program with the arguments, its output in `output` when asked
// for; true when it ended with status 0.
bool runTool(const char* program, const std::vector<std::string>& arguments,
             std::string* output) {
  if (program == nullptr) {
    setLastError(kErrorNoController);
    return false;
  }
  int pipeFds[2] = {-1, -1};
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return failWithErrno();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program, &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    setLastError(kErrorNoController);
    return false;
  }
  if (output != nullptr) {
    char buffer[512];
    for (;;) {
      const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      output->append(buffer, static_cast<std::size_t>(got));
    }
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  setLastError(kErrorNoController);
  return false;
}

bool systemctl(const std::vector<std::string>& arguments, std::string* output = nullptr) {
  return runTool(systemctlPath(), arguments, output);
}

// The unit's properties as systemctl show gives them, name=value a line.
std::string unitProperty(const std::string& shown, const std::string& name) {
  const std::string key = name + "=";
  for (std::string::size_type at = 0; at < shown.size();) {
    const std::string::size_type end = std::min(shown.find('\n', at), shown.size());
    if (shown.compare(at, key.size(), key) == 0) {
      return shown.substr(at + key.size(), end - at - key.size());
    }
    at = end + 1;
  }
  return "";
}

const char* stateWord(std::uint32_t state) {
  switch (state) {
    case kServiceStopped: return "stopped";
    case kServiceStartPending: return "starting";
    case kServiceStopPending: return "stopping";
    case kServiceRunning: return "running";
    case kServiceContinuePending: return "continuing";
    case kServicePausePending: return "pausing";
    case kServicePaused: return "paused";
    default: return "unknown";
  }
}

void sendNotification(const std::string& message) {
  const char* socketPath = std::getenv("NOTIFY_SOCKET");
  if (socketPath == nullptr || (socketPath[0] != '/' && socketPath[0] != '@')) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(socketPath);
  if (length >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, socketPath, length);
  // An abstract socket's name begins with a zero byte, not its '@'.
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
         reinterpret_cast<const sockaddr*>(&address), size);
  close(fd);
}

}  // namespace

bool systemdManagesServices() {
  if (const char* choice = std::getenv("VORND_SERVICE_MANAGER");
      choice != nullptr && std::strcmp(choice, "detached") == 0) {
    return false;
  }
  if (!exists("/run/systemd/system") || systemctlPath() == nullptr) return false;
  // The units run on the machine's own state root; services kept under
  // another one are this caller's own.
  if (stateRoot() != kMachineStateRoot) return false;
  for (const char* path : kTemplatePaths) {
    if (exists(path)) return true;
  }
  return false;
}

std::string systemdEscape(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string escaped;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                       (byte >= '0' && byte <= '9') || byte == ':' || byte == '_' ||
                       (byte == '.' && i != 0);
    if (plain) {
      escaped += static_cast<char>(byte);
    } else if (byte == '/') {
      escaped += '-';
    } else {
      escaped += "\\x";
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0xF];
    }
  }
  return escaped;
}

std::string unitName(const std::string& serviceName) {
  return "vornd@" + systemdEscape(serviceName) + ".service";
}

bool enableUnit(const std::string& serviceName) {
  return systemctl({"enable", "--quiet", unitName(serviceName)});
}

bool disableUnit(const std::string& serviceName) {
  return systemctl({"disable", "--quiet", unitName(serviceName)});
}

bool startUnit(const std::string& serviceName) {
  // A start the administrator asks for is no crash loop: the unit's start
  // limit, and a failure left from before, must not stand in its way.
  systemctl({"reset-failed", unitName(serviceName)});
  // Not waited for here: the daemon says it is ready only once it listens.
  return systemctl({"start", "--no-block", unitName(serviceName)});
}

UnitStart unitStartState(const std::string& serviceName, std::string& cause) {
  std::string shown;
  if (!systemctl({"show", "--property=ActiveState,SubState,Result,InvocationID,Job",
                  unitName(serviceName)},
                 &shown)) {
    cause = "systemctl show " + unitName(serviceName) + " failed";
    return UnitStart::kFailed;
  }
  const std::string active = unitProperty(shown, "ActiveState");
  const std::string sub = unitProperty(shown, "SubState");
  const bool jobPending = !unitProperty(shown, "Job").empty();
  if (active == "active") return UnitStart::kStarted;
  if (active != "failed" && sub != "auto-restart" && (active != "inactive" || jobPending)) {
    return UnitStart::kStarting;
  }
  cause = unitName(serviceName) + " failed to start (" + unitProperty(shown, "Result") + ")";
  // The unit's own last lines say why: its daemon's, or systemd's.
  std::string lines;
  const std::string invocation = unitProperty(shown, "InvocationID");
  if (!invocation.empty() &&
      runTool(toolPath("/usr/bin/journalctl", "/bin/journalctl"),
              {"--no-pager", "--quiet", "-o", "cat", "-n", "5",
               "_SYSTEMD_INVOCATION_ID=" + invocation},
              &lines) &&
      !lines.empty()) {
    cause += ":\n" + lines;
    if (cause.back() == '\n') cause.pop_back();
  }
  return UnitStart::kFailed;
}

bool stopUnit(const std::string& serviceName) {
  return systemctl({"stop", unitName(serviceName)});
}

ServiceStatus unitStatus(const std::string& serviceName) {
  ServiceStatus status;
  status.serviceType = kServiceWin32OwnProcess;
  status.currentState = kServiceStopped;
  std::string shown;
  if (!systemctl({"show", "--property=ActiveState", "--value", unitName(serviceName)}, &shown)) {
    return status;
  }
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == ' ')) shown.pop_back();
  if (shown == "activating" || shown == "reloading") {
    status.currentState = kServiceStartPending;
  } else if (shown == "active") {
    status.currentState = kServiceRunning;
  } else if (shown == "deactivating") {
    status.currentState = kServiceStopPending;
  }
  return status;
}

std::string unitServiceName() {
  const char* name = std::getenv(kInstanceVariable);
  return name != nullptr ? name : "";
}

std::string startArgumentsPath(const std::string& serviceName) {
  return stateFile("run/" + serviceName + ".start");
}

void notifyReadyToStop() {
  if (std::getenv("NOTIFY_SOCKET") != nullptr) sendNotification("READY=1");
}

void notifyStatus(const ServiceStatus& status, const std::string& text) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
  std::string message;
  if (status.currentState == kServiceRunning) message += "READY=1\n";
  if (status.currentState == kServiceStopPending) message += "STOPPING=1\n";
  // Past the first checkpoint the daemon reports progress: each report
  // buys it its wait hint more, as a start pending status does on Windows.
  if (status.currentState == kServiceStartPending && status.checkPoint > 1 &&
      status.waitHint != 0) {
    message += "EXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t{status.waitHint} * 1000) + "\n";
  }
  message += "STATUS=" + (text.empty() ? std::string(stateWord(status.currentState)) : text);
  sendNotification(message);
}

}  // namespace platform::posix
