// The daemon's side of a logon child: started with posix_spawn from
// /proc/self/exe rather than forked. After a fork in a process with threads
// only async-signal-safe calls are sound, and PAM loads modules (and NSS
// libraries) with dlopen; an exec gives the conversation a fresh process
// with one thread. /proc/self/exe is the executable this process runs even
// when the file was replaced or removed since (an upgrade), so parent and
// child always speak the same wire format.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/deadline.h"
#include "platform/error.h"
#include "platform/posix/logon_child.h"
#include "platform/posix/process_tree.h"
#include "platform/posix/spawn_signals.h"
#include "platform/posix/state_root.h"
#include "platform/sync.h"

extern char** environ;

namespace platform::posix {

namespace {

constexpr ErrorCode kErrorProcessAborted = 1067;

enum class Outcome { Done, TimedOut, ChildGone, Garbage, Failed };

// The daemon's environment as it is (the child then sees what PAM in the
// daemon itself would have seen), with the marker added.
std::vector<std::string> childEnvironment() {
  const std::string marker = std::string(kLogonChildMarker) + "=";
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, marker.c_str(), marker.size()) != 0) entries.emplace_back(*entry);
  }
  entries.push_back(marker + "1");
  return entries;
}

// Starts a child with `channel` as its kLogonChannel, /dev/null for input
// and output, the daemon's standard error (where a module's complaint or a
// sanitizer's report is seen), and no other descriptor: the daemon holds
// its clients' sockets. The child gets a session of its own (no terminal,
// and no share in the daemon's console signals) and no blocked or ignored
// signals. -1 with errno's code set as the last error.
pid_t startChild(int channel) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  // The copy onto the channel's number is not close-on-exec.
  posix_spawn_file_actions_adddup2(&actions, channel, kLogonChannel);
  posix_spawn_file_actions_addclosefrom_np(&actions, kLogonChannel + 1);
  posix::resetChildSignals(attributes, POSIX_SPAWN_SETSID);

  std::vector<std::string> environment = childEnvironment();
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char name[] = "vornd-logon";
  char* argv[] = {name, nullptr};

  pid_t pid = -1;
  const int result = posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    failWithErrno(result);
    return -1;
  }
  return pid;
}

// Waits until `fd` is ready for `events` or the deadline passes.
Outcome waitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd watched{fd, events, 0};
    const int ready = poll(&watched, 1, deadline.pollTimeout());
    if (ready > 0) return Outcome::Done;
    if (ready == 0) {
      // A bound longer than one wait may be is waited in turns.
      if (deadline.passed()) return Outcome::TimedOut;
    } else if (errno != EINTR) {
      return Outcome::Failed;
    }
  }
}

Outcome sendRequest(int fd, const std::string& request, const Deadline& deadline) {
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t written = send(fd, request.data() + sent, request.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written >= 0) {
      sent += static_cast<std::size_t>(written);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EPIPE || errno == ECONNRESET) return Outcome::ChildGone;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Outcome::Failed;
    if (const Outcome ready = waitFor(fd, POLLOUT, deadline); ready != Outcome::Done) {
      return ready;
    }
  }
  return Outcome::Done;
}

// Reads exactly one reply, as long as it says it is; nothing is read past
// it, so a descriptor some module's helper kept open cannot hold this up.
Outcome receiveReply(int fd, const Deadline& deadline, std::string& reply) {
  for (;;) {
    const auto needed = logonReplyLength(reply);
    if (!needed) return Outcome::Garbage;
    if (*needed == reply.size()) return Outcome::Done;
    if (const Outcome ready = waitFor(fd, POLLIN, deadline); ready != Outcome::Done) {
      return ready;
    }
    char buffer[4096];
    const std::size_t want = std::min(*needed - reply.size(), sizeof buffer);
    const ssize_t got = recv(fd, buffer, want, MSG_DONTWAIT);
    if (got > 0) {
      reply.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno == ECONNRESET) {
      return Outcome::ChildGone;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return Outcome::Failed;
    }
  }
}

// Reaps this child and no other (the engine reaper waits for its own by
// their ids, and so does this). A child that has not answered is killed
// first, with whatever its modules started.
void endChild(pid_t pid, bool kill) {
  if (kill) killProcessTree(pid);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool askLogonChild(const std::string& request, std::uint32_t timeoutMs, LogonReply& reply) {
  const Deadline deadline = Deadline::after(timeoutMs);
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return failWithErrno();
  if (ends[1] <= kLogonChannel) {
    // Below the channel's number the child's own standard descriptors
    // would replace it; on it, duplicated onto itself, it would stay
    // close-on-exec.
    const int moved = fcntl(ends[1], F_DUPFD_CLOEXEC, kLogonChannel + 1);
    const int error = errno;
    close(ends[1]);
    if (moved < 0) {
      close(ends[0]);
      return failWithErrno(error);
    }
    ends[1] = moved;
  }
  const pid_t pid = startChild(ends[1]);
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    return false;
  }

  std::string answer;
  int error = 0;
  Outcome outcome = sendRequest(ends[0], request, deadline);
  if (outcome == Outcome::Done) outcome = receiveReply(ends[0], deadline, answer);
  if (outcome == Outcome::Failed) error = errno;
  close(ends[0]);
  std::optional<LogonReply> decoded;
  if (outcome == Outcome::Done) {
    decoded = decodeLogonReply(answer);
    if (!decoded) outcome = Outcome::Garbage;
  }
  endChild(pid, outcome != Outcome::Done);

  switch (outcome) {
    case Outcome::Done: reply = std::move(*decoded); return true;
    case Outcome::TimedOut: setLastError(kErrorTimeout); return false;
    case Outcome::ChildGone: setLastError(kErrorProcessAborted); return false;
    case Outcome::Garbage: setLastError(kErrorInvalidData); return false;
    case Outcome::Failed: break;
  }
  return failWithErrno(error);
}

}  // namespace platform::posix
