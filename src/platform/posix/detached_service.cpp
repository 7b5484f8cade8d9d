#include "platform/posix/detached_service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>
#include <thread>

#include "platform/command_line.h"
#include "platform/deadline.h"
#include "platform/posix/service_control_channel.h"
#include "platform/posix/service_files.h"
#include "platform/posix/service_handles.h"
#include "platform/posix/state_root.h"

namespace platform::posix {

namespace {

constexpr const char* kDefaultSearchPath =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

std::string absoluteStateRoot() {
  std::string root = stateRoot();
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
  if (fd.get() > kStartChannelDescriptor) return true;
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

}  // namespace

bool startDetachedService(const ServiceRecord& record,
                          const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = splitCommandLine(record.imagePath);
  if (argv.empty()) return fail(kErrorFileNotFound);
  std::string program;
  if (!resolveProgram(argv[0], program)) return false;

  std::vector<std::string> startArguments{record.name};
  startArguments.insert(startArguments.end(), arguments.begin(), arguments.end());
  const std::string message = encodeStartMessage(startArguments);
  if (message.empty()) return fail(kErrorInvalidParameter);

  const std::string root = absoluteStateRoot();
  std::vector<std::string> environment{std::string("PATH=") + kDefaultSearchPath,
                                       "VORND_ROOT=" + root};

  Fd input(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (input.get() < 0) return failWithErrno();
  Fd output(open(outputLogPath(record.name).c_str(),
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
                                   kStartChannelDescriptor);
  // Descriptors of other code in this process may lack close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, kStartChannelDescriptor + 1);
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
  const Deadline deadline = Deadline::after(serviceStartTimeoutMs());
  for (;;) {
    const Deadline::Clock::time_point now = Deadline::Clock::now();
    if (deadline.passed(now)) break;
    const int left = deadline.pollTimeout(now);
    pollfd entry{channel.get(), POLLIN, 0};
    int ready = poll(&entry, 1, left >= 0 && left < 100 ? left : 100);
    if (ready > 0) {
      ReadyResult result = readReady(channel.get());
      if (result == ReadyResult::kReady) {
        reapLater(pid);
        return true;
      }
      if (result == ReadyResult::kClosed) break;
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


}  // namespace platform::posix
