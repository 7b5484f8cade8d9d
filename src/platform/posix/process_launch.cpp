#include "platform/process_launch.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <linux/close_range.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/posix/engine_reaper.h"
#include "platform/posix/logon_posix.h"
#include "platform/posix/state_root.h"

namespace platform {

namespace {


int descriptorOf(SocketHandle handle) {
  return handle > static_cast<SocketHandle>(INT_MAX) ? -1 : static_cast<int>(handle);
}

// The program a name stands for, found as execvp would find it but on the
// daemon's own PATH, before anything is started: the child then only has
// to exec. Empty with errno set when there is none.
std::string resolveProgram(const std::string& name) {
  if (name.empty()) {
    errno = ENOENT;
    return std::string();
  }
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  const std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  int firstError = ENOENT;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type end = directories.find(':', start);
    // An empty entry is the current folder.
    const std::string candidate =
        (end == start ? std::string(".") : directories.substr(start, end - start)) + "/" + name;
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
      firstError = EACCES;  // remembered, but a later entry may still do
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  errno = firstError;
  return std::string();
}

// Pointers into the block, one for each name=value, ended by a null.
std::vector<char*> environmentPointers(const char* block) {
  std::vector<char*> pointers;
  for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
    pointers.push_back(const_cast<char*>(entry));
  }
  pointers.push_back(nullptr);
  return pointers;
}

// A child must not keep the daemon's blocked signals or ignored ones: an
// ignored SIGPIPE survives exec and would change how the engine writes.
void defaultSignalSets(sigset_t& mask, sigset_t& defaults) {
  sigemptyset(&mask);
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
}

// Without an identity change: posix_spawn, which shares the daemon's
// memory until the exec instead of copying it, and reports a failed exec
// as its result.
bool spawnAsDaemon(const std::string& program, std::vector<char*>& argv,
                   std::vector<char*>& envp, int inherited) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // Everything from 3 upwards goes but the socket: the daemon's own
  // descriptors are close-on-exec, but those a library opened may not be.
  // Below the socket, every descriptor is marked close-on-exec here, in
  // one call, and the exec closes them; a daemon holding many connections
  // would otherwise have its child close every one of them, one call
  // each. (The daemon passes nothing on by a descriptor left open: what a
  // child of its gets, it gets through a dup2 of its start.) Where the
  // kernel cannot mark a range, each descriptor not marked gets a close
  // action. The socket's own copy is close-on-exec too; a dup2 onto
  // itself clears that in the child alone.
  if (inherited >= 3) {
    posix_spawn_file_actions_adddup2(&actions, inherited, inherited);
    if (inherited > 3 && syscall(SYS_close_range, 3u, static_cast<unsigned>(inherited - 1),
                                 CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < inherited; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
          posix_spawn_file_actions_addclose(&actions, fd);
        }
      }
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, inherited + 1);
  } else {
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  }
  sigset_t mask, defaults;
  defaultSignalSets(mask, defaults);
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  const int result =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) return posix::failWithErrno(result);
  posix::adoptEngine(pid);
  return true;
}

// Closes every descriptor from `from` up to `to` (inclusive) in a forked
// child; close_range where the kernel has it, one by one where not.
void closeRange(int from, int to) {
  if (from > to) return;
  if (syscall(SYS_close_range, static_cast<unsigned>(from), static_cast<unsigned>(to), 0) == 0) {
    return;
  }
  const long limit = sysconf(_SC_OPEN_MAX);
  const int last = to < limit ? to : static_cast<int>(limit > 0 ? limit - 1 : 1023);
  for (int fd = from; fd <= last; ++fd) close(fd);
}

// What the child reports through its pipe when it cannot become the
// engine: the step that failed and errno.
struct ChildFailure {
  int identity;  // 1: taking on the account failed
  int error;
};

// With an identity change: a plain fork, since the set*id calls of the C
// library must not run in a child that shares the daemon's memory. Only
// async-signal-safe calls follow the fork.
bool forkAsAccount(const std::string& program, std::vector<char*>& argv,
                   std::vector<char*>& envp, int inherited, LogonToken token) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return posix::failWithErrno();
  const std::vector<gid_t>& groups = posix::tokenGroups(token);
  const gid_t gid = posix::tokenGid(token);
  const uid_t uid = posix::tokenUid(token);
  sigset_t mask, defaults;
  defaultSignalSets(mask, defaults);

  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    close(report[0]);
    close(report[1]);
    return posix::failWithErrno(error);
  }
  if (pid == 0) {
    ChildFailure failure{0, 0};
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
      if (sigismember(&defaults, signal) == 1) sigaction(signal, &action, nullptr);
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    // Everything but 0-2, the socket and the report pipe, which closes
    // itself at the exec.
    const int low = inherited < report[1] ? inherited : report[1];
    const int high = inherited < report[1] ? report[1] : inherited;
    if (low >= 3) {
      closeRange(3, low - 1);
      closeRange(low + 1, high - 1);
    } else {
      closeRange(3, high - 1);
    }
    closeRange(high + 1, INT_MAX);
    if (inherited >= 3) fcntl(inherited, F_SETFD, 0);
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
      failure = {1, errno};
    } else {
      execve(program.c_str(), argv.data(), envp.data());
      failure = {0, errno};
    }
    ssize_t ignored = write(report[1], &failure, sizeof failure);
    (void)ignored;
    _exit(127);
  }

  close(report[1]);
  posix::adoptEngine(pid);
  ChildFailure failure{0, 0};
  ssize_t got;
  do {
    got = read(report[0], &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    if (failure.identity != 0 && (failure.error == EPERM || failure.error == EACCES)) {
      setLastError(kErrorPrivilegeNotHeld);
      return false;
    }
    return posix::failWithErrno(failure.error);
  }
  // Nothing came back: the exec closed the pipe, and the engine runs.
  return true;
}

}  // namespace

bool duplicateSocketHandle(SocketHandle socket, SocketHandle& duplicate) {
  const int fd = descriptorOf(socket);
  if (fd < 0) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  // Above the standard descriptors even when one of them is closed, so
  // the engine's 0, 1 and 2 stay what the daemon has there.
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return posix::failWithErrno();
  duplicate = static_cast<SocketHandle>(copy);
  return true;
}

bool setHandleInheritable(SocketHandle handle) {
  const int fd = descriptorOf(handle);
  const int flags = fd < 0 ? -1 : fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) != 0) {
    return posix::failWithErrno(fd < 0 ? EBADF : errno);
  }
  return true;
}

bool launchProcess(const ProcessLaunch& launch) {
  if (launch.commandLine == nullptr || launch.environment == nullptr) {
    setLastError(kErrorInvalidParameter);
    return false;
  }
  if (launch.asUser && launch.token == nullptr) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  std::vector<std::string> arguments = splitCommandLine(launch.commandLine);
  const std::string program = resolveProgram(arguments.empty() ? std::string() : arguments[0]);
  if (program.empty()) return posix::failWithErrno();
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp = environmentPointers(launch.environment);
  // Only a socket the daemon passes on stays open in the engine.
  int inherited = descriptorOf(launch.inherited);
  if (inherited >= 0 && inherited < 3) inherited = -1;

  if (!launch.asUser) return spawnAsDaemon(program, argv, envp, inherited);
  const uid_t self = geteuid();
  if (self != 0) {
    // Without root the engine can run only as the daemon's own account,
    // and then needs no change at all.
    if (posix::tokenUid(launch.token) != self) {
      setLastError(kErrorPrivilegeNotHeld);
      return false;
    }
    return spawnAsDaemon(program, argv, envp, inherited);
  }
  return forkAsAccount(program, argv, envp, inherited, launch.token);
}

std::optional<std::string> findProgram(const std::string& commandLine) {
  const std::vector<std::string> arguments = splitCommandLine(commandLine);
  const std::string name = arguments.empty() ? std::string() : arguments[0];
  const std::string program = resolveProgram(name);
  if (program.empty()) {
    posix::failWithErrno();
    return std::nullopt;
  }
  // A path is taken as it stands by the search; the exec would refuse it
  // only when started.
  struct stat info;
  if (stat(program.c_str(), &info) != 0) {
    posix::failWithErrno();
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode) || access(program.c_str(), X_OK) != 0) {
    posix::failWithErrno(EACCES);
    return std::nullopt;
  }
  return program;
}

bool closeSocketDuplicate(SocketHandle duplicate) {
  const int fd = descriptorOf(duplicate);
  if (fd < 0 || close(fd) != 0) return posix::failWithErrno(fd < 0 ? EBADF : errno);
  return true;
}

}  // namespace platform
