#include "tls/relay_master.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "tls/relay_session.h"

namespace vornd_tls {

namespace {

constexpr const char* kAccount = "vornd-tls";
constexpr const char* kFallbackAccount = "nobody";
// A message carries two descriptors; room for a few more lets a wrong
// message's extra descriptors be received, and closed, rather than leak.
constexpr int kMostDescriptors = 8;

void setName(const char* name) { ::prctl(PR_SET_NAME, name, 0, 0, 0); }

// Gives up root for the relay's account. Empty on success, else why not;
// `warning` is set when the fallback is used.
std::string dropRoot(std::string& warning) {
  if (::geteuid() != 0) return std::string();
  std::string error;
  const passwd* account = relayAccount(warning, error);
  if (account == nullptr) return error;
  const uid_t uid = account->pw_uid;
  const gid_t gid = account->pw_gid;
  if (::setgroups(0, nullptr) != 0) return std::string("setgroups: ") + std::strerror(errno);
  if (::setgid(gid) != 0) return std::string("setgid: ") + std::strerror(errno);
  if (::setuid(uid) != 0) return std::string("setuid: ") + std::strerror(errno);
  if (uid != 0 && ::setuid(0) == 0) return "root could be taken back after giving it up";
  return std::string();
}

void closeAll(const int* fds, int count) {
  for (int i = 0; i < count; ++i) ::close(fds[i]);
}

// A sequenced-packet socket reads zero bytes both at its end and for an
// empty message; only the end leaves it hung up.
bool channelEnded(int channel) {
  pollfd watch{channel, POLLIN | POLLRDHUP, 0};
  const int ready = ::poll(&watch, 1, 0);
  return ready < 0 || (ready == 1 && (watch.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0);
}

// The next message; false when the channel has ended or failed. A session
// comes back in `sockets`; anything else is dropped, its descriptors closed.
bool receive(int channel, SessionSockets& sockets, bool& isSession) {
  char payload[32];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMostDescriptors)];
  iovec part{payload, sizeof payload};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  do {
    got = ::recvmsg(channel, &message, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  if (got == 0 && message.msg_controllen == 0 && channelEnded(channel)) return false;

  int fds[kMostDescriptors];
  int count = 0;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t bytes = header->cmsg_len - CMSG_LEN(0);
    const int n = static_cast<int>(bytes / sizeof(int));
    for (int i = 0; i < n && count < kMostDescriptors; ++i) {
      std::memcpy(&fds[count++], CMSG_DATA(header) + i * sizeof(int), sizeof(int));
    }
  }
  constexpr char kSession[] = "session";
  isSession = (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
              static_cast<std::size_t>(got) == sizeof kSession - 1 &&
              std::memcmp(payload, kSession, sizeof kSession - 1) == 0 && count == 2;
  if (isSession) {
    sockets = {fds[0], fds[1]};
  } else {
    closeAll(fds, count);
  }
  return true;
}

[[noreturn]] void serveInChild(int channel, SSL_CTX* context, SessionSockets sockets,
                               int handshakeSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(handshakeSeconds);
  ::close(channel);
  ::signal(SIGCHLD, SIG_DFL);
  setName("vornd-tls");
  runSession(context, sockets, deadline, handshakeSeconds);
  ::_exit(0);
}

}  // namespace

void sendChannelMessage(int channel, const std::string& text) {
  ssize_t sent;
  do {
    sent = ::send(channel, text.data(), text.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
}

const passwd* relayAccount(std::string& warning, std::string& error) {
  const passwd* account = ::getpwnam(kAccount);
  if (account != nullptr) return account;
  account = ::getpwnam(kFallbackAccount);
  if (account == nullptr) {
    error = std::string("no account ") + kAccount + " nor " + kFallbackAccount +
            " to run the TLS relay as";
    return nullptr;
  }
  warning = std::string("no account ") + kAccount + ": the TLS relay runs as " + kFallbackAccount;
  return account;
}

int runMaster(int channel, const MasterSettings& settings) {
  // Sessions are never waited for: the kernel reaps them.
  ::signal(SIGCHLD, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);

  std::string error;
  SSL_CTX* context = makeServerContext(settings.files, error);
  if (context == nullptr) {
    sendChannelMessage(channel, "error " + error);
    return 1;
  }
  std::string warning;
  error = dropRoot(warning);
  if (!error.empty()) {
    sendChannelMessage(channel, "error " + error);
    SSL_CTX_free(context);
    return 1;
  }
  if (!warning.empty()) sendChannelMessage(channel, "warning " + warning);
  sendChannelMessage(channel, "ready");
  // The kernel keeps fifteen characters: "vornd-tls-maste".
  setName("vornd-tls-master");

  for (;;) {
    SessionSockets sockets{-1, -1};
    bool isSession = false;
    if (!receive(channel, sockets, isSession)) break;
    if (!isSession) continue;
    const pid_t child = ::fork();
    if (child == 0) serveInChild(channel, context, sockets, settings.handshakeSeconds);
    // Also when the fork failed: the daemon then sees its end close at once.
    ::close(sockets.client);
    ::close(sockets.inner);
  }
  SSL_CTX_free(context);
  return 0;
}

}  // namespace vornd_tls
