#include "platform/posix/logon_child.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/logon_pam.h"

namespace platform::posix {

namespace {

// Exit statuses of a child that sent no answer; only a person reading a
// trace sees them, the daemon goes by the answer alone.
constexpr int kExitNoRequest = 2;
constexpr int kExitBadRequest = 3;
constexpr int kExitReplyLost = 4;

// Wipes what held a password before the memory goes back to the heap.
void wipe(std::string& text) { explicit_bzero(text.data(), text.size()); }

}  // namespace

int serveLogonChild(int channel) {
  // Started from /proc/self/exe, the child would show as "exe".
  prctl(PR_SET_NAME, "vornd-logon", 0, 0, 0);
  // A daemon that dies takes its conversations with it.
  prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  // What a module's helper leaves running when it ends stays below this
  // process, where the daemon finds it when it has to kill the lot.
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);

  std::string request;
  // Room for the longest request, so that no copy of the password is left
  // behind in a buffer given up while growing.
  request.reserve(12 + 3 * kMaximumLogonField);
  for (;;) {
    const auto needed = logonRequestLength(request);
    if (!needed) {
      wipe(request);
      return kExitBadRequest;
    }
    if (*needed == request.size()) break;
    char buffer[512];
    const std::size_t want = std::min(*needed - request.size(), sizeof buffer);
    const ssize_t got = read(channel, buffer, want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      wipe(request);
      return kExitNoRequest;
    }
    request.append(buffer, static_cast<std::size_t>(got));
    explicit_bzero(buffer, sizeof buffer);
  }
  auto decoded = decodeLogonRequest(request);
  wipe(request);
  if (!decoded) return kExitBadRequest;
  const LogonReply reply = checkLogon(decoded->user, decoded->password, decoded->clientAddress);
  wipe(decoded->password);

  const std::string answer = encodeLogonReply(reply);
  for (std::size_t sent = 0; sent < answer.size();) {
    const ssize_t written =
        send(channel, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return kExitReplyLost;
    sent += static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace platform::posix
