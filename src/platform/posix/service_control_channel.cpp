#include "platform/posix/service_control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/deadline.h"
#include "platform/posix/service_files.h"
#include "platform/posix/state_root.h"
#include "platform/posix/unix_socket_path.h"

namespace platform::posix {

namespace {

constexpr std::uint32_t kDefaultStartTimeoutMs = 30000;
std::atomic<std::uint32_t> g_startTimeoutMs{kDefaultStartTimeoutMs};

constexpr char kStartMagic[8] = {'V', 'S', 'M', 'S', 'T', 'A', 'R', '1'};
constexpr std::uint32_t kReadyMagic = 0x59445256;    // "VRDY"
constexpr std::uint32_t kControlMagic = 0x4C544356;  // "VCTL"

// The start message is written before the process exists, so it must fit
// in the socket's buffer (Linux gives a unix stream socket about 200 KiB).
constexpr std::size_t kMaxStartMessage = 64 * 1024;

// A client that connects and says nothing must not stall the dispatcher
// for long: it serves one request at a time.
constexpr int kRequestReadTimeoutMs = 5000;

// kHalted: the watched peer was found stopped, or gone, during the wait.
enum class Io { kDone, kEof, kTimeout, kError, kHalted };

// How often a wait looks again at the process it waits on. A stop takes
// effect some time after the signal was sent (each thread stops itself
// once it next runs, later still on a busy machine), and it may come at
// any point of an exchange: one look when the exchange begins is not
// enough.
constexpr int kPeerCheckMs = 100;

bool peerHalted(pid_t peer);

// Reads exactly size bytes before the deadline. With a watched peer, the
// wait is cut into slices and gives up early once that peer cannot answer.
Io readFull(int fd, void* buffer, std::size_t size, const Deadline& deadline,
            pid_t watched = 0) {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const Deadline::Clock::time_point now = Deadline::Clock::now();
    if (deadline.passed(now)) return Io::kTimeout;
    const int left = deadline.pollTimeout(now);
    const bool sliced = watched > 0 && (left < 0 || left > kPeerCheckMs);
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, sliced ? kPeerCheckMs : left);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Io::kError;
    }
    if (ready == 0) {
      if (!sliced) return Io::kTimeout;
      if (peerHalted(watched)) return Io::kHalted;
      continue;
    }
    ssize_t got = recv(fd, bytes + done, size - done, 0);
    if (got == 0) return Io::kEof;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Io::kError;
    }
    done += static_cast<std::size_t>(got);
  }
  return Io::kDone;
}

bool writeFull(int fd, const void* buffer, std::size_t size, int extraFlags = 0) {
  const auto* bytes = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    // A peer that went away must not kill us with SIGPIPE.
    ssize_t sent = send(fd, bytes + done, size - done, MSG_NOSIGNAL | extraFlags);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

void appendU32(std::string& out, std::uint32_t value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

bool takeU32(const std::string& in, std::size_t& at, std::uint32_t& value) {
  if (in.size() - at < sizeof value) return false;
  std::memcpy(&value, in.data() + at, sizeof value);
  at += sizeof value;
  return true;
}

bool isUnixStreamSocket(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
  int value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &value, &length) != 0 || value != AF_UNIX) {
    return false;
  }
  length = sizeof value;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &length) == 0 && value == SOCK_STREAM;
}

// The process that listens on the far end of a connected socket; 0 when
// it cannot be told.
pid_t listenerPid(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.pid <= 0) return 0;
  return peer.pid;
}

// True when the process is stopped by a signal or a tracer, so it cannot
// answer until someone lets it go on and waiting for it would only use up
// the exchange's time limit; true also when it has gone (something else
// may still hold its socket, but nobody will answer on it).
bool peerHalted(pid_t peer) {
  const std::string path = "/proc/" + std::to_string(peer) + "/stat";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ESRCH;
  char buffer[512];
  ssize_t got;
  do {
    got = read(fd, buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got <= 0) return got < 0 && errno == ESRCH;
  // "pid (command) state ...": the command may hold blanks and parentheses
  // but is at most 64 bytes, so the state is within the first read.
  const std::string line(buffer, static_cast<std::size_t>(got));
  const std::string::size_type end = line.rfind(')');
  if (end == std::string::npos || end + 2 >= line.size()) return false;
  const char state = line[end + 2];
  return state == 'T' || state == 't';
}

}  // namespace

std::uint32_t serviceStartTimeoutMs() { return g_startTimeoutMs.load(); }

void setServiceStartTimeoutForTesting(std::uint32_t ms) {
  g_startTimeoutMs.store(ms == 0 ? kDefaultStartTimeoutMs : ms);
}

// magic, u32 total length of what follows, u32 count, then per argument
// u32 length and the bytes.
std::string encodeStartMessage(const std::vector<std::string>& arguments) {
  std::string body;
  appendU32(body, static_cast<std::uint32_t>(arguments.size()));
  for (const std::string& argument : arguments) {
    appendU32(body, static_cast<std::uint32_t>(argument.size()));
    body += argument;
  }
  if (body.size() > kMaxStartMessage) return {};
  std::string message(kStartMagic, sizeof kStartMagic);
  appendU32(message, static_cast<std::uint32_t>(body.size()));
  return message + body;
}

bool carriesStartMessage(int fd) {
  if (!isUnixStreamSocket(fd)) return false;
  char head[sizeof kStartMagic];
  ssize_t got;
  do {
    got = recv(fd, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof head) &&
         std::memcmp(head, kStartMagic, sizeof head) == 0;
}

bool readStartMessage(int fd, std::vector<std::string>& arguments) {
  // The whole message was written before we started; the limit only
  // guards against a writer that is not the service manager.
  const Deadline deadline = Deadline::after(5000);
  char head[sizeof kStartMagic + sizeof(std::uint32_t)];
  if (readFull(fd, head, sizeof head, deadline) != Io::kDone) return false;
  if (std::memcmp(head, kStartMagic, sizeof kStartMagic) != 0) return false;
  std::uint32_t length = 0;
  std::memcpy(&length, head + sizeof kStartMagic, sizeof length);
  if (length > kMaxStartMessage) return false;
  std::string body(length, '\0');
  if (readFull(fd, body.data(), body.size(), deadline) != Io::kDone) return false;

  std::size_t at = 0;
  std::uint32_t count = 0;
  if (!takeU32(body, at, count) || count == 0) return false;
  arguments.clear();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t size = 0;
    if (!takeU32(body, at, size) || body.size() - at < size) return false;
    arguments.emplace_back(body, at, size);
    at += size;
  }
  return at == body.size() && !arguments[0].empty();
}

bool sendReady(int fd) { return writeFull(fd, &kReadyMagic, sizeof kReadyMagic); }

ReadyResult readReady(int fd) {
  std::uint32_t magic = 0;
  ssize_t got;
  do {
    got = recv(fd, &magic, sizeof magic, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && errno == EAGAIN) return ReadyResult::kNotYet;
  if (got == static_cast<ssize_t>(sizeof magic) && magic == kReadyMagic) {
    return ReadyResult::kReady;
  }
  // The record is four bytes sent at once; anything else is a failure.
  return ReadyResult::kClosed;
}

ControlRequest makeRequest(ControlOp op, std::uint32_t control) {
  ControlRequest request;
  request.magic = kControlMagic;
  request.op = static_cast<std::uint32_t>(op);
  request.control = control;
  return request;
}

ControlReply makeReply(ErrorCode error, const ServiceStatus& status) {
  ControlReply reply;
  reply.magic = kControlMagic;
  reply.error = error;
  reply.status = status;
  return reply;
}

ExchangeResult exchange(const std::string& serviceName, const ControlRequest& request,
                        ControlReply& reply) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    failWithErrno();
    return ExchangeResult::kFailed;
  }
  const Deadline deadline = Deadline::after(kControlExchangeTimeoutMs);
  // Bounds a connect that waits on a full backlog.
  timeval limit{kControlExchangeTimeoutMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);

  ExchangeResult result = ExchangeResult::kAnswered;
  if (connectUnixSocket(fd, controlSocketPath(serviceName)) != 0) {
    if (errno == ENOENT || errno == ECONNREFUSED) {
      result = ExchangeResult::kNotRunning;
    } else if (errno == EAGAIN || errno == EINPROGRESS) {
      setLastError(kErrorServiceRequestTimeout);
      result = ExchangeResult::kFailed;
    } else {
      failWithErrno();
      result = ExchangeResult::kFailed;
    }
  } else if (const pid_t peer = listenerPid(fd); peer > 0 && peerHalted(peer)) {
    // Nothing is sent: a request left in the socket would act when the
    // process goes on, long after its sender gave up.
    setLastError(kErrorServiceRequestTimeout);
    result = ExchangeResult::kFailed;
  } else if (!writeFull(fd, &request, sizeof request)) {
    if (errno == EPIPE || errno == ECONNRESET) {
      result = ExchangeResult::kNotRunning;
    } else {
      failWithErrno();
      result = ExchangeResult::kFailed;
    }
  } else {
    // A peer stopped after the look above, or while it works on the
    // request, is noticed within a slice of the wait.
    switch (readFull(fd, &reply, sizeof reply, deadline, listenerPid(fd))) {
      case Io::kDone:
        if (reply.magic != kControlMagic) {
          setLastError(kErrorInvalidData);
          result = ExchangeResult::kFailed;
        }
        break;
      case Io::kEof:
        result = ExchangeResult::kNotRunning;
        break;
      case Io::kTimeout:
      case Io::kHalted:
        setLastError(kErrorServiceRequestTimeout);
        result = ExchangeResult::kFailed;
        break;
      case Io::kError:
        if (errno == ECONNRESET) {
          result = ExchangeResult::kNotRunning;
        } else {
          failWithErrno();
          result = ExchangeResult::kFailed;
        }
        break;
    }
  }
  close(fd);
  return result;
}

bool serviceProcessPresent(const std::string& serviceName) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return true;
  const bool present = connectUnixSocket(fd, controlSocketPath(serviceName)) == 0 ||
                       (errno != ENOENT && errno != ECONNREFUSED);
  close(fd);
  return present;
}

bool readRequest(int fd, ControlRequest& request) {
  const Deadline deadline = Deadline::after(kRequestReadTimeoutMs);
  return readFull(fd, &request, sizeof request, deadline) == Io::kDone &&
         request.magic == kControlMagic;
}

bool writeReply(int fd, const ControlReply& reply) {
  return writeFull(fd, &reply, sizeof reply, MSG_DONTWAIT);
}

bool peerHasHungUp(int fd) {
  pollfd entry{fd, POLLRDHUP, 0};
  return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP)) != 0;
}

}  // namespace platform::posix
