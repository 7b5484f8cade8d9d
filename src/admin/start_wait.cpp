// What follows a start: the service is only healthy once it listens on its
// port. One whose port another program holds stays start pending (its
// checkpoint past the first) and keeps trying; the start says so and fails.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "admin/service_admin.h"
#include "daemon/service_config.h"
#include "platform/error.h"
#include "platform/net.h"
#include "platform/service_manager.h"

namespace {

constexpr std::uint32_t kScManagerConnect = 0x0001;
constexpr std::uint32_t kServiceQueryStatus = 0x0004;

// Init reads the registry and opens the log; this is ample for it.
constexpr auto kStartWait = std::chrono::seconds(30);

// Why the port cannot be listened on now: 0 when it is free again.
platform::ErrorCode portProblem(std::uint16_t port) {
  platform::startSockets(2, 2);
  const platform::SocketHandle probe = platform::createTcpSocket();
  platform::ErrorCode problem = platform::lastSocketError();
  if (probe != platform::kInvalidSocket) {
    // As the daemon binds it.
    platform::setReuseAddress(probe, true);
    platform::Ipv4Endpoint local;
    local.address = platform::kAnyAddress;
    local.port = port;
    problem = port == 0 ? platform::kWsaAddressNotAvailable
              : platform::bindSocket(probe, local) ? 0
                                                   : platform::lastSocketError();
    platform::closeSocket(probe);
  }
  platform::cleanupSockets();
  return problem;
}

// The state of the service, or 0 when it cannot be asked.
std::uint32_t queryState(const std::string& name, platform::ServiceStatus& status) {
  platform::ScHandle manager = platform::openSCManager(kScManagerConnect);
  if (manager == nullptr) return 0;
  platform::ScHandle service = platform::openService(manager, name, kServiceQueryStatus);
  std::uint32_t state = 0;
  if (service != nullptr && platform::queryServiceStatus(service, status)) {
    state = status.currentState;
  }
  if (service != nullptr) platform::closeServiceHandle(service);
  platform::closeServiceHandle(manager);
  return state;
}

}  // namespace

bool CServiceAdmin::awaitListening(const std::string& name) {
  const auto deadline = std::chrono::steady_clock::now() + kStartWait;
  for (;;) {
    platform::ServiceStatus status;
    const std::uint32_t state = queryState(name, status);
    if (state == 0) return true;  // nothing to say beyond the start's own report
    if (state == platform::kServiceStopped) {
      refuse(name + " stopped while starting; the event log says why\n");
      return false;
    }
    if (state != platform::kServiceStartPending) return true;
    if (status.checkPoint > 1) {
      CServiceConfig config;
      config.Load(name);
      const auto port = static_cast<std::uint16_t>(config.SockPort & 0xFFFF);
      const platform::ErrorCode problem = portProblem(port);
      if (problem == platform::kWsaAddressInUse) {
        refuse("Port " + std::to_string(port) + " is in use by another program; " + name +
               " keeps trying and serves once the port is free\n");
        return false;
      }
      if (problem != 0) {
        refuse("Port " + std::to_string(port) + " cannot be listened on (" +
               platform::systemErrorText(problem).value_or(std::to_string(problem)) + "); " + name + " keeps trying\n");
        return false;
      }
      // Free now: the next attempt takes it.
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      refuse(name + " is still starting\n");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool CServiceAdmin::refuseSecondCopy(const std::string& name) {
  platform::ServiceStatus status;
  const std::uint32_t state = queryState(name, status);
  if (state == 0 || state == platform::kServiceStopped) return false;
  refuse(name + " runs as a service already; stop it first (-stop " + name + ")\n");
  return true;
}
