// vorn-echo-engine: a sample engine. The daemon starts it for one accepted
// client with the connection's socket number as -f=N; it greets the user
// named by $SYSUID and sends every line back until the client stops
// sending, then ends.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/socket_io.h"
#include "platform/net.h"

namespace {

constexpr const char* kName = "vorn-echo-engine";
// Longer lines go back in pieces of this size rather than being held.
constexpr std::size_t kChunk = 4096;

// The number after "-f=": decimal digits only, no sign, no overflow.
bool socketNumber(int argc, char** argv, std::uintptr_t& number) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-f=", 3) != 0) continue;
    const char* digits = argv[i] + 3;
    if (*digits == '\0') return false;
    std::uintptr_t value = 0;
    for (const char* c = digits; *c != '\0'; ++c) {
      if (*c < '0' || *c > '9') return false;
      const std::uintptr_t digit = static_cast<std::uintptr_t>(*c - '0');
      if (value > (UINTPTR_MAX - digit) / 10) return false;
      value = value * 10 + digit;
    }
    number = value;
    return true;
  }
  return false;
}

using tools::sendAll;

// Sends back each complete line of pending, and any run of kChunk bytes
// that has no line end yet; keeps the rest.
bool echoLines(platform::SocketHandle socket, std::string& pending) {
  std::size_t done = 0;
  for (;;) {
    const std::size_t end = pending.find('\n', done);
    std::size_t next;
    if (end != std::string::npos && end - done < kChunk) {
      next = end + 1;
    } else if (pending.size() - done >= kChunk) {
      next = done + kChunk;
    } else {
      break;
    }
    if (!sendAll(socket, pending.data() + done, next - done)) return false;
    done = next;
  }
  pending.erase(0, done);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::uintptr_t number = 0;
  if (!socketNumber(argc, argv, number)) {
    std::fprintf(stderr, "%s: no socket: start it with -f=N, N the number of a connected socket\n",
                 kName);
    return 2;
  }
  const platform::ErrorCode started = platform::startSockets();
  if (started != 0) {
    std::fprintf(stderr, "%s: sockets could not be started: error %lu\n", kName,
                 static_cast<unsigned long>(started));
    return 2;
  }
  const platform::SocketHandle socket = platform::adoptInheritedSocket(number);
  if (socket == platform::kInvalidSocket) {
    std::fprintf(stderr, "%s: -f=%s is no usable socket: error %lu\n", kName,
                 std::to_string(number).c_str(),
                 static_cast<unsigned long>(platform::lastSocketError()));
    return 2;
  }

  const char* user = std::getenv("$SYSUID");
  const std::string greeting = user != nullptr ? std::string("hello, ") + user + "\n" : "hello\n";
  bool open = sendAll(socket, greeting.data(), greeting.size());
  std::string pending;
  char buffer[kChunk];
  while (open) {
    const int got = platform::receiveSocket(socket, buffer, sizeof buffer);
    if (got <= 0) break;  // the client stopped sending, or the connection is gone
    pending.append(buffer, static_cast<std::size_t>(got));
    open = echoLines(socket, pending);
  }
  if (open && !pending.empty()) sendAll(socket, pending.data(), pending.size());
  platform::closeSocket(socket);
  platform::cleanupSockets();
  return 0;
}
