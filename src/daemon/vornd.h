// CVornD: the daemon, the one service object of a running instance.
//
// It owns everything a running instance holds: configuration, log, events,
// flags and counters. Start-up (Init), the main loop (Run), pause,
// continue and stop run under CService's sequence. Connections are
// accepted, read and answered with status pages by the connection loop
// (connection_loop.h) that Run drives, on the service main thread, all of
// them at once; the daemon says what a record and a request mean, and
// finishes each screened login (check, reply, launch) on a worker thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "daemon/connection_loop.h"
#include "daemon/daemon_metrics.h"
#include "daemon/failure_pacing.h"
#include "daemon/log_stream.h"
#include "daemon/login_failure_limits.h"
#include "daemon/login_workers.h"
#include "daemon/refusal_log.h"
#include "daemon/service_config.h"
#include "platform/logon.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "service/service.h"
#include "session/client_connection.h"
#include "session/net_login.h"

class CSocket;
class TokenQuery;

class CVornD : public CService, public ConnectionHost {
 public:
  CVornD(const std::string& serviceName, const std::string& eventSource,
         std::uint32_t serviceType);
  ~CVornD() override;

  void Init() override;
  void Cleanup() override;
  void OnPause() override;
  void OnContinue() override;
  void Run() override;
  void OnStop() override;

  void createWindowStation();
  // Where the log goes: LogFileName as it stands, else LogServiceDir (or
  // the platform's default folder) and the service name with ".log".
  std::string logFilePath() const;
  void openLog();

  // The status while the port is not listened on: start pending, its
  // checkpoint advancing with each failed attempt, a stop accepted; and
  // running with every control once it is (port_status.cpp).
  void reportWaitingForPort();
  void reportListening();

  // ConnectionHost: what the connection loop asks of the daemon.
  bool screenRecord(ClientConnection& connection) override;
  void prepareLogin(LoginJob& job) override;
  PageResponse statusPage() override;
  void sendRefusal(LoginJob& job) override;
  void portBound(const Listener& listener) override;
  void portWaiting(const Listener& listener) override;
  // Waits up to ms for scmEvent; true when it fired, or, should there be
  // no event to wait on, when a stop or pause is flagged.
  bool waitOnControl(std::uint32_t ms) override;
  void reportFailure(const char* operation, platform::ErrorCode code) override;
  void reportWarning(const std::string& text) override;
  void reportInformation(const std::string& text) override;
  bool refusesEverything(const platform::NetAddress& source) override;
  void refuseBlocked(ClientConnection& connection) override;

  // A worker's part: the check, the reply, the count and the launch;
  // what is left of the connection then (login_negotiation.cpp).
  LoginWorkers::JobEnd completeLogin(LoginJob& job);
  // Checks a screened record by the configured method and sends the
  // login reply; true when accepted. A logon token the launch is to use
  // is left in `token`. A refusal that must wait is not sent: its time is
  // left in the job (authentication.cpp).
  bool authenticateUser(LoginJob& job, platform::LogonToken& token);
  // Counts the login as served or rejected, then sends its reply;
  // returns `accepted`.
  bool sendLoginReply(CSocket& client, bool accepted);
  // Whether the method asks the system (every method but "HTPassword",
  // which refuses all, and "Vorn", which accepts all).
  bool checksLogons() const;
  bool refuseLogin(const netLogin& login, CSocket& client);
  bool acceptLogin(const netLogin& login, CSocket& client);
  // The accepted login's information entry, capped as a client's lines.
  void logAccepted(const LoginJob& job);
  bool checkLogonUser(LoginJob& job, platform::LogonToken& token);
  // The event log's warning line for a refused login, after the error
  // entry of the system's reason when there is one; both are capped as the
  // client's lines (refusal_log.h).
  void logRefusal(const netLogin& login, const platform::Endpoint& peer,
                  const platform::NetAddress& source, RefusalReason reason, const std::string& systemError = std::string());
  // Hands an accepted client to a new engine process, run under `token`
  // for "LogonUser", which it closes; on return the daemon holds no handle
  // of the connection. False when no engine was started (engine_launch.cpp).
  // `tls` describes a connection that came in over TLS (null for a clear
  // one); `proxied`, one a balancer's PROXY header named: either way its
  // engine cannot ask its socket for `peer`, and is told.
  bool startEngine(const netLogin& login, CSocket& client, platform::LogonToken token,
                   const platform::Endpoint& peer, const TlsSession* tls, bool proxied);
  // The engine's command line, with the socket number it inherits.
  std::string engineCommandLine(const netLogin& login, platform::SocketHandle socket) const;
  // The engine's environment block from the environment list; with a
  // user and a password, $SYSUID and $SYSUIDP are set in the block over
  // what the list has for them.
  // `peer`, when set, adds the client's address and port after the list,
  // `tls` the TLS connection's values.
  std::string buildEnvironment(const std::string* user, const std::string* password,
                               const platform::Endpoint* peer = nullptr,
                               const TlsSession* tls = nullptr) const;
  // One client piece: " -name=value", the field's trailing blanks and
  // NULs dropped; nothing when nothing is left.
  static void appendStartupArg(std::string& commandLine, const char* name, const char* field,
                               std::size_t width);
  // What the page shows, as it stands now.
  StatusPageValues statusPageValues() const;

  // The process token and the visible drives, written to the log under
  // detailed logging (src/diag/).
  void DumpToken();
  // The same with the token read through `query`.
  void DumpToken(TokenQuery& query);
  void DumpDrives();
  void DescribeSid(const void* sid);
  void DescribeGroupAttributes(std::uint32_t attributes);
  void DescribeAccessMask(std::uint32_t mask);

  // Read-only views for the status page and for tests.
  const CServiceConfig& config() const { return m_config; }
  const std::string& desktop() const { return m_strDesktop; }
  std::int32_t clientsServed() const { return m_nClientsServed; }
  std::int32_t clientsRejected() const { return m_nClientsRejected; }
  // Connections accepted and not yet done with, in the loop or a worker.
  std::size_t pendingLogins() const { return m_loop ? m_loop->pending() : 0; }
  platform::SocketHandle listenSocket() const {
    return m_loop && !m_loop->listeners().empty() ? m_loop->listeners().front()->socket()
                                                  : platform::kInvalidSocket;
  }

 protected:
  // Run's pause and continue hand-shake, shared by OnPause and OnContinue.
  void changePauseState(bool pause, std::uint32_t pendingState, std::uint32_t finalState);

  // One section of the token dump, from a buffer filled for its class.
  void DumpTokenSection(std::uint32_t tokenClass, const void* buffer);

  std::string m_strDesktop;
  CServiceConfig m_config;
  // Asked once: each status page shows it.
  std::uint32_t m_dwProcessId = 0;
  // All of the page but its counters, made for the first request: the
  // configuration does not change once the daemon serves.
  std::unique_ptr<StatusPage> m_statusPage;
  platform::EventHandle m_hScmEvent = nullptr;
  // Written from const members too: a log entry changes nothing of the daemon.
  mutable LogStream m_log;
  platform::EventHandle m_hAckEvent = nullptr;
  std::uint32_t m_dwStopWaitHint = 10000;
  platform::AtomicFlag m_bPause;
  platform::AtomicFlag m_bStop;
  // Past the 1 of the control handler's registration.
  std::uint32_t m_dwStartCheckPoint = 1;
  // The defences against guessing: the warning lines, the failures per
  // address (made at start-up, from the configuration), the pacing of
  // failures. Shared with the workers.
  RefusalLog m_refusals{[this](platform::EventType type, const std::string& line) {
    WriteEventLog(line, type);
  }};
  // One information entry per accepted login, under caps of its own.
  RefusalLog m_acceptedLines{[this](platform::EventType type,
                                    const std::string& line) { WriteEventLog(line, type); },
                             "accepted-login", platform::EventType::Information};
  std::unique_ptr<LoginFailureLimits> m_failureLimits;
  FailurePacing m_failurePacing;
  // Every connection, from its accept until a worker has it (made at
  // start-up, after the configuration).
  std::unique_ptr<ConnectionLoop> m_loop;
  // Written by the workers, read by the status page.
  std::atomic<std::int32_t> m_nClientsServed{0};
  std::atomic<std::int32_t> m_nClientsRejected{0};
  // What /metrics shows; counted by the loop and the workers.
  DaemonMetrics m_metrics;
};

// The one daemon of the process; set by CVornD's constructor.
extern CVornD* g_pDaemon;

// The plain functions the operating system calls, forwarded to g_pDaemon.
void DaemonServiceMain(std::uint32_t argc, char** argv);
void DaemonControlHandler(std::uint32_t control);
unsigned DaemonWorkerThread(void* argument);
