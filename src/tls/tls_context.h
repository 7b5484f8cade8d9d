// The server context every session is forked with, and the library's
// reasons for a failure in the words a log line can carry.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace vornd_tls {

struct ContextFiles {
  std::string certificate;  // PEM, the server's certificate then its chain
  std::string key;          // PEM
  std::string clientCa;     // PEM; empty when clients are not asked for one
};

// The context, or null with `error` set to "<file>: <reason>" for the file
// that could not be used.
SSL_CTX* makeServerContext(const ContextFiles& files, std::string& error);

// Why each file would keep the relay from starting, "" for one that
// loads: the certificate (its chain), the key (a key that does not belong
// to a certificate that loads counts against the key) and the client CA
// (an empty path loads). Each reason in the system's or the library's
// words, without the path.
struct FileReasons {
  std::string certificate;
  std::string key;
  std::string clientCa;
};
FileReasons checkServerFiles(const ContextFiles& files);

// The earliest error on this thread's queue as the library words it,
// `fallback` when the queue is empty. Empties the queue.
std::string takeLibraryReason(const char* fallback);

}  // namespace vornd_tls
