// TLS with OpenSSL, in the builds that have it (POSIX only, so the socket
// is a descriptor and poll is at hand).
//
// The relay sends from the input thread while the main thread receives,
// and one SSL object may not be in two calls at once. So every SSL call
// holds the stream's mutex, and none of them ever waits: the socket is
// non-blocking, and a call that cannot go on lets go of the mutex and
// waits in poll for what the library asked for before it tries again.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/address_text.h"
#include "vornlogin/connection_stream.h"

namespace vornlogin {

namespace {

// The reason of the newest error in this thread's queue, as the library
// words it ("wrong version number"); the queue is emptied. A failed system
// call under it says more than the library's "system lib" over it.
std::string libraryReason() {
  unsigned long code = 0, next;
  int systemError = 0;
  while ((next = ERR_get_error()) != 0) {
    code = next;
    if (ERR_SYSTEM_ERROR(next)) systemError = ERR_GET_REASON(next);
  }
  if (systemError != 0) return std::strerror(systemError);
  if (code == 0) return "no reason given";
  if (const char* reason = ERR_reason_error_string(code)) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// What an SSL call that returned `result` leaves to do.
enum class Next { kWaitReadable, kWaitWritable, kEnded, kFailed };

// Called with the call's errno still in place; the reason of a failure
// goes to `reason`.
Next nextAfter(SSL* ssl, int result, std::string& reason) {
  const int savedErrno = errno;
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
      return Next::kWaitReadable;
    case SSL_ERROR_WANT_WRITE:
      return Next::kWaitWritable;
    case SSL_ERROR_ZERO_RETURN:
      return Next::kEnded;
    case SSL_ERROR_SYSCALL:
      reason = savedErrno != 0 ? std::strerror(savedErrno) : libraryReason();
      return Next::kFailed;
    default:
      reason = libraryReason();
      return Next::kFailed;
  }
}

// Waits until the descriptor is ready for what `next` names, or the time
// is up; the caller tries its call again either way.
void await(int fd, Next next, int timeoutMs) {
  pollfd entry{fd, static_cast<short>(next == Next::kWaitReadable ? POLLIN : POLLOUT), 0};
  poll(&entry, 1, timeoutMs);
}

// A wait may be overtaken by the other thread's call on the same SSL
// object, which can take what the wait was for; a bounded wait then costs
// a retry instead of hanging. The handshake is alone and waits for good.
constexpr int kRetryMs = 200;

class TlsStream final : public ConnectionStream {
 public:
  TlsStream(SSL* ssl, platform::SocketHandle socket) : m_ssl(ssl), m_socket(socket) {}
  ~TlsStream() override { SSL_free(m_ssl); }

  bool sendAll(const char* bytes, std::size_t length) override {
    while (length > 0) {
      Next next;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::size_t sent = 0;
        ERR_clear_error();
        errno = 0;
        const int result = SSL_write_ex(m_ssl, bytes, length, &sent);
        if (result == 1) {
          bytes += sent;
          length -= sent;
          continue;
        }
        next = nextAfter(m_ssl, result, m_failure);
        if (next == Next::kEnded) m_failure = "the server closed the connection";
      }
      if (next == Next::kEnded || next == Next::kFailed) return false;
      await(fd(), next, kRetryMs);
    }
    return true;
  }

  int receive(char* buffer, std::size_t length) override {
    for (;;) {
      Next next;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::size_t got = 0;
        ERR_clear_error();
        errno = 0;
        const int result = SSL_read_ex(m_ssl, buffer, length, &got);
        if (result == 1) return static_cast<int>(got);
        next = nextAfter(m_ssl, result, m_failure);
      }
      if (next == Next::kEnded) return 0;
      if (next == Next::kFailed) return -1;
      await(fd(), next, kRetryMs);
    }
  }

  // The close_notify first, so the server's TLS sees an orderly end rather
  // than a cut; then the end of the socket's sending side, as without TLS.
  void shutdownSend() override {
    for (;;) {
      Next next;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        ERR_clear_error();
        errno = 0;
        const int result = SSL_shutdown(m_ssl);
        if (result >= 0) break;
        std::string ignored;
        next = nextAfter(m_ssl, result, ignored);
      }
      // Waiting for the server's close_notify is the receiver's business.
      if (next != Next::kWaitWritable) break;
      await(fd(), next, kRetryMs);
    }
    platform::shutdownSend(m_socket);
  }

  std::string failure() const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
  }

 private:
  int fd() const { return static_cast<int>(m_socket); }

  SSL* m_ssl;
  platform::SocketHandle m_socket;
  mutable std::mutex m_mutex;  // every use of m_ssl, and m_failure
  std::string m_failure;
};

class OpenSslClient final : public TlsClient {
 public:
  OpenSslClient(SSL_CTX* context, const Options& options)
      : m_context(context), m_host(options.host), m_verify(!options.insecure) {}
  ~OpenSslClient() override { SSL_CTX_free(m_context); }

  std::unique_ptr<ConnectionStream> handshake(platform::SocketHandle socket,
                                              std::string& error) override {
    SSL* ssl = SSL_new(m_context);
    if (ssl == nullptr || SSL_set_fd(ssl, static_cast<int>(socket)) != 1 || !setPeer(ssl)) {
      error = libraryReason();
      SSL_free(ssl);
      return nullptr;
    }
    if (!platform::setBlocking(socket, false)) {
      error = errorText(platform::lastSocketError());
      SSL_free(ssl);
      return nullptr;
    }
    for (;;) {
      ERR_clear_error();
      errno = 0;
      const int result = SSL_connect(ssl);
      if (result == 1) return std::make_unique<TlsStream>(ssl, socket);
      const Next next = nextAfter(ssl, result, error);
      if (next == Next::kWaitReadable || next == Next::kWaitWritable) {
        await(static_cast<int>(socket), next, -1);
        continue;
      }
      // A certificate that failed its check says why, which beats the
      // handshake's own "certificate verify failed" alone.
      const long verified = SSL_get_verify_result(ssl);
      if (verified != X509_V_OK) {
        error = std::string("certificate verify failed: ") +
                X509_verify_cert_error_string(verified);
      } else if (next == Next::kEnded || error.empty()) {
        error = "the server ended the connection";
      }
      SSL_free(ssl);
      return nullptr;
    }
  }

 private:
  // The name the certificate must carry, and the name told to the server
  // (SNI, which is for names only). An address, IPv4 or IPv6, is checked
  // against the certificate's addresses.
  bool setPeer(SSL* ssl) const {
    platform::NetAddress address;
    if (parseAddress(m_host, &address)) {
      if (!m_verify) return true;
      return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), addressText(address).c_str()) == 1;
    }
    if (SSL_set_tlsext_host_name(ssl, m_host.c_str()) != 1) return false;
    if (!m_verify) return true;
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set1_host(ssl, m_host.c_str()) == 1;
  }

  SSL_CTX* m_context;
  std::string m_host;
  bool m_verify;
};

}  // namespace

std::unique_ptr<TlsClient> makeTlsClient(const Options& options, std::string& error) {
  // The library writes to the socket itself, and a write to a connection
  // the server has closed must fail, not end the program.
  signal(SIGPIPE, SIG_IGN);
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    error = "TLS could not be set up: " + libraryReason();
    return nullptr;
  }
  auto fail = [&](const std::string& what) {
    error = what + ": " + libraryReason();
    SSL_CTX_free(context);
    return nullptr;
  };
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // A renegotiation would make a write wait for a read.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  if (options.insecure) {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (!options.ca.empty()) {
      if (SSL_CTX_load_verify_file(context, options.ca.c_str()) != 1) {
        return fail("cannot use --ca " + options.ca);
      }
    } else if (SSL_CTX_set_default_verify_paths(context) != 1) {
      return fail("cannot use the system's trusted certificates");
    }
  }
  if (!options.cert.empty()) {
    if (SSL_CTX_use_certificate_chain_file(context, options.cert.c_str()) != 1) {
      return fail("cannot use --cert " + options.cert);
    }
    // Also refuses a key that is not the certificate's.
    if (SSL_CTX_use_PrivateKey_file(context, options.key.c_str(), SSL_FILETYPE_PEM) != 1) {
      return fail("cannot use --key " + options.key);
    }
  }
  return std::make_unique<OpenSslClient>(context, options);
}

}  // namespace vornlogin
