#include "tls/relay_session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cerrno>
#include <string>

#include "session/tls_session.h"
#include "tls/tls_context.h"

namespace vornd_tls {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBufferSize = 16 * 1024;
constexpr std::size_t kMostStatusLine = 1023;  // the newline included
// How long a finished session waits for its close_notify to leave and for
// the client to stop sending, so that closing does not reset the
// connection under data the client has yet to read.
constexpr auto kLinger = std::chrono::seconds(2);

void setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int millisecondsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60'000 ? 60'000 : static_cast<int>(left);
}

// The line is short and the stream new, so it fits the socket's buffer;
// it is written before the stream turns non-blocking.
void writeLine(int fd, const std::string& line) {
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t wrote = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += static_cast<std::size_t>(wrote);
  }
}

// The client certificate's subject on one line, control characters made
// visible so the daemon's line stays one line.
std::string clientSubject(SSL* ssl) {
  X509* certificate = SSL_get1_peer_certificate(ssl);
  if (certificate == nullptr) return std::string();
  std::string subject;
  if (BIO* memory = BIO_new(BIO_s_mem())) {
    if (X509_NAME_print_ex(memory, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) >= 0) {
      char* text = nullptr;
      const long length = BIO_get_mem_data(memory, &text);
      if (length > 0) subject.assign(text, static_cast<std::size_t>(length));
    }
    BIO_free(memory);
  }
  X509_free(certificate);
  for (char& c : subject) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return subject;
}

std::string successLine(SSL* ssl) {
  std::string line = std::string("ok ") + SSL_get_version(ssl) + " " +
                     SSL_CIPHER_get_name(SSL_get_current_cipher(ssl));
  const std::string subject = clientSubject(ssl);
  if (!subject.empty()) line += " " + subject;
  if (line.size() > kMostStatusLine - 1) line.resize(kMostStatusLine - 1);
  return line + "\n";
}

std::string handshakeFailure(SSL* ssl, int result) {
  const int error = SSL_get_error(ssl, result);
  const unsigned long code = ERR_peek_error();
  if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && code == 0) ||
      (ERR_GET_LIB(code) == ERR_LIB_SSL &&
       ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
    ERR_clear_error();
    return "connection closed";
  }
  return takeLibraryReason("connection closed");
}

// The handshake, driven by poll until it completes or the deadline passes.
// On failure the reason goes to the daemon and false comes back.
bool handshake(SSL* ssl, int client, int inner, Clock::time_point deadline,
               int handshakeSeconds) {
  for (;;) {
    ERR_clear_error();
    const int result = SSL_accept(ssl);
    if (result == 1) return true;
    short events = 0;
    switch (SSL_get_error(ssl, result)) {
      case SSL_ERROR_WANT_READ: events = POLLIN; break;
      case SSL_ERROR_WANT_WRITE: events = POLLOUT; break;
      default:
        writeLine(inner, "fail TLS handshake failed: " + handshakeFailure(ssl, result) + "\n");
        return false;
    }
    pollfd watch{client, events, 0};
    int ready = 0;
    do {
      ready = ::poll(&watch, 1, millisecondsUntil(deadline));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0 && Clock::now() >= deadline) {
      writeLine(inner, "fail " + std::string(kNoHandshakeInTime) + std::to_string(handshakeSeconds) +
                           " seconds\n");
      return false;
    }
    if (ready < 0) {
      writeLine(inner, "fail TLS handshake failed: connection closed\n");
      return false;
    }
  }
}

// Bytes on their way from one side to the other.
struct Pending {
  char bytes[kBufferSize];
  std::size_t start = 0, end = 0;
  bool empty() const { return start == end; }
  const char* data() const { return bytes + start; }
  std::size_t size() const { return end - start; }
  void consume(std::size_t count) {
    start += count;
    if (start == end) start = end = 0;
  }
};

// How one attempt to move bytes went.
enum class Step { kMoved, kBlocked, kEnded, kFailed };

class Copier {
 public:
  Copier(SSL* ssl, int client, int inner) : m_ssl(ssl), m_client(client), m_inner(inner) {}

  // Copies until the daemon's side has ended and everything it sent is
  // with the client (true), or either side fails (false).
  bool run() {
    for (;;) {
      bool moved;
      do {
        moved = false;
        if (!m_clientEnded && m_toInner.empty()) {
          const Step step = readClient();
          if (step == Step::kFailed) return false;
          moved |= step == Step::kMoved || step == Step::kEnded;
        }
        if (!m_toInner.empty()) {
          const Step step = writeInner();
          if (step == Step::kFailed) return false;
          moved |= step == Step::kMoved;
        }
        if (m_clientEnded && m_toInner.empty() && !m_innerShut) {
          ::shutdown(m_inner, SHUT_WR);
          m_innerShut = true;
        }
        if (!m_innerEnded && m_toClient.empty()) {
          const Step step = readInner();
          if (step == Step::kFailed) return false;
          moved |= step == Step::kMoved || step == Step::kEnded;
        }
        if (!m_toClient.empty()) {
          const Step step = writeClient();
          if (step == Step::kFailed) return false;
          moved |= step == Step::kMoved;
        }
        if (m_innerEnded && m_toClient.empty()) return true;
      } while (moved);
      if (!wait()) return false;
    }
  }

 private:
  Step readClient() {
    m_clientReadWants = 0;
    ERR_clear_error();
    const int got = SSL_read(m_ssl, m_toInner.bytes, sizeof m_toInner.bytes);
    if (got > 0) {
      m_toInner.start = 0;
      m_toInner.end = static_cast<std::size_t>(got);
      return Step::kMoved;
    }
    switch (SSL_get_error(m_ssl, got)) {
      case SSL_ERROR_WANT_READ: m_clientReadWants = POLLIN; return Step::kBlocked;
      case SSL_ERROR_WANT_WRITE: m_clientReadWants = POLLOUT; return Step::kBlocked;
      case SSL_ERROR_ZERO_RETURN: m_clientEnded = true; return Step::kEnded;
      default: return Step::kFailed;
    }
  }

  Step writeClient() {
    m_clientWriteWants = 0;
    ERR_clear_error();
    const int wrote = SSL_write(m_ssl, m_toClient.data(), static_cast<int>(m_toClient.size()));
    if (wrote > 0) {
      m_toClient.consume(static_cast<std::size_t>(wrote));
      return Step::kMoved;
    }
    switch (SSL_get_error(m_ssl, wrote)) {
      case SSL_ERROR_WANT_READ: m_clientWriteWants = POLLIN; return Step::kBlocked;
      case SSL_ERROR_WANT_WRITE: m_clientWriteWants = POLLOUT; return Step::kBlocked;
      default: return Step::kFailed;
    }
  }

  Step readInner() {
    m_innerWants &= ~POLLIN;
    const ssize_t got = ::recv(m_inner, m_toClient.bytes, sizeof m_toClient.bytes, 0);
    if (got > 0) {
      m_toClient.start = 0;
      m_toClient.end = static_cast<std::size_t>(got);
      return Step::kMoved;
    }
    if (got == 0) {
      m_innerEnded = true;
      return Step::kEnded;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      m_innerWants |= POLLIN;
      return Step::kBlocked;
    }
    return Step::kFailed;
  }

  Step writeInner() {
    m_innerWants &= ~POLLOUT;
    const ssize_t wrote = ::send(m_inner, m_toInner.data(), m_toInner.size(), MSG_NOSIGNAL);
    if (wrote > 0) {
      m_toInner.consume(static_cast<std::size_t>(wrote));
      return Step::kMoved;
    }
    if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      m_innerWants |= POLLOUT;
      return Step::kBlocked;
    }
    return Step::kFailed;
  }

  // Only what an attempt is blocked on is watched: a side that has ended
  // keeps reporting a hang-up, and watching it would spin.
  bool wait() {
    const short clientWants = static_cast<short>(
        (m_clientEnded || !m_toInner.empty() ? 0 : m_clientReadWants) |
        (m_toClient.empty() ? 0 : m_clientWriteWants));
    const short innerWants = static_cast<short>(
        ((m_innerEnded || !m_toClient.empty()) ? 0 : (m_innerWants & POLLIN)) |
        (m_toInner.empty() ? 0 : (m_innerWants & POLLOUT)));
    pollfd watch[2] = {{clientWants ? m_client : -1, clientWants, 0},
                       {innerWants ? m_inner : -1, innerWants, 0}};
    if (clientWants == 0 && innerWants == 0) return false;
    for (;;) {
      const int ready = ::poll(watch, 2, -1);
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  SSL* m_ssl;
  int m_client, m_inner;
  Pending m_toInner, m_toClient;
  short m_clientReadWants = 0, m_clientWriteWants = 0, m_innerWants = 0;
  bool m_clientEnded = false, m_innerShut = false, m_innerEnded = false;
};

// Sends close_notify once, without waiting for the client's, then reads
// and drops what the client still sends for a short while.
void closeClient(SSL* ssl, int client) {
  const Clock::time_point deadline = Clock::now() + kLinger;
  for (;;) {
    ERR_clear_error();
    const int result = SSL_shutdown(ssl);
    if (result >= 0) break;
    const int error = SSL_get_error(ssl, result);
    if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) return;
    pollfd watch{client, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    if (::poll(&watch, 1, millisecondsUntil(deadline)) <= 0) return;
  }
  ::shutdown(client, SHUT_WR);
  char discard[512];
  for (;;) {
    pollfd watch{client, POLLIN, 0};
    if (::poll(&watch, 1, millisecondsUntil(deadline)) <= 0) return;
    if (::recv(client, discard, sizeof discard, 0) <= 0) return;
  }
}

}  // namespace

void runSession(SSL_CTX* context, SessionSockets sockets, Clock::time_point handshakeDeadline,
                int handshakeSeconds) {
  setNonBlocking(sockets.client);
  SSL* ssl = SSL_new(context);
  if (ssl == nullptr || SSL_set_fd(ssl, sockets.client) != 1) {
    writeLine(sockets.inner, "fail TLS handshake failed: " +
                                 takeLibraryReason("no memory for the session") + "\n");
  } else if (handshake(ssl, sockets.client, sockets.inner, handshakeDeadline, handshakeSeconds)) {
    writeLine(sockets.inner, successLine(ssl));
    setNonBlocking(sockets.inner);
    // The buffers live on this process's stack, not in the master.
    Copier copier(ssl, sockets.client, sockets.inner);
    if (copier.run()) closeClient(ssl, sockets.client);
  }
  SSL_free(ssl);
  ::close(sockets.client);
  ::close(sockets.inner);
}

}  // namespace vornd_tls
