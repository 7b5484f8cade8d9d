// The two wires between the admin side of the service manager and a
// service process.
//
// Start channel: a socket pair whose far end a started service process
// finds at descriptor 3. The starter writes the start message (service
// name and start arguments) before the process exists, so the dispatcher
// can tell at once, without waiting, whether it was started by us; the
// dispatcher answers "ready" once its control socket listens and the
// service main thread runs.
//
// Control socket: $VORND_ROOT/run/<name>.ctl, AF_UNIX stream, one request
// and one reply per connection. Records are fixed-size and in host byte
// order: both ends run on the same machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/service_manager.h"

namespace platform::posix {

inline constexpr int kStartChannelDescriptor = 3;

// How long a starter waits for "ready" (30 s unless a test changed it).
std::uint32_t serviceStartTimeoutMs();
// Tests only: a short limit keeps the test of a service that never
// reaches its dispatcher quick. 0 restores the default.
void setServiceStartTimeoutForTesting(std::uint32_t ms);

// Limit on one admin exchange over the control socket, so that a hung
// service cannot hang the admin tool.
inline constexpr std::uint32_t kControlExchangeTimeoutMs = 30000;

// ---- Start channel ------------------------------------------------------

// arguments[0] is the service name. Empty when the message would be too
// large to sit in the socket's buffer before the process starts.
std::string encodeStartMessage(const std::vector<std::string>& arguments);

// True when fd is a connected AF_UNIX stream socket whose pending data
// begins with a start message. Reads nothing.
bool carriesStartMessage(int fd);

// Reads and decodes the whole start message.
bool readStartMessage(int fd, std::vector<std::string>& arguments);

bool sendReady(int fd);

enum class ReadyResult { kReady, kClosed, kNotYet };
// Reads the dispatcher's answer once fd is readable; kNotYet when nothing
// is there yet.
ReadyResult readReady(int fd);

// ---- Control socket (its path: service_files.h) -------------------------

enum class ControlOp : std::uint32_t { kQuery = 1, kControl = 2 };

struct ControlRequest {
  std::uint32_t magic = 0;
  std::uint32_t op = 0;
  std::uint32_t control = 0;
};

struct ControlReply {
  std::uint32_t magic = 0;
  std::uint32_t error = 0;  // a Windows error code, 0 on success
  ServiceStatus status;
};

ControlRequest makeRequest(ControlOp op, std::uint32_t control);
ControlReply makeReply(ErrorCode error, const ServiceStatus& status);

enum class ExchangeResult {
  kAnswered,    // reply holds the service's answer
  kNotRunning,  // nothing listens, or the service went away mid-exchange
  kFailed,      // last error set (1053 on timeout, or as soon as the
                // service's process is found stopped by a signal, or gone)
};

// The admin side of one exchange.
ExchangeResult exchange(const std::string& serviceName, const ControlRequest& request,
                        ControlReply& reply);

// Whether a process still holds the service's control socket, asked of
// the kernel alone (a connection the service need not accept), so a hung
// service counts as present. True also when it cannot be told: keys are
// removed only for a process known to be gone.
bool serviceProcessPresent(const std::string& serviceName);

// The service side: reads one request, writes one reply. False when the
// client broke off or stayed silent past the time limit.
bool readRequest(int fd, ControlRequest& request);
bool writeReply(int fd, const ControlReply& reply);
// True when the client has closed its end, so no reply can reach it.
bool peerHasHungUp(int fd);

}  // namespace platform::posix
