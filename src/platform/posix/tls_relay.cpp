#include "platform/tls_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/deadline.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/posix/engine_reaper.h"
#include "platform/posix/spawn_signals.h"
#include "platform/posix/state_root.h"

namespace platform {

struct TlsRelayImpl {
  int channel = -1;
  pid_t pid = -1;
};

namespace {

// Where the relay's end of the channel is in the relay.
constexpr int kChannelDescriptor = 3;
// Loading a certificate and a key takes milliseconds; a relay that has
// said nothing by then never will.
constexpr std::uint32_t kStartBoundMs = 10000;
constexpr std::size_t kLargestMessage = 4096;

std::string relayProgram() {
  std::string path = moduleFileName();
  const std::size_t slash = path.rfind('/');
  path.erase(slash == std::string::npos ? 0 : slash + 1);
  return path + "vornd-tls";
}

std::string errnoText(int error) { return std::strerror(error); }

pid_t spawnRelay(const std::string& program, const TlsRelaySettings& settings, int channel,
                 std::string& reason) {
  std::vector<std::string> arguments = {program,
                                        "--cert",
                                        settings.certificateFile,
                                        "--key",
                                        settings.keyFile,
                                        "--handshake-seconds",
                                        std::to_string(settings.handshakeSeconds)};
  if (!settings.clientCaFile.empty()) {
    arguments.push_back("--client-ca");
    arguments.push_back(settings.clientCaFile);
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  char* envp[] = {nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_adddup2(&actions, channel, kChannelDescriptor);
  posix_spawn_file_actions_addclosefrom_np(&actions, kChannelDescriptor + 1);
  // Its own process group: a signal to the daemon's group (a terminal's
  // interrupt) does not end the sessions.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix::resetChildSignals(attributes, POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int result = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    reason = program + ": " + errnoText(result);
    return -1;
  }
  return pid;
}

// The relay's messages until "ready" or the first "error"; false with
// `reason` set for anything but ready.
bool awaitReady(int channel, pid_t pid, std::string& reason, std::vector<std::string>& warnings) {
  const Deadline deadline = Deadline::after(kStartBoundMs);
  char message[kLargestMessage];
  for (;;) {
    pollfd entry{channel, POLLIN, 0};
    const int ready = poll(&entry, 1, deadline.pollTimeout());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      reason = "the TLS relay said nothing within " + std::to_string(kStartBoundMs / 1000) +
               " seconds of its start";
      kill(pid, SIGKILL);
      return false;
    }
    const ssize_t got = recv(channel, message, sizeof message, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      reason = "the TLS relay ended at its start";
      return false;
    }
    const std::string text(message, static_cast<std::size_t>(got));
    if (text == "ready") return true;
    if (text.rfind("warning ", 0) == 0) {
      warnings.push_back(text.substr(8));
      continue;
    }
    reason = text.rfind("error ", 0) == 0 ? text.substr(6) : "the TLS relay said: " + text;
    return false;
  }
}

}  // namespace

TlsRelay startTlsRelay(const TlsRelaySettings& settings, std::string& reason,
                       std::vector<std::string>& warnings) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    reason = "socketpair: " + errnoText(errno);
    return nullptr;
  }
  const pid_t pid = spawnRelay(relayProgram(), settings, ends[1], reason);
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    return nullptr;
  }
  if (!awaitReady(ends[0], pid, reason, warnings)) {
    close(ends[0]);
    // It has ended, or is about to with its channel gone: reaped when it
    // does, and never waited for.
    posix::adoptEngine(pid);
    return nullptr;
  }
  // A relay too slow to take a connection must never stall the loop.
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  auto* relay = new TlsRelayImpl;
  relay->channel = ends[0];
  relay->pid = pid;
  return relay;
}

namespace {

// Runs the relay with these arguments and collects its standard output
// (up to a bound); false with `reason` set when it could not be started.
bool runRelay(const std::vector<std::string>& arguments, std::string& output, int& status,
              std::string& reason) {
  const std::string program = relayProgram();
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    reason = "pipe: " + errnoText(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    reason = program + ": " + errnoText(spawned);
    return false;
  }
  char buffer[256];
  ssize_t got;
  while ((got = read(out[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
    if (got > 0 && output.size() < 16384) output.append(buffer, static_cast<std::size_t>(got));
  }
  close(out[0]);
  status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::string tlsLibraryVersion() {
  std::string text, reason;
  int status = 0;
  if (!runRelay({"--version"}, text, status, reason) || exitCodeOf(status) != 0) {
    return std::string();
  }
  const std::size_t end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end);
}

TlsFileCheck checkTlsFiles(const TlsRelaySettings& settings) {
  TlsFileCheck check;
  std::vector<std::string> arguments{"--check", settings.certificateFile, settings.keyFile};
  if (!settings.clientCaFile.empty()) arguments.push_back(settings.clientCaFile);
  std::string output;
  int status = 0;
  if (!runRelay(arguments, output, status, check.unavailable)) return check;
  const int code = exitCodeOf(status);
  if (code != 0 && code != 1) {
    check.unavailable = "the TLS relay " + relayProgram() + " did not check the files";
    return check;
  }
  // "<role> <text>", a line each; a file's text is "<path>: <reason>".
  const auto reasonOf = [](const std::string& text, const std::string& path) {
    const std::string prefix = path + ": ";
    return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
  };
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    start = end + 1;
    const std::size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    const std::string role = line.substr(0, blank);
    const std::string text = line.substr(blank + 1);
    if (role == "certificate") check.certificate = reasonOf(text, settings.certificateFile);
    if (role == "key") check.key = reasonOf(text, settings.keyFile);
    if (role == "client-ca") check.clientCa = reasonOf(text, settings.clientCaFile);
    if (role == "account") check.account.push_back(text);
  }
  return check;
}

void stopTlsRelay(TlsRelay relay) {
  if (relay == nullptr) return;
  // Its end of the channel sees the close, and the relay leaves; the
  // reaper collects it then. (One that ended before stays unreaped until
  // now: a daemon's child that is not an engine.)
  close(relay->channel);
  posix::adoptEngine(relay->pid);
  delete relay;
}

SocketHandle relayConnection(TlsRelay relay, SocketHandle accepted) {
  const int client = accepted <= static_cast<SocketHandle>(INT_MAX) ? static_cast<int>(accepted) : -1;
  if (relay == nullptr || client < 0) {
    if (client >= 0) close(client);
    posix::failWithErrno(relay == nullptr ? EINVAL : EBADF);
    return kInvalidSocket;
  }
  int inner[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inner) != 0) {
    const int error = errno;
    close(client);
    posix::failWithErrno(error);
    return kInvalidSocket;
  }
  static const char kSession[] = "session";
  iovec payload{const_cast<char*>(kSession), sizeof kSession - 1};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &payload;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(2 * sizeof(int));
  const int passed[2] = {client, inner[1]};
  std::memcpy(CMSG_DATA(header), passed, sizeof passed);
  ssize_t sent;
  do {
    sent = sendmsg(relay->channel, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  const int error = errno;
  // The relay holds its own copies now, or the connection is lost.
  close(client);
  close(inner[1]);
  if (sent < 0) {
    close(inner[0]);
    posix::failWithErrno(error);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(inner[0]);
}

}  // namespace platform
