#include "platform/service_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/posix/service_control_channel.h"
#include "platform/posix/service_files.h"
#include "platform/posix/state_root.h"
#include "platform/posix/unix_socket_path.h"
#include "platform/registry.h"
#include "platform/tap.h"

namespace platform {

struct ScHandleImpl {
  bool manager = false;
  std::string name;  // the service's name as recorded, for service handles
};

// One per process: a process runs one service.
struct ServiceStatusHandleImpl {};

namespace {

using posix::failWithErrno;

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
constexpr const char* kDeleteFlag = "DeleteFlag";
constexpr std::uint32_t kServiceDisabled = 4;
constexpr const char* kDefaultSearchPath =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

bool fail(ErrorCode code) {
  setLastError(code);
  return false;
}

template <typename T>
T* failNull(ErrorCode code) {
  setLastError(code);
  return nullptr;
}

ServiceStatus stoppedStatus() {
  ServiceStatus status;
  status.serviceType = kServiceWin32OwnProcess;
  status.currentState = kServiceStopped;
  return status;
}

// ---- Small owners -------------------------------------------------------

class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  void reset(int fd = -1) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
  }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }

 private:
  int m_fd;
};

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() {
    if (m_key != nullptr) regCloseKey(m_key);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  RegKeyHandle& out() { return m_key; }
  RegKeyHandle get() const { return m_key; }

 private:
  RegKeyHandle m_key = nullptr;
};

// An exclusive flock held for the owner's lifetime.
class FileLock {
 public:
  ~FileLock() {
    if (m_fd >= 0) close(m_fd);
  }
  bool acquire(const std::string& path) {
    m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) return failWithErrno();
    int rc;
    do {
      rc = flock(m_fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 || failWithErrno();
  }

 private:
  int m_fd = -1;
};

// ---- The service records --------------------------------------------------

std::string serviceKeyPath(const std::string& name) {
  return std::string(kServicesKey) + "\\" + name;
}

bool readString(RegKeyHandle key, const char* name, std::string& text) {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (regQueryValue(key, name, &type, nullptr, &size) != kErrorSuccess) return false;
  if (type != kRegSz && type != kRegExpandSz) return false;
  std::string data(size, '\0');
  if (size > 0 && regQueryValue(key, name, &type, data.data(), &size) != kErrorSuccess) {
    return false;
  }
  data.resize(size);
  while (!data.empty() && data.back() == '\0') data.pop_back();
  text = data;
  return true;
}

bool readDword(RegKeyHandle key, const char* name, std::uint32_t& value) {
  std::uint32_t type = 0;
  std::uint32_t size = sizeof value;
  return regQueryValue(key, name, &type, &value, &size) == kErrorSuccess && type == kRegDword &&
         size == sizeof value;
}

ErrorCode writeString(RegKeyHandle key, const char* name, std::uint32_t type,
                      const std::string& text) {
  // As Windows callers do: the size counts the terminating zero.
  return regSetValue(key, name, type, text.c_str(), static_cast<std::uint32_t>(text.size() + 1));
}

ErrorCode writeDword(RegKeyHandle key, const char* name, std::uint32_t value) {
  return regSetValue(key, name, kRegDword, &value, sizeof value);
}

// A key under Services is a service once it has an image path: Config and
// Environment keys may be written before the service is created, and the
// image path is written last.
struct ServiceRecord {
  std::string name;  // as recorded
  std::string displayName;
  std::string imagePath;
  std::uint32_t startType = kServiceDemandStart;
  bool marked = false;
};

bool readRecord(RegKeyHandle key, const std::string& name, ServiceRecord& record) {
  if (!readString(key, "ImagePath", record.imagePath)) return false;
  record.name = name;
  if (!readString(key, "DisplayName", record.displayName)) record.displayName = name;
  readDword(key, "Start", record.startType);
  std::uint32_t flag = 0;
  record.marked = readDword(key, kDeleteFlag, flag) && flag != 0;
  return true;
}

// Visits every service; stops early when visit returns false. A registry
// that cannot be read (1009 for a damaged file) is no empty one: the error
// is returned.
template <typename Visit>
ErrorCode forEachService(Visit visit) {
  RegKey services;
  ErrorCode error = regOpenKey(localMachine(), kServicesKey, kKeyRead, services.out());
  if (error != kErrorSuccess) return error == kErrorRegistryCorrupt ? error : kErrorSuccess;
  std::string name;
  std::uint32_t index = 0;
  for (; (error = regEnumKey(services.get(), index, name)) == kErrorSuccess; ++index) {
    RegKey key;
    error = regOpenKey(services.get(), name, kKeyRead, key.out());
    if (error == kErrorRegistryCorrupt) return error;
    if (error != kErrorSuccess) continue;
    ServiceRecord record;
    if (readRecord(key.get(), name, record) && !visit(record)) return kErrorSuccess;
  }
  return error == kErrorRegistryCorrupt ? error : kErrorSuccess;
}

// Finds a service by its name, in any letter case; the record carries the
// name as recorded, which names its files under run/ and log/. When false,
// the last error says why: 1060, or why the records cannot be read.
bool findService(const std::string& name, ServiceRecord& record) {
  bool found = false;
  const ErrorCode error = forEachService([&](const ServiceRecord& candidate) {
    if (strcasecmp(candidate.name.c_str(), name.c_str()) != 0) return true;
    record = candidate;
    found = true;
    return false;
  });
  if (!found) setLastError(error != kErrorSuccess ? error : kErrorServiceDoesNotExist);
  return found;
}

void removeServiceKeys(const std::string& name) {
  regDeleteTree(localMachine(), serviceKeyPath(name));
}

// Every name accepted here must be servable: its files named after it
// must fit, which also keeps it within the 256 characters Windows allows.
bool validServiceName(const std::string& name) {
  // Slashes would also lead out of run/ and log/.
  return !name.empty() && name.find_first_of("/\\") == std::string::npos &&
         posix::serviceFilesCanBeNamed(name);
}

// ---- Talking to a running service -------------------------------------------

enum class Reach { kAnswered, kStopped, kFailed };

// The status of a service as its process reports it; stopped when no
// process answers.
Reach queryStatus(const std::string& name, ServiceStatus& status) {
  posix::ControlReply reply;
  switch (posix::exchange(name, posix::makeRequest(posix::ControlOp::kQuery, 0), reply)) {
    case posix::ExchangeResult::kAnswered:
      if (reply.error == kErrorSuccess && reply.status.currentState != kServiceStopped) {
        status = reply.status;
        return Reach::kAnswered;
      }
      status = stoppedStatus();
      return Reach::kStopped;
    case posix::ExchangeResult::kNotRunning:
      status = stoppedStatus();
      return Reach::kStopped;
    case posix::ExchangeResult::kFailed:
      break;
  }
  return Reach::kFailed;
}

// A marked service goes once it stops; its dispatcher removes it, but a
// process that died cannot, so whoever finds it gone does. Asks nothing
// of the service: a hung one must not hang its finder.
void collectIfMarkedAndGone(const ServiceRecord& record) {
  if (record.marked && !posix::serviceProcessPresent(record.name)) {
    removeServiceKeys(record.name);
  }
}

bool isServiceHandle(ScHandle handle) { return handle != nullptr && !handle->manager; }

// ---- Starting a process -----------------------------------------------------

std::string absoluteStateRoot() {
  std::string root = posix::stateRoot();
  char resolved[PATH_MAX];
  if (realpath(root.c_str(), resolved) != nullptr) return resolved;
  return root;
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

// posix_spawnp would search the caller's PATH, not the service's.
bool resolveProgram(const std::string& program, std::string& path) {
  if (program.find('/') != std::string::npos) {
    path = program;
    return true;
  }
  std::string searchPath = kDefaultSearchPath;
  std::string::size_type start = 0;
  while (start <= searchPath.size()) {
    std::string::size_type colon = searchPath.find(':', start);
    if (colon == std::string::npos) colon = searchPath.size();
    std::string candidate = searchPath.substr(start, colon - start) + "/" + program;
    if (isExecutableFile(candidate)) {
      path = candidate;
      return true;
    }
    start = colon + 1;
  }
  return fail(kErrorFileNotFound);
}

// Keeps descriptors that the spawn duplicates to 0..3 above that range, so
// that no duplication overwrites a source still to be used.
bool raiseDescriptor(Fd& fd) {
  if (fd.get() > posix::kStartChannelDescriptor) return true;
  int raised = fcntl(fd.get(), F_DUPFD_CLOEXEC, 10);
  if (raised < 0) return failWithErrno();
  fd.reset(raised);
  return true;
}

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

// Reaps a service process that outlives its start, so that a long-running
// admin process (a test binary, say) collects no zombies. Waits for that
// one process only: other children are their owners' business.
void reapLater(pid_t pid) {
  try {
    std::thread([pid] {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // Without a thread the process is reaped when we exit.
  }
}

void killAndReap(pid_t pid) {
  // The process leads its own session and group; take whatever it started.
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Spawns the service process and waits until its dispatcher is ready.
bool spawnService(const ServiceRecord& record, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = splitCommandLine(record.imagePath);
  if (argv.empty()) return fail(kErrorFileNotFound);
  std::string program;
  if (!resolveProgram(argv[0], program)) return false;

  std::vector<std::string> startArguments{record.name};
  startArguments.insert(startArguments.end(), arguments.begin(), arguments.end());
  const std::string message = posix::encodeStartMessage(startArguments);
  if (message.empty()) return fail(kErrorInvalidParameter);

  const std::string root = absoluteStateRoot();
  std::vector<std::string> environment{std::string("PATH=") + kDefaultSearchPath,
                                       "VORND_ROOT=" + root};

  Fd input(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (input.get() < 0) return failWithErrno();
  Fd output(open(posix::outputLogPath(record.name).c_str(),
                 O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (output.get() < 0) return failWithErrno();
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return failWithErrno();
  Fd channel(pair[0]);
  Fd childChannel(pair[1]);
  if (!raiseDescriptor(input) || !raiseDescriptor(output) || !raiseDescriptor(childChannel)) {
    return false;
  }
  // Written before the process exists: its dispatcher finds it at once.
  if (send(channel.get(), message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
      static_cast<ssize_t>(message.size())) {
    return failWithErrno();
  }

  SpawnSetup setup;
  posix_spawn_file_actions_adddup2(&setup.actions, input.get(), 0);
  posix_spawn_file_actions_adddup2(&setup.actions, output.get(), 1);
  posix_spawn_file_actions_adddup2(&setup.actions, output.get(), 2);
  posix_spawn_file_actions_adddup2(&setup.actions, childChannel.get(),
                                   posix::kStartChannelDescriptor);
  // Descriptors of other code in this process may lack close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, posix::kStartChannelDescriptor + 1);
  // A detached process should not pin the admin's working folder.
  posix_spawn_file_actions_addchdir_np(&setup.actions, "/");
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&setup.attributes, &signals);
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&setup.attributes, &signals);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argvPointers;
  for (std::string& argument : argv) argvPointers.push_back(argument.data());
  argvPointers.push_back(nullptr);
  std::vector<char*> environmentPointers;
  for (std::string& entry : environment) environmentPointers.push_back(entry.data());
  environmentPointers.push_back(nullptr);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes,
                       argvPointers.data(), environmentPointers.data());
  if (rc != 0) return failWithErrno(rc);
  childChannel.reset();
  input.reset();
  output.reset();

  // Wait for "ready"; notice an early death through the channel's end of
  // file or, if a grandchild holds the channel, through waitid.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(posix::serviceStartTimeoutMs());
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd entry{channel.get(), POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left < 100 ? left : 100));
    if (ready > 0) {
      posix::ReadyResult result = posix::readReady(channel.get());
      if (result == posix::ReadyResult::kReady) {
        reapLater(pid);
        return true;
      }
      if (result == posix::ReadyResult::kClosed) break;
    } else if (ready < 0 && errno != EINTR) {
      break;
    }
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      break;
    }
  }
  killAndReap(pid);
  return fail(kErrorServiceRequestTimeout);
}

// ---- The service side ---------------------------------------------------------

struct DispatcherState {
  std::mutex mutex;
  bool active = false;
  bool stopReported = false;
  ServiceStatus status;
  ControlHandlerProc handler = nullptr;
  int wakeFd = -1;
};

DispatcherState& dispatcher() {
  static DispatcherState state;
  return state;
}

ServiceStatusHandleImpl g_statusHandle;

// What the Windows manager checks before a control reaches a service.
ErrorCode checkControl(const ServiceStatus& status, std::uint32_t control) {
  if (status.currentState == kServiceStartPending || status.currentState == kServiceStopPending) {
    return kErrorServiceCannotAcceptCtrl;
  }
  std::uint32_t needed = 0;
  switch (control) {
    case kControlStop: needed = kAcceptStop; break;
    case kControlPause:
    case kControlContinue: needed = kAcceptPauseContinue; break;
    case kControlInterrogate: return kErrorSuccess;
    // Only the system sends it, when it shuts down; any sender over the
    // socket is refused, as ControlService is on Windows.
    case kControlShutdown: return kErrorInvalidServiceControl;
    case 6: needed = 0x8; break;  // parameter change
    default:
      if (control >= 7 && control <= 10) {
        needed = 0x10;  // network binding changes
      } else {
        return kErrorSuccess;  // user controls, checked by the admin side
      }
  }
  return (status.controlsAccepted & needed) != 0 ? kErrorSuccess : kErrorInvalidServiceControl;
}

class Dispatcher {
 public:
  explicit Dispatcher(std::string name) : m_name(std::move(name)) {}

  bool listen() {
    const std::string path = posix::controlSocketPath(m_name);
    m_listener.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (m_listener.get() < 0) return failWithErrno();
    // Replaces one left behind by a process that died; the starter made
    // sure none runs.
    if (posix::bindUnixSocket(m_listener.get(), path, 0600) != 0) return failWithErrno();
    m_path = path;
    if (::listen(m_listener.get(), 16) != 0) return failWithErrno();
    return true;
  }

  // Serves until the service reports itself stopped.
  void serve(int wakeFd) {
    while (!stopReported()) {
      pollfd entries[2] = {{m_listener.get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
      if (poll(entries, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (entries[1].revents != 0) break;
      if (entries[0].revents != 0) serveOne();
    }
    finish();
  }

  // Once stopped, whoever learns of it must find the socket gone (a new
  // start may already bind the next one) and, for a marked service, the
  // keys gone too. So this runs before any reply that says stopped.
  void finish() {
    if (m_finished) return;
    m_finished = true;
    bool marked = false;
    {
      RegKey key;
      std::uint32_t flag = 0;
      marked = regOpenKey(localMachine(), serviceKeyPath(m_name), kKeyRead, key.out()) ==
                   kErrorSuccess &&
               readDword(key.get(), kDeleteFlag, flag) && flag != 0;
    }
    if (marked) removeServiceKeys(m_name);
    closeSocket();
  }

  void closeSocket() {
    if (!m_path.empty()) unlink(m_path.c_str());
    m_path.clear();
    m_listener.reset();
  }

 private:
  static bool stopReported() {
    std::lock_guard<std::mutex> guard(dispatcher().mutex);
    return dispatcher().stopReported;
  }

  static ServiceStatus currentStatus(ControlHandlerProc* handler = nullptr) {
    std::lock_guard<std::mutex> guard(dispatcher().mutex);
    if (handler != nullptr) *handler = dispatcher().handler;
    return dispatcher().status;
  }

  void serveOne() {
    Fd client(accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.get() < 0) return;
    posix::ControlRequest request;
    if (!posix::readRequest(client.get(), request)) return;

    ControlHandlerProc handler = nullptr;
    ServiceStatus status = currentStatus(&handler);
    ErrorCode error = kErrorSuccess;
    if (stopReported()) {
      error = request.op == static_cast<std::uint32_t>(posix::ControlOp::kControl)
                  ? kErrorServiceNotActive
                  : kErrorSuccess;
    } else if (request.op == static_cast<std::uint32_t>(posix::ControlOp::kControl)) {
      error = checkControl(status, request.control);
      if (error == kErrorSuccess && handler == nullptr) error = kErrorServiceCannotAcceptCtrl;
      if (error == kErrorSuccess) {
        handler(request.control);
        status = currentStatus();
      }
    } else if (request.op != static_cast<std::uint32_t>(posix::ControlOp::kQuery)) {
      error = kErrorInvalidParameter;
    }
    if (stopReported()) finish();
    posix::writeReply(client.get(), posix::makeReply(error, status));
  }

  std::string m_name;
  std::string m_path;
  Fd m_listener;
  bool m_finished = false;
};

}  // namespace

bool startServiceCtrlDispatcher(const ServiceTableEntry* table) {
  if (table == nullptr || table[0].serviceName == nullptr || table[0].serviceMain == nullptr) {
    return fail(kErrorInvalidParameter);
  }
  DispatcherState& state = dispatcher();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.active) return fail(kErrorServiceAlreadyRunning);
  }
  const int channel = posix::kStartChannelDescriptor;
  if (!posix::carriesStartMessage(channel)) return fail(kErrorFailedServiceControllerConnect);
  // Processes the service starts must not inherit the channel.
  fcntl(channel, F_SETFD, FD_CLOEXEC);
  std::vector<std::string> arguments;
  if (!posix::readStartMessage(channel, arguments)) {
    close(channel);
    return fail(kErrorFailedServiceControllerConnect);
  }

  Dispatcher server(arguments[0]);
  Fd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (wake.get() < 0) failWithErrno();
  if (wake.get() < 0 || !server.listen()) {
    // The starter sees the channel close and fails the start.
    const ErrorCode error = lastError();
    server.closeSocket();
    close(channel);
    return fail(error);
  }

  {
    std::lock_guard<std::mutex> guard(state.mutex);
    state.active = true;
    state.stopReported = false;
    state.handler = nullptr;
    state.status = ServiceStatus();
    state.status.serviceType = kServiceWin32OwnProcess;
    state.status.currentState = kServiceStartPending;
    state.wakeFd = wake.get();
  }

  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  ServiceMainProc serviceMain = table[0].serviceMain;
  std::thread mainThread;
  try {
    mainThread = std::thread([serviceMain, &argv] {
      serviceMain(static_cast<std::uint32_t>(argv.size() - 1), argv.data());
    });
  } catch (const std::system_error& error) {
    {
      std::lock_guard<std::mutex> guard(state.mutex);
      state.active = false;
      state.wakeFd = -1;
    }
    server.closeSocket();
    close(channel);
    return failWithErrno(error.code().value());
  }

  // A starter that gave up has killed us; nothing to do if it is gone.
  posix::sendReady(channel);
  close(channel);

  server.serve(wake.get());
  mainThread.join();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    state.active = false;
    state.handler = nullptr;
    state.wakeFd = -1;
  }
  return true;
}

ServiceStatusHandle registerServiceCtrlHandler(const std::string& serviceName,
                                               ControlHandlerProc handler) {
  (void)serviceName;  // one service per process: any name means it
  if (handler == nullptr) return failNull<ServiceStatusHandleImpl>(kErrorInvalidParameter);
  DispatcherState& state = dispatcher();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (!state.active) {
    return failNull<ServiceStatusHandleImpl>(kErrorFailedServiceControllerConnect);
  }
  state.handler = handler;
  return &g_statusHandle;
}

bool setServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  // The tap sees every report as it is made, also one that fails.
  if (Tap* tap = currentTap()) tap->onServiceStatus(status);
  if (handle != &g_statusHandle) return fail(kErrorInvalidHandle);
  if (status.currentState < kServiceStopped || status.currentState > kServicePaused) {
    return fail(kErrorInvalidData);
  }
  DispatcherState& state = dispatcher();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (!state.active) return fail(kErrorInvalidHandle);
  state.status = status;
  if (status.currentState == kServiceStopped && !state.stopReported) {
    state.stopReported = true;
    std::uint64_t one = 1;
    if (write(state.wakeFd, &one, sizeof one) < 0) {
      // The counter cannot overflow with one write; nothing else can fail.
    }
  }
  return true;
}

// ---- Admin side -----------------------------------------------------------------

ScHandle openSCManager(std::uint32_t access) {
  (void)access;
  if (!posix::ensureStateRoot()) return nullptr;
  auto* handle = new ScHandleImpl;
  handle->manager = true;
  return handle;
}

ScHandle createService(ScHandle manager, const std::string& serviceName,
                       const std::string& displayName, std::uint32_t access,
                       std::uint32_t serviceType, std::uint32_t startType,
                       std::uint32_t errorControl, const std::string& binaryPathName) {
  (void)access;
  if (manager == nullptr || !manager->manager) {
    return failNull<ScHandleImpl>(kErrorInvalidHandle);
  }
  if (!validServiceName(serviceName)) return failNull<ScHandleImpl>(123);  // ERROR_INVALID_NAME
  if (binaryPathName.empty() || startType > 4 || errorControl > 3) {
    return failNull<ScHandleImpl>(kErrorInvalidParameter);
  }
  const std::string shownName = displayName.empty() ? serviceName : displayName;

  // Two installs at once must not both pass the checks below.
  FileLock lock;
  if (!lock.acquire(posix::stateFile("run/services.lock"))) return nullptr;

  // A marked service whose process has gone leaves its name free.
  if (ServiceRecord old; findService(serviceName, old)) collectIfMarkedAndGone(old);

  ErrorCode conflict = kErrorSuccess;
  const ErrorCode walked = forEachService([&](const ServiceRecord& other) {
    if (strcasecmp(other.name.c_str(), serviceName.c_str()) == 0) {
      // As on Windows: a new service could not outlive the old one's keys.
      conflict = other.marked ? kErrorServiceMarkedForDelete : kErrorServiceExists;
      return false;
    }
    if (strcasecmp(other.displayName.c_str(), shownName.c_str()) == 0 ||
        strcasecmp(other.name.c_str(), shownName.c_str()) == 0 ||
        strcasecmp(other.displayName.c_str(), serviceName.c_str()) == 0) {
      conflict = kErrorDuplicateServiceName;
    }
    return true;
  });
  if (walked != kErrorSuccess) return failNull<ScHandleImpl>(walked);
  if (conflict != kErrorSuccess) return failNull<ScHandleImpl>(conflict);

  RegKey key;
  ErrorCode error = regCreateKey(localMachine(), serviceKeyPath(serviceName), key.out());
  if (error == kErrorSuccess) error = writeString(key.get(), "DisplayName", kRegSz, shownName);
  if (error == kErrorSuccess) error = writeDword(key.get(), "Start", startType);
  if (error == kErrorSuccess) error = writeDword(key.get(), "Type", serviceType);
  if (error == kErrorSuccess) error = writeDword(key.get(), "ErrorControl", errorControl);
  if (error == kErrorSuccess) error = writeString(key.get(), "ObjectName", kRegSz, "LocalSystem");
  if (error == kErrorSuccess) regDeleteValue(key.get(), kDeleteFlag);
  // Last: the key counts as a service from here on.
  if (error == kErrorSuccess) error = writeString(key.get(), "ImagePath", kRegExpandSz,
                                                  binaryPathName);
  if (error != kErrorSuccess) return failNull<ScHandleImpl>(error);

  // A key made earlier (by a Config writer) keeps the case it was made in.
  ServiceRecord record;
  auto* handle = new ScHandleImpl;
  handle->name = findService(serviceName, record) ? record.name : serviceName;
  return handle;
}

ScHandle openService(ScHandle manager, const std::string& serviceName, std::uint32_t access) {
  (void)access;
  if (manager == nullptr || !manager->manager) {
    return failNull<ScHandleImpl>(kErrorInvalidHandle);
  }
  ServiceRecord record;
  if (!findService(serviceName, record)) return nullptr;
  collectIfMarkedAndGone(record);
  if (record.marked && !findService(serviceName, record)) return nullptr;
  auto* handle = new ScHandleImpl;
  handle->name = record.name;
  return handle;
}

bool startService(ScHandle service, const std::vector<std::string>& arguments) {
  if (!isServiceHandle(service)) return fail(kErrorInvalidHandle);
  if (!posix::ensureStateRoot()) return false;
  // Held for the whole start, so two starts cannot both spawn.
  FileLock lock;
  if (!lock.acquire(posix::startLockPath(service->name))) return false;

  ServiceRecord record;
  if (!findService(service->name, record)) return false;
  if (record.marked) {
    collectIfMarkedAndGone(record);
    return fail(kErrorServiceMarkedForDelete);
  }
  if (record.startType == kServiceDisabled) return fail(1058);  // ERROR_SERVICE_DISABLED
  ServiceStatus status;
  switch (queryStatus(record.name, status)) {
    case Reach::kAnswered: return fail(kErrorServiceAlreadyRunning);
    case Reach::kFailed: return false;
    case Reach::kStopped: break;
  }
  return spawnService(record, arguments);
}

bool controlService(ScHandle service, std::uint32_t control, ServiceStatus& status) {
  if (!isServiceHandle(service)) return fail(kErrorInvalidHandle);
  // Shutdown comes from the system only; other codes below 128 that
  // Windows does not define are refused before anything is sent.
  if (control == 0 || control == kControlShutdown || (control > 10 && control < 128) ||
      control > 255) {
    return fail(kErrorInvalidParameter);
  }
  posix::ControlReply reply;
  switch (posix::exchange(service->name, posix::makeRequest(posix::ControlOp::kControl, control),
                          reply)) {
    case posix::ExchangeResult::kAnswered:
      status = reply.status;
      if (reply.error == kErrorServiceNotActive) status = stoppedStatus();
      if (reply.error != kErrorSuccess) return fail(reply.error);
      return true;
    case posix::ExchangeResult::kNotRunning:
      status = stoppedStatus();
      return fail(kErrorServiceNotActive);
    case posix::ExchangeResult::kFailed:
      break;
  }
  return false;
}

bool queryServiceStatus(ScHandle service, ServiceStatus& status) {
  if (!isServiceHandle(service)) return fail(kErrorInvalidHandle);
  ServiceStatus answer;
  Reach reach = queryStatus(service->name, answer);
  if (reach == Reach::kFailed) return false;
  if (reach == Reach::kStopped) {
    ServiceRecord record;
    if (findService(service->name, record) && record.marked) removeServiceKeys(record.name);
  }
  status = answer;
  return true;
}

bool deleteService(ScHandle service) {
  if (!isServiceHandle(service)) return fail(kErrorInvalidHandle);
  if (!posix::ensureStateRoot()) return false;
  // Not while a start is under way.
  FileLock lock;
  if (!lock.acquire(posix::startLockPath(service->name))) return false;

  ServiceRecord record;
  if (!findService(service->name, record)) {
    // Gone already: it was marked and has stopped since.
    if (lastError() == kErrorServiceDoesNotExist) return fail(kErrorServiceMarkedForDelete);
    return false;
  }
  if (record.marked) return fail(kErrorServiceMarkedForDelete);

  // As on Windows, deleting needs no answer from the service, which may
  // be hung: only whether its process is there.
  if (!posix::serviceProcessPresent(record.name)) {
    ErrorCode error = regDeleteTree(localMachine(), serviceKeyPath(record.name));
    return error == kErrorSuccess || fail(error);
  }
  RegKey key;
  ErrorCode error = regOpenKey(localMachine(), serviceKeyPath(record.name), kKeyAllAccess,
                               key.out());
  if (error == kErrorSuccess) error = writeDword(key.get(), kDeleteFlag, 1);
  if (error != kErrorSuccess) return fail(error);
  // It may have stopped between the look and the mark, after its
  // dispatcher looked for the mark.
  if (!posix::serviceProcessPresent(record.name)) removeServiceKeys(record.name);
  return true;
}

bool closeServiceHandle(ScHandle handle) {
  if (handle == nullptr) return fail(kErrorInvalidHandle);
  delete handle;
  return true;
}

}  // namespace platform
