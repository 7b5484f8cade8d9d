// vornlogin: logs in to a daemon with one login record, then relays the
// conversation with the engine: standard input to the connection, the
// connection to standard output. Messages go to standard error only.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/error.h"
#include "platform/net.h"
#include "platform/address_text.h"
#include "session/net_login.h"
#include "vornlogin/connection_stream.h"
#include "vornlogin/login_record.h"
#include "vornlogin/options.h"

namespace {

constexpr int kAccepted = 0, kRefused = 1, kFailed = 2;

void message(const std::string& text) {
  std::fprintf(stderr, "vornlogin: %s\n", text.c_str());
  std::fflush(stderr);
}

// Ends at once, without the C runtime's clean-up: the input thread may be
// blocked in a read of standard input, holding the stream's lock, and the
// clean-up would wait for it.
[[noreturn]] void finish(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}

using vornlogin::ConnectionStream;
using vornlogin::errorText;

// Reads exactly length bytes; false when the stream ends or fails first.
bool receiveAll(ConnectionStream& stream, char* bytes, std::size_t length) {
  while (length > 0) {
    const int got = stream.receive(bytes, length);
    if (got <= 0) return false;
    bytes += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

bool resolve(const std::string& host, platform::NetAddress& address) {
  return parseAddress(host, &address) || platform::lookupHost(host.c_str(), &address);
}

// Standard input to the connection, a line at a time as it is typed; at
// its end the sending side is shut so the engine sees the end too.
void relayInput(ConnectionStream& stream) {
  std::string line;
  for (;;) {
    const int c = std::getc(stdin);
    if (c != EOF) line += static_cast<char>(c);
    if (c == EOF || c == '\n' || line.size() >= 4096) {
      if (!line.empty() && !stream.sendAll(line.data(), line.size())) return;
      line.clear();
    }
    if (c == EOF) break;
  }
  stream.shutdownSend();
}

void writeOut(const char* bytes, std::size_t length) {
  std::fwrite(bytes, 1, length, stdout);
  std::fflush(stdout);
}

// The connection to standard output until the engine ends it. A daemon
// that could not start the engine sends 0x00 0x00 after its acceptance and
// closes; those first bytes are held back until it is clear they are not
// that.
int relayOutput(ConnectionStream& stream) {
  const std::string engineFailed(kLoginRefused, sizeof kLoginRefused);
  std::string held;
  bool deciding = true;
  char buffer[4096];
  int got;
  while ((got = stream.receive(buffer, sizeof buffer)) > 0) {
    if (!deciding) {
      writeOut(buffer, static_cast<std::size_t>(got));
      continue;
    }
    held.append(buffer, static_cast<std::size_t>(got));
    if (held.size() <= engineFailed.size() && engineFailed.compare(0, held.size(), held) == 0) {
      continue;
    }
    writeOut(held.data(), held.size());
    held.clear();
    deciding = false;
  }
  if (deciding && held == engineFailed && got == 0) {
    message("login accepted, but the engine could not be started");
    return kRefused;
  }
  writeOut(held.data(), held.size());
  if (got < 0) message("the connection ended: " + stream.failure());
  return kAccepted;
}

}  // namespace

int main(int argc, char** argv) {
  const vornlogin::ParseResult parsed =
      vornlogin::parseArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) {
    message(parsed.error + " (see vornlogin --help)");
    return kFailed;
  }
  const vornlogin::Options& options = *parsed.options;
  if (options.help) {
    std::fputs(vornlogin::usageText().c_str(), stdout);
    return kAccepted;
  }

  // Set up before the password is asked for: a file that cannot be used,
  // or a build without TLS, fails first.
  std::unique_ptr<vornlogin::TlsClient> tls;
  if (options.tls) {
    std::string error;
    tls = vornlogin::makeTlsClient(options, error);
    if (!tls) {
      message(error);
      return kFailed;
    }
    if (options.insecure) message("warning: the server's certificate is not checked");
  }

  std::string password;
  if (options.password) {
    password = *options.password;
  } else if (!platform::readHiddenLine("Password: ", password)) {
    message("no password read: " + errorText(platform::lastError()));
    return kFailed;
  }
  netLogin record;
  const std::string error = vornlogin::buildLoginRecord(options, password, record);
  if (!error.empty()) {
    message(error);
    return kFailed;
  }

  const platform::ErrorCode started = platform::startSockets();
  if (started != 0) {
    message("sockets could not be started: " + errorText(started));
    return kFailed;
  }
  platform::Endpoint daemon;
  daemon.port = options.port;
  if (!resolve(options.host, daemon.address)) {
    message("unknown host \"" + options.host + "\": " + errorText(platform::lastSocketError()));
    return kFailed;
  }
  const platform::SocketHandle socket = platform::createTcpSocket(daemon.address.family);
  if (socket == platform::kInvalidSocket) {
    message("no socket: " + errorText(platform::lastSocketError()));
    return kFailed;
  }
  const bool bracketed = options.host.find(':') != std::string::npos;
  const std::string where = (bracketed ? "[" + options.host + "]" : options.host) + ":" +
                            std::to_string(options.port);
  if (!platform::connectSocket(socket, daemon)) {
    message("cannot connect to " + where + ": " + errorText(platform::lastSocketError()));
    return kFailed;
  }
  std::unique_ptr<ConnectionStream> stream;
  if (tls) {
    std::string reason;
    stream = tls->handshake(socket, reason);
    if (!stream) {
      message("TLS handshake with " + where + " failed: " + reason);
      return kFailed;
    }
  } else {
    stream = vornlogin::plainStream(socket);
  }
  if (!stream->sendAll(record.bytes, sizeof record.bytes)) {
    message("the login could not be sent: " + stream->failure());
    return kFailed;
  }
  char reply[2];
  if (!receiveAll(*stream, reply, sizeof reply)) {
    message("the connection to " + where + " ended before the login reply");
    return kFailed;
  }
  if (reply[0] == kLoginRefused[0] && reply[1] == kLoginRefused[1]) {
    message("login refused");
    return kRefused;
  }
  if (reply[0] != kLoginAccepted[0] || reply[1] != kLoginAccepted[1]) {
    char text[64];
    std::snprintf(text, sizeof text, "unexpected login reply 0x%02x 0x%02x",
                  static_cast<unsigned char>(reply[0]), static_cast<unsigned char>(reply[1]));
    message(text);
    return kFailed;
  }
  message("login accepted");
  platform::useBinaryStandardStreams();

  std::thread(relayInput, std::ref(*stream)).detach();
  finish(relayOutput(*stream));
}
