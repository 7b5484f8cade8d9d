// The service's side of the service manager: the dispatcher that a
// service process runs, which takes its name and arguments from its
// starter, runs the service's main function, and answers controls and
// status queries on the service's control socket until it reports
// itself stopped.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/error.h"
#include "platform/posix/service_control_channel.h"
#include "platform/posix/service_files.h"
#include "platform/posix/service_handles.h"
#include "platform/posix/service_records.h"
#include "platform/posix/state_root.h"
#include "platform/posix/systemd_units.h"
#include "platform/posix/unix_socket_path.h"
#include "platform/tap.h"

namespace platform {

// One per process: a process runs one service.
struct ServiceStatusHandleImpl {};

namespace {

using posix::failWithErrno;
using posix::fail;
using posix::failNull;
using posix::Fd;
using posix::markedForDelete;
using posix::removeServiceKeys;

struct DispatcherState {
  std::mutex mutex;
  bool active = false;
  bool stopReported = false;
  ServiceStatus status;
  // Shown by systemd in place of the state's word while not empty.
  std::string statusText;
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
  // A service still starting may take a stop if it says so (one that
  // waits for its port, say); nothing else.
  const bool startingStoppable = status.currentState == kServiceStartPending &&
                                 control == kControlStop &&
                                 (status.controlsAccepted & kAcceptStop) != 0;
  if (!startingStoppable && (status.currentState == kServiceStartPending ||
                             status.currentState == kServiceStopPending)) {
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

  // Serves until the service reports itself stopped. A unit's daemon also
  // takes SIGTERM, read from signalFd, as a stop control: one that cannot
  // be taken yet (the service still starting) is offered again until it is.
  void serve(int wakeFd, int signalFd) {
    bool stopWanted = false;
    while (!stopReported()) {
      pollfd entries[3] = {{m_listener.get(), POLLIN, 0}, {wakeFd, POLLIN, 0},
                           {signalFd, POLLIN, 0}};
      const int ready = poll(entries, signalFd >= 0 ? 3 : 2, stopWanted ? 100 : -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (entries[1].revents != 0) break;
      if (entries[0].revents != 0) serveOne();
      if (signalFd >= 0 && entries[2].revents != 0) {
        signalfd_siginfo info;
        while (read(signalFd, &info, sizeof info) == sizeof info) stopWanted = true;
      }
      if (stopWanted) stopWanted = !offerControl(kControlStop);
    }
    finish();
  }

  // Once stopped, whoever learns of it must find the socket gone (a new
  // start may already bind the next one) and, for a marked service, the
  // keys gone too. So this runs before any reply that says stopped.
  void finish() {
    if (m_finished) return;
    m_finished = true;
    if (markedForDelete(m_name)) {
      removeServiceKeys(m_name);
      if (!posix::unitServiceName().empty()) posix::disableUnit(m_name);
    }
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

  // A control from the system rather than a client: true once the
  // service has taken it (or can never take it).
  bool offerControl(std::uint32_t control) {
    ControlHandlerProc handler = nullptr;
    const ServiceStatus status = currentStatus(&handler);
    if (stopReported() || status.currentState == kServiceStopPending) return true;
    // Not yet able to take one: asked again shortly.
    if (handler == nullptr || (status.currentState == kServiceStartPending &&
                               checkControl(status, control) != kErrorSuccess)) {
      return false;
    }
    // One it refuses for good is left to systemd's own time-out.
    if (checkControl(status, control) == kErrorSuccess) handler(control);
    return true;
  }

  void serveOne() {
    Fd client(accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.get() < 0) return;
    posix::ControlRequest request;
    if (!posix::readRequest(client.get(), request)) return;
    // A request whose sender has given up (it found this process stopped,
    // or its time ran out while we were busy) is left undone: acting on it
    // now, long after, would surprise whoever asks next.
    if (posix::peerHasHungUp(client.get())) return;

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


// The start arguments a unit's daemon finds: those its starter left in
// run/<name>.start (read once, then removed), else the name alone.
std::vector<std::string> unitStartArguments(const std::string& name) {
  std::vector<std::string> arguments;
  const std::string path = posix::startArgumentsPath(name);
  Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() >= 0) {
    unlink(path.c_str());
    std::string bytes;
    char buffer[4096];
    ssize_t got;
    while ((got = read(file.get(), buffer, sizeof buffer)) > 0) bytes.append(buffer, got);
    // The same message a start channel carries, read the same way.
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
      Fd writer(pair[0]);
      Fd reader(pair[1]);
      if (send(writer.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
              static_cast<ssize_t>(bytes.size()) &&
          posix::carriesStartMessage(reader.get())) {
        posix::readStartMessage(reader.get(), arguments);
      }
    }
  }
  if (arguments.empty() || arguments[0] != name) arguments = {name};
  return arguments;
}

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
  // Started by this manager: the start message waits on the channel.
  // Started by systemd as a unit: the name is in the environment, the
  // arguments (if any) in a file.
  int channel = -1;
  std::vector<std::string> arguments;
  if (posix::carriesStartMessage(posix::kStartChannelDescriptor)) {
    channel = posix::kStartChannelDescriptor;
    // Processes the service starts must not inherit the channel.
    fcntl(channel, F_SETFD, FD_CLOEXEC);
    if (!posix::readStartMessage(channel, arguments)) {
      close(channel);
      return fail(kErrorFailedServiceControllerConnect);
    }
  } else if (const std::string unit = posix::unitServiceName(); !unit.empty()) {
    // A unit may be started for any name; only an installed instance is
    // served. The caller ends with a status that systemd does not restart.
    // (Records that cannot be read are the daemon's to report.)
    posix::ServiceRecord record;
    const bool found = posix::findService(unit, record);
    if ((!found && lastError() == kErrorServiceDoesNotExist) || (found && record.marked)) {
      std::fprintf(stderr, "vornd: no instance named %s is installed; not serving it\n",
                   unit.c_str());
      return fail(kErrorServiceDoesNotExist);
    }
    arguments = unitStartArguments(unit);
  } else {
    return fail(kErrorFailedServiceControllerConnect);
  }
  // A unit's daemon takes systemd's SIGTERM as a stop, through a signalfd:
  // blocked here, before any thread of the service exists, so that none
  // of them is ever interrupted by it.
  Fd signals;
  if (channel < 0) {
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &terminate, nullptr);
    signals.reset(signalfd(-1, &terminate, SFD_CLOEXEC | SFD_NONBLOCK));
  }

  Dispatcher server(arguments[0]);
  Fd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (wake.get() < 0) failWithErrno();
  if (wake.get() < 0 || !server.listen()) {
    // The starter sees the channel close and fails the start.
    const ErrorCode error = lastError();
    server.closeSocket();
    if (channel >= 0) close(channel);
    return fail(error);
  }

  {
    std::lock_guard<std::mutex> guard(state.mutex);
    state.active = true;
    state.stopReported = false;
    state.handler = nullptr;
    state.status = ServiceStatus();
    state.statusText.clear();
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
    if (channel >= 0) close(channel);
    return failWithErrno(error.code().value());
  }

  // A starter that gave up has killed us; nothing to do if it is gone. A
  // unit is ready once the service reports itself running.
  if (channel >= 0) {
    posix::sendReady(channel);
    close(channel);
  }

  server.serve(wake.get(), signals.get());
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

void setServiceStatusText(ServiceStatusHandle handle, const std::string& text) {
  if (handle != &g_statusHandle) return;
  DispatcherState& state = dispatcher();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (!state.active) return;
  state.statusText = text;
  posix::notifyStatus(state.status, state.statusText);
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
  // systemd takes a unit's daemon that ends without having been ready for
  // a failed one: a stop while starting (waiting for the port, say) is
  // first a start that ended, then a stop.
  if (state.status.currentState == kServiceStartPending &&
      status.currentState == kServiceStopPending) {
    posix::notifyReadyToStop();
  }
  // What the daemon waited for is over once it no longer starts.
  if (status.currentState != kServiceStartPending) state.statusText.clear();
  state.status = status;
  posix::notifyStatus(status, state.statusText);
  if (status.currentState == kServiceStopped && !state.stopReported) {
    state.stopReported = true;
    std::uint64_t one = 1;
    if (write(state.wakeFd, &one, sizeof one) < 0) {
      // The counter cannot overflow with one write; nothing else can fail.
    }
  }
  return true;
}


}  // namespace platform
