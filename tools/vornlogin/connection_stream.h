// The connection to the daemon as vornlogin uses it once it is made: the
// record, the reply and the relay go through this whether the bytes travel
// plain or inside TLS. Which TLS there is (OpenSSL, or none) is a choice
// of the build, one source file each.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/net.h"
#include "vornlogin/options.h"

namespace vornlogin {

// One thread may send while another receives; no two threads send, and no
// two receive.
class ConnectionStream {
 public:
  virtual ~ConnectionStream() = default;
  // False when the connection fails before every byte went.
  virtual bool sendAll(const char* bytes, std::size_t length) = 0;
  // One receive: the byte count, 0 when the peer ended the stream, -1 when
  // it failed.
  virtual int receive(char* buffer, std::size_t length) = 0;
  // Nothing more will be sent: the peer sees the end; receiving goes on.
  virtual void shutdownSend() = 0;
  // Why the last failed call failed, for the end of a message.
  virtual std::string failure() const = 0;
};

// The socket as it is; the stream does not close it.
std::unique_ptr<ConnectionStream> plainStream(platform::SocketHandle socket);

// The system's text for the code and the code itself, as in "No such host
// is known. (error 11001)"; the number alone when the system has no text.
std::string errorText(platform::ErrorCode code);

// The TLS side of the options, ready before a password is asked for or a
// connection made, so that a file that cannot be used fails first.
class TlsClient {
 public:
  virtual ~TlsClient() = default;
  // The handshake on a connected socket, the server's certificate checked
  // for the host of the options unless they say not to. Null, with the
  // reason in `error`, when it fails.
  virtual std::unique_ptr<ConnectionStream> handshake(platform::SocketHandle socket,
                                                      std::string& error) = 0;
};

// Null, with the message line in `error`, when a file of the options cannot
// be used or the build has no TLS.
std::unique_ptr<TlsClient> makeTlsClient(const Options& options, std::string& error);

}  // namespace vornlogin
