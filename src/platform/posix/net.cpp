#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <unordered_map>
#include <mutex>

#include "platform/deadline.h"
#include "platform/posix/state_root.h"
#include "platform/posix/sync_posix.h"

namespace platform {

// The listener's "event" is the listening descriptor itself: readable while
// a connection waits in the backlog, which is what FD_ACCEPT reports.
struct AcceptEventImpl {
  int listener = -1;
  // Whether the listener listened when it was selected: asked once, not
  // at every wait.
  bool listening = false;
};

namespace {

// The sends made while a socket is corked, gathered here and sent in one
// call when it is uncorked: one system call and one segment for a reply
// made of several pieces. One corked socket at a time per thread.
struct CorkedSends {
  int fd = -1;
  std::string bytes;
};
thread_local CorkedSends tlsCorked;

// Linux hands a listener's TCP_NODELAY, SO_KEEPALIVE and keep-alive timing
// down to every socket accepted from it. So an option set on an accepted
// socket is also set on its listener, once; the sockets accepted after it
// have it already and the call is skipped. A daemon that sets the same
// options on every client then pays for them once, not per connection.
//
//   setNoDelay(first, true)    setsockopt on first, and on its listener
//   setNoDelay(second, true)   nothing: second came with it
bool failSocket(int errnoValue);

enum Inherited { kNoDelay, kKeepAlive, kKeepIdle, kKeepInterval, kKeepCount, kInheritedCount };

struct OptionState {
  int value[kInheritedCount] = {-1, -1, -1, -1, -1};  // -1: not known
  // An accepted socket starts blocking whatever its listener is (unlike
  // Windows, Linux hands down no O_NONBLOCK); -1 once that is not known.
  int blocking = -1;
};

struct InheritedOptions {
  std::mutex lock;
  std::unordered_map<int, OptionState> listeners;
  // Accepted socket -> its listener, and what it came with.
  std::unordered_map<int, std::pair<int, OptionState>> accepted;
};

InheritedOptions& inherited() {
  static InheritedOptions options;
  return options;
}

const int kOptionLevel[kInheritedCount] = {IPPROTO_TCP, SOL_SOCKET, IPPROTO_TCP, IPPROTO_TCP,
                                           IPPROTO_TCP};
const int kOptionName[kInheritedCount] = {TCP_NODELAY, SO_KEEPALIVE, TCP_KEEPIDLE, TCP_KEEPINTVL,
                                          TCP_KEEPCNT};

bool setInheritedOption(SocketHandle socket, Inherited option, int value) {
  const int fd = static_cast<int>(socket);
  InheritedOptions& options = inherited();
  std::lock_guard<std::mutex> guard(options.lock);
  auto found = options.accepted.find(fd);
  if (found != options.accepted.end() && found->second.second.value[option] == value) return true;
  if (setsockopt(fd, kOptionLevel[option], kOptionName[option], &value, sizeof value) != 0) {
    return failSocket(errno);
  }
  if (found == options.accepted.end()) return true;
  found->second.second.value[option] = value;
  const int listener = found->second.first;
  OptionState& state = options.listeners[listener];
  if (state.value[option] != value &&
      setsockopt(listener, kOptionLevel[option], kOptionName[option], &value, sizeof value) == 0) {
    state.value[option] = value;
  }
  return true;
}

void rememberAccepted(int listener, int fd) {
  InheritedOptions& options = inherited();
  std::lock_guard<std::mutex> guard(options.lock);
  auto found = options.listeners.find(listener);
  OptionState state = found != options.listeners.end() ? found->second : OptionState{};
  state.blocking = 1;
  options.accepted[fd] = {listener, state};
}

// True when the socket's mode is known to be the one asked for already.
bool knownBlocking(int fd, bool blocking) {
  InheritedOptions& options = inherited();
  std::lock_guard<std::mutex> guard(options.lock);
  auto found = options.accepted.find(fd);
  return found != options.accepted.end() && found->second.second.blocking == (blocking ? 1 : 0);
}

void noteBlocking(int fd, bool blocking) {
  InheritedOptions& options = inherited();
  std::lock_guard<std::mutex> guard(options.lock);
  auto found = options.accepted.find(fd);
  if (found != options.accepted.end()) found->second.second.blocking = blocking ? 1 : 0;
}

void forgetSocket(int fd) {
  InheritedOptions& options = inherited();
  std::lock_guard<std::mutex> guard(options.lock);
  options.accepted.erase(fd);
  options.listeners.erase(fd);
}

}  // namespace

namespace {

// What Winsock says where errno is shared with files: error.cpp gives
// files' codes for those, a socket call has to give the Winsock ones.
ErrorCode socketErrorFromErrno(int errnoValue) {
  switch (errnoValue) {
    case EINTR: return 10004;
    // Windows answers WSAENOTSOCK for a handle that is no (longer a) socket.
    case EBADF: return 10038;
    case EACCES: return 10013;
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case ENFILE: return 10024;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10035;
    case EALREADY: return 10037;
    case EOPNOTSUPP: return 10045;
    case ENOMEM: return 10055;
    // A send after the connection was reset or shut down; the reset is
    // the usual cause for a daemon whose client went away.
    case EPIPE: return 10054;
    default: return static_cast<ErrorCode>(posix::errorFromErrno(errnoValue));
  }
}

bool failSocket(int errnoValue) {
  setLastError(socketErrorFromErrno(errnoValue));
  return false;
}

bool failSocketCode(ErrorCode code) {
  setLastError(code);
  return false;
}

// A handle that cannot be a descriptor gives -1, which every call refuses
// with EBADF.
int descriptorOf(SocketHandle socket) {
  return socket <= static_cast<SocketHandle>(INT_MAX) ? static_cast<int>(socket) : -1;
}

// An endpoint as the system's address; its length goes to *length.
sockaddr_storage toSockaddr(const Endpoint& endpoint, socklen_t* length) {
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof storage);
  if (endpoint.address.isIpv4()) {
    auto* address = reinterpret_cast<sockaddr_in*>(&storage);
    address->sin_family = AF_INET;
    address->sin_port = htons(endpoint.port);
    std::memcpy(&address->sin_addr, endpoint.address.bytes.data(), 4);
    *length = sizeof(sockaddr_in);
  } else {
    auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(endpoint.port);
    std::memcpy(&address->sin6_addr, endpoint.address.bytes.data(), 16);
    *length = sizeof(sockaddr_in6);
  }
  return storage;
}

// False for a family that is neither.
bool fromSockaddr(const sockaddr_storage& storage, Endpoint* endpoint) {
  if (storage.ss_family == AF_INET) {
    const auto* address = reinterpret_cast<const sockaddr_in*>(&storage);
    endpoint->address = NetAddress::ipv4(ntohl(address->sin_addr.s_addr));
    endpoint->port = ntohs(address->sin_port);
    return true;
  }
  if (storage.ss_family == AF_INET6) {
    const auto* address = reinterpret_cast<const sockaddr_in6*>(&storage);
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), &address->sin6_addr, 16);
    endpoint->address = NetAddress::ipv6(bytes);
    endpoint->port = ntohs(address->sin6_port);
    return true;
  }
  return false;
}

Endpoint fromIpv4(const Ipv4Endpoint& endpoint) {
  return {NetAddress::ipv4(endpoint.address), endpoint.port};
}

bool setIntOption(SocketHandle socket, int level, int name, int value) {
  if (setsockopt(descriptorOf(socket), level, name, &value, sizeof value) != 0) {
    return failSocket(errno);
  }
  return true;
}

bool isSocket(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
}

bool isListening(int fd) {
  int listening = 0;
  socklen_t length = sizeof listening;
  return fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 &&
         listening != 0;
}

ErrorCode lookupError(int result) {
  switch (result) {
    case EAI_NONAME: return 11001;  // WSAHOST_NOT_FOUND
    case EAI_AGAIN: return 11002;   // WSATRY_AGAIN
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;  // WSANO_DATA
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return 11004;
#endif
    case EAI_MEMORY: return kErrorNotEnoughMemory;
    case EAI_SYSTEM: return socketErrorFromErrno(errno);
    default: return 11003;  // WSANO_RECOVERY
  }
}

}  // namespace

ErrorCode startSockets(std::uint8_t, std::uint8_t) { return kErrorSuccess; }

void cleanupSockets() {}

ErrorCode lastSocketError() { return lastError(); }

SocketHandle createTcpSocket() { return createTcpSocket(AddressFamily::IPv4); }

SocketHandle createTcpSocket(AddressFamily family) {
  const bool ipv6 = family == AddressFamily::IPv6;
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    failSocket(errno);
    return kInvalidSocket;
  }
  const int only = 1;
  if (ipv6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0) {
    const int error = errno;
    close(fd);
    failSocket(error);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

bool closeSocket(SocketHandle socket) {
  // Sends still held for this socket die with it; its number may come back.
  if (tlsCorked.fd == descriptorOf(socket)) {
    tlsCorked.fd = -1;
    tlsCorked.bytes.clear();
  }
  forgetSocket(descriptorOf(socket));
  // Linux releases the descriptor even when close reports EINTR: never
  // retry, another thread may own the number by now.
  if (close(descriptorOf(socket)) != 0 && errno != EINTR) return failSocket(errno);
  return true;
}

bool bindSocket(SocketHandle socket, const Ipv4Endpoint& local) {
  return bindSocket(socket, fromIpv4(local));
}

bool bindSocket(SocketHandle socket, const Endpoint& local) {
  socklen_t length = 0;
  sockaddr_storage address = toSockaddr(local, &length);
  if (bind(descriptorOf(socket), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    return failSocket(errno);
  }
  return true;
}

bool listenSocket(SocketHandle socket, int backlog) {
  // Linux would bind an unbound socket to a port of its choosing; Windows
  // refuses, and a listener whose bind failed must stay unreachable.
  int fd = descriptorOf(socket);
  if (!isSocket(fd)) return failSocket(errno);
  if (localPort(socket) == 0) return failSocketCode(kWsaInvalidArgument);
  if (listen(fd, backlog) != 0) return failSocket(errno);
  return true;
}

SocketHandle acceptSocket(SocketHandle listener, Ipv4Endpoint* peer) {
  Endpoint any;
  const SocketHandle accepted = acceptSocket(listener, peer != nullptr ? &any : nullptr);
  if (accepted != kInvalidSocket && peer != nullptr) {
    peer->address = any.address.ipv4HostOrder();
    peer->port = any.port;
  }
  return accepted;
}

SocketHandle acceptSocket(SocketHandle listener, Endpoint* peer) {
  sockaddr_storage address;
  std::memset(&address, 0, sizeof address);
  int fd;
  for (;;) {
    socklen_t length = sizeof address;
    fd = accept4(descriptorOf(listener), reinterpret_cast<sockaddr*>(&address), &length,
                 SOCK_CLOEXEC);
    if (fd >= 0 || errno != EINTR) break;
  }
  if (fd < 0) {
    failSocket(errno);
    return kInvalidSocket;
  }
  if (peer != nullptr && !fromSockaddr(address, peer)) *peer = Endpoint{};
  rememberAccepted(descriptorOf(listener), fd);
  return static_cast<SocketHandle>(fd);
}

bool connectSocket(SocketHandle socket, const Ipv4Endpoint& remote) {
  return connectSocket(socket, fromIpv4(remote));
}

bool connectSocket(SocketHandle socket, const Endpoint& remote) {
  int fd = descriptorOf(socket);
  socklen_t length = 0;
  sockaddr_storage address = toSockaddr(remote, &length);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) return true;
  if (errno != EINTR) return failSocket(errno);
  // An interrupted connect goes on in the background; calling it again
  // would only say EALREADY. Wait for its outcome instead.
  pollfd entry{fd, POLLOUT, 0};
  while (poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) return failSocket(errno);
  }
  int error = 0;
  socklen_t errorLength = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0) return failSocket(errno);
  return error == 0 ? true : failSocket(error);
}

namespace {

// getsockname or getpeername, as an endpoint.
bool endpointOf(SocketHandle socket, Endpoint* endpoint,
                int (*query)(int, sockaddr*, socklen_t*)) {
  sockaddr_storage address;
  std::memset(&address, 0, sizeof address);
  socklen_t length = sizeof address;
  if (query(descriptorOf(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return failSocket(errno);
  }
  return fromSockaddr(address, endpoint) ? true : failSocketCode(kWsaFamilyNotSupported);
}

}  // namespace

bool localEndpoint(SocketHandle socket, Endpoint* local) {
  return endpointOf(socket, local, getsockname);
}

bool peerEndpoint(SocketHandle socket, Endpoint* peer) {
  return endpointOf(socket, peer, getpeername);
}

int receiveSocket(SocketHandle socket, void* buffer, int length) {
  if (length < 0) {
    failSocketCode(kWsaInvalidArgument);
    return kSocketError;
  }
  for (;;) {
    ssize_t got = recv(descriptorOf(socket), buffer, static_cast<size_t>(length), 0);
    if (got >= 0) return static_cast<int>(got);
    // The daemon's child reaping interrupts blocking calls; Windows has no
    // such interruption, so carry on.
    if (errno != EINTR) break;
  }
  failSocket(errno);
  return kSocketError;
}

int sendSocket(SocketHandle socket, const void* bytes, int length) {
  if (length < 0) {
    failSocketCode(kWsaInvalidArgument);
    return kSocketError;
  }
  if (tlsCorked.fd >= 0 && tlsCorked.fd == descriptorOf(socket)) {
    tlsCorked.bytes.append(static_cast<const char*>(bytes), static_cast<std::size_t>(length));
    return length;
  }
  for (;;) {
    // A peer that has gone must give an error, not SIGPIPE.
    ssize_t sent = send(descriptorOf(socket), bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno != EINTR) break;
  }
  failSocket(errno);
  return kSocketError;
}

bool shutdownSend(SocketHandle socket) {
  if (shutdown(descriptorOf(socket), SHUT_WR) != 0) return failSocket(errno);
  return true;
}

std::uint16_t localPort(SocketHandle socket) {
  Endpoint local;
  return localEndpoint(socket, &local) ? local.port : 0;
}

bool setReuseAddress(SocketHandle socket, bool on) {
  return setIntOption(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

bool setNoDelay(SocketHandle socket, bool on) {
  return setInheritedOption(socket, kNoDelay, on ? 1 : 0);
}

bool setKeepAlive(SocketHandle socket, bool on) {
  return setInheritedOption(socket, kKeepAlive, on ? 1 : 0);
}

bool setKeepAliveTiming(SocketHandle socket, std::uint32_t idleSeconds,
                        std::uint32_t intervalSeconds, std::uint32_t probeCount) {
  // The kernel refuses values outside these ranges; Windows takes them.
  auto clamp = [](std::uint32_t value, std::uint32_t high) {
    return static_cast<int>(value < 1 ? 1 : (value > high ? high : value));
  };
  return setInheritedOption(socket, kKeepAlive, 1) &&
         setInheritedOption(socket, kKeepIdle, clamp(idleSeconds, 32767)) &&
         setInheritedOption(socket, kKeepInterval, clamp(intervalSeconds, 32767)) &&
         setInheritedOption(socket, kKeepCount, clamp(probeCount, 127));
}

bool setBlocking(SocketHandle socket, bool blocking) {
  int fd = descriptorOf(socket);
  if (knownBlocking(fd, blocking)) return true;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return failSocket(errno);
  int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (wanted != flags && fcntl(fd, F_SETFL, wanted) != 0) return failSocket(errno);
  noteBlocking(fd, blocking);
  return true;
}

bool parseDottedIpv4(const char* text, std::uint32_t* address) {
  if (text == nullptr || address == nullptr) return false;
  in_addr_t parsed = inet_addr(text);
  if (parsed == INADDR_NONE) return false;
  *address = ntohl(parsed);
  return true;
}

bool lookupHostIpv4(const char* name, std::uint32_t* address) {
  if (name == nullptr || address == nullptr) return failSocketCode(10014);  // WSAEFAULT
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int result = getaddrinfo(name, nullptr, &hints, &found);
  if (result != 0) return failSocketCode(lookupError(result));
  bool ok = false;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      *address = ntohl(reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
      ok = true;
      break;
    }
  }
  freeaddrinfo(found);
  return ok ? true : failSocketCode(11004);
}

bool lookupHost(const char* name, NetAddress* address) {
  if (name == nullptr || address == nullptr) return failSocketCode(10014);  // WSAEFAULT
  std::uint32_t ipv4 = 0;
  if (lookupHostIpv4(name, &ipv4)) {
    *address = NetAddress::ipv4(ipv4);
    return true;
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int result = getaddrinfo(name, nullptr, &hints, &found);
  if (result != 0) return failSocketCode(lookupError(result));
  bool ok = false;
  for (addrinfo* entry = found; entry != nullptr && !ok; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET6 || entry->ai_addr == nullptr) continue;
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    std::memcpy(&storage, entry->ai_addr, sizeof(sockaddr_in6));
    Endpoint endpoint;
    ok = fromSockaddr(storage, &endpoint);
    if (ok) *address = endpoint.address;
  }
  freeaddrinfo(found);
  return ok ? true : failSocketCode(11004);
}

int waitUntilReadable(SocketHandle socket, std::uint32_t timeoutMs) {
  const Deadline deadline = Deadline::after(timeoutMs);
  pollfd entry{descriptorOf(socket), POLLIN, 0};
  if (entry.fd < 0) {
    failSocketCode(kWsaNotSocket);
    return kSocketError;
  }
  for (;;) {
    entry.revents = 0;
    int ready = poll(&entry, 1, deadline.pollTimeout());
    if (ready > 0) {
      if ((entry.revents & POLLNVAL) != 0) {
        failSocketCode(kWsaNotSocket);
        return kSocketError;
      }
      return 1;
    }
    if (ready == 0) {
      // A bound longer than one wait may be is waited in turns.
      if (deadline.passed()) return 0;
      continue;
    }
    if (errno != EINTR) {
      failSocket(errno);
      return kSocketError;
    }
  }
}

AcceptEventHandle createAcceptEvent() { return new AcceptEventImpl; }

void closeAcceptEvent(AcceptEventHandle event) { delete event; }

bool selectAcceptEvent(SocketHandle listener, AcceptEventHandle event) {
  if (event == nullptr) return failSocketCode(kErrorInvalidHandle);  // WSA_INVALID_HANDLE
  int fd = descriptorOf(listener);
  if (!isSocket(fd) || !setBlocking(listener, false)) return failSocket(errno);
  event->listener = fd;
  event->listening = isListening(fd);
  return true;
}

bool resetAcceptEvent(AcceptEventHandle event) {
  // Readability is the state itself; nothing to reset.
  return event != nullptr ? true : failSocketCode(kErrorInvalidHandle);
}

bool cancelEventSelection(SocketHandle accepted, AcceptEventHandle) {
  // An accepted descriptor inherits no notification here, nor the
  // listener's non-blocking mode.
  return descriptorOf(accepted) >= 0 ? true : failSocketCode(kWsaNotSocket);
}

int receiveReady(SocketHandle socket, void* buffer, int length) {
  for (;;) {
    const ssize_t got = recv(descriptorOf(socket), buffer, static_cast<std::size_t>(length),
                             MSG_DONTWAIT);
    if (got >= 0) return static_cast<int>(got);
    if (errno == EINTR) continue;
    failSocket(errno);
    return kSocketError;
  }
}

int peekReady(SocketHandle socket, void* buffer, int length) {
  for (;;) {
    const ssize_t got = recv(descriptorOf(socket), buffer, static_cast<std::size_t>(length),
                             MSG_DONTWAIT | MSG_PEEK);
    if (got >= 0) return static_cast<int>(got);
    if (errno == EINTR) continue;
    failSocket(errno);
    return kSocketError;
  }
}

int sendReady(SocketHandle socket, const void* bytes, int length) {
  if (length < 0) {
    failSocketCode(kWsaInvalidArgument);
    return kSocketError;
  }
  for (;;) {
    const ssize_t sent = send(descriptorOf(socket), bytes, static_cast<std::size_t>(length),
                              MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    failSocket(errno);
    return kSocketError;
  }
}

int sendReadyGathered(SocketHandle socket, const std::string_view* runs, int count) {
  constexpr int kMostRuns = 16;
  if (count < 0 || count > kMostRuns) {
    failSocketCode(kWsaInvalidArgument);
    return kSocketError;
  }
  iovec vectors[kMostRuns];
  std::size_t total = 0;
  for (int i = 0; i < count; ++i) {
    vectors[i].iov_base = const_cast<char*>(runs[i].data());
    vectors[i].iov_len = runs[i].size();
    total += runs[i].size();
  }
  if (total > static_cast<std::size_t>(INT_MAX)) {
    failSocketCode(kWsaInvalidArgument);
    return kSocketError;
  }
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = static_cast<std::size_t>(count);
  for (;;) {
    const ssize_t sent = sendmsg(descriptorOf(socket), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    failSocket(errno);
    return kSocketError;
  }
}

bool setCorked(SocketHandle socket, bool corked) {
  const int fd = descriptorOf(socket);
  if (corked) {
    if (fd < 0) return failSocketCode(kWsaNotSocket);
    tlsCorked.fd = fd;
    tlsCorked.bytes.clear();
    return true;
  }
  if (tlsCorked.fd != fd) return true;
  tlsCorked.fd = -1;
  std::string held;
  held.swap(tlsCorked.bytes);
  // What was held goes out now, whole, as the sends that made it would
  // have sent it.
  std::size_t done = 0;
  while (done < held.size()) {
    const int sent = sendSocket(socket, held.data() + done, static_cast<int>(held.size() - done));
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

std::uint32_t waitForControlOrConnection(EventHandle control, AcceptEventHandle accept) {
  if (control == nullptr || accept == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  for (;;) {
    // An unlistened socket polls as hung up at once; like FD_ACCEPT on
    // such a socket, it must simply never fire.
    pollfd fds[2] = {{posix::eventDescriptor(control), POLLIN, 0},
                     {accept->listening ? accept->listener : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      failSocket(errno);
      return kWaitFailed;
    }
    if ((fds[0].revents & (POLLNVAL | POLLERR)) != 0) {
      setLastError(kErrorInvalidHandle);
      return kWaitFailed;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      // Consumes an auto-reset event as a wait on it would.
      if (waitForEvent(control, 0) == 0) return 0;
      continue;  // Another waiter took it.
    }
    if ((fds[1].revents & POLLIN) != 0) return 1;
  }
}

SocketHandle adoptInheritedSocket(std::uintptr_t number) {
  const int fd = number <= static_cast<std::uintptr_t>(INT_MAX) ? static_cast<int>(number) : -1;
  // Any descriptor may be named; only a socket will do.
  if (fd < 0 || !isSocket(fd)) {
    failSocketCode(kWsaNotSocket);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

}  // namespace platform
