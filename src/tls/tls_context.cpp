#include "tls/tls_context.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>

#include <cerrno>
#include <cstring>

namespace vornd_tls {

namespace {

// Forward-secret suites with authenticated encryption only; TLS 1.3 keeps
// the library's own list, which already meets that.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// The library says only "system lib" or "no start line" for a file it
// cannot open; opening it first gives the system's own reason.
std::string unreadableReason(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat status {};
  const bool directory = ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
  ::close(fd);
  return directory ? std::strerror(EISDIR) : std::string();
}

bool readable(const std::string& path, std::string& error) {
  const std::string reason = unreadableReason(path);
  if (reason.empty()) return true;
  error = path + ": " + reason;
  return false;
}

bool fail(const std::string& path, std::string& error) {
  error = path + ": " + takeLibraryReason("not usable");
  return false;
}

bool loadServerPair(SSL_CTX* context, const ContextFiles& files, std::string& error) {
  if (!readable(files.certificate, error)) return false;
  if (SSL_CTX_use_certificate_chain_file(context, files.certificate.c_str()) != 1) {
    return fail(files.certificate, error);
  }
  if (!readable(files.key, error)) return false;
  if (SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    return fail(files.key, error);
  }
  return true;
}

bool loadClientCa(SSL_CTX* context, const std::string& path, std::string& error) {
  if (!readable(path, error)) return false;
  if (SSL_CTX_load_verify_locations(context, path.c_str(), nullptr) != 1) {
    return fail(path, error);
  }
  STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(path.c_str());
  if (names == nullptr) return fail(path, error);
  SSL_CTX_set_client_CA_list(context, names);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  return true;
}

void setProtocol(SSL_CTX* context) {
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
  uint64_t options = SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                     SSL_OP_IGNORE_UNEXPECTED_EOF;
#ifdef SSL_OP_NO_CLIENT_RENEGOTIATION
  options |= SSL_OP_NO_CLIENT_RENEGOTIATION;
#endif
  SSL_CTX_set_options(context, options);
  // Every session is a process of its own: a session cache would never be
  // hit. One stateless ticket goes out after a TLS 1.3 handshake all the
  // same. Its key is made here, before the sessions are forked, so any of
  // them can resume it; and without anything from the server after its
  // Finished, a client that holds its next write for an acknowledgement
  // (Nagle's rule, as most do) waits out the delayed one, some 40 ms, on
  // every login.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(context, 1);
  // A session writes what it has as it comes, keeps its buffers only while
  // they hold something, and may hand a retried write a moved buffer.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE |
                                SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
}

}  // namespace

std::string takeLibraryReason(const char* fallback) {
  const char* data = nullptr;
  int flags = 0;
  const unsigned long code = ERR_peek_error_data(&data, &flags);
  std::string reason;
  if (code == 0) {
    reason = fallback;
  } else if (const char* words = ERR_reason_error_string(code)) {
    reason = words;
  } else {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    reason = text;
  }
  // The reason alone can be as bare as "unsupported"; the detail says
  // what was not, e.g. that a key file holds no key.
  if (code != 0 && (flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != '\0') {
    reason += std::string(" (") + data + ")";
  }
  ERR_clear_error();
  return reason;
}

FileReasons checkServerFiles(const ContextFiles& files) {
  ERR_clear_error();
  FileReasons reasons;
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    reasons.certificate = "TLS context: " + takeLibraryReason("cannot be made");
    return reasons;
  }
  reasons.certificate = unreadableReason(files.certificate);
  if (reasons.certificate.empty() &&
      SSL_CTX_use_certificate_chain_file(context, files.certificate.c_str()) != 1) {
    reasons.certificate = takeLibraryReason("not usable");
  }
  reasons.key = unreadableReason(files.key);
  if (reasons.key.empty() &&
      (SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
       (reasons.certificate.empty() && SSL_CTX_check_private_key(context) != 1))) {
    reasons.key = takeLibraryReason("not usable");
  }
  std::string error;
  if (!files.clientCa.empty() && !loadClientCa(context, files.clientCa, error)) {
    // The loader's error names the path first.
    const std::string prefix = files.clientCa + ": ";
    reasons.clientCa = error.rfind(prefix, 0) == 0 ? error.substr(prefix.size()) : error;
  }
  SSL_CTX_free(context);
  return reasons;
}

SSL_CTX* makeServerContext(const ContextFiles& files, std::string& error) {
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    error = "TLS context: " + takeLibraryReason("cannot be made");
    return nullptr;
  }
  setProtocol(context);
  if (SSL_CTX_set_cipher_list(context, kTls12Ciphers) != 1) {
    error = "TLS 1.2 cipher list: " + takeLibraryReason("not accepted");
  } else if (loadServerPair(context, files, error) &&
             (files.clientCa.empty() || loadClientCa(context, files.clientCa, error))) {
    return context;
  }
  SSL_CTX_free(context);
  return nullptr;
}

}  // namespace vornd_tls
