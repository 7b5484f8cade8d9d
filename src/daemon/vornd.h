// CVornD: the daemon, the one service object of a running instance.
//
// It owns everything a running instance holds: configuration, log, events,
// flags and counters. Start-up (Init), the main loop (Run), pause,
// continue and stop run under CService's sequence; client work happens
// inside Run on the service main thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "daemon/log_stream.h"
#include "daemon/service_config.h"
#include "platform/logon.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "service/service.h"
#include "session/net_login.h"

class CSocket;
class TokenQuery;
struct StatusPageValues;

class CVornD : public CService {
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

  // The listening socket and its accept event (listener.cpp).
  void createListener();
  // The port the listener binds: the low 16 bits of SockPort.
  std::uint16_t listenPort() const;
  // Binds the listening socket to its port and listens; false when the
  // port is 0 or the bind fails.
  bool bindListener();
  // Another attempt at a bind that failed at start-up; the pause before
  // the next one doubles, up to a minute.
  bool retryBind();
  // Serves connections one after another until scmEvent fires.
  void handleClients();

  // One connection, from accept to hand-over (login_negotiation.cpp).
  void negotiateLogin();
  // Checks a screened record by the configured method and sends the
  // login reply; true when accepted (authentication.cpp).
  bool authenticateUser(const netLogin& login, CSocket& client);
  bool refuseLogin(const netLogin& login, CSocket& client);
  bool acceptLogin(const netLogin& login, CSocket& client);
  bool checkLogonUser(const netLogin& login, CSocket& client);
  // Hands an accepted client to a new engine process; on return the
  // daemon holds no handle of the connection (engine_launch.cpp).
  void startEngine(const netLogin& login, CSocket& client);
  // The engine's command line, with the socket number it inherits.
  std::string engineCommandLine(const netLogin& login, platform::SocketHandle socket) const;
  // The engine's environment block from the environment list; with a
  // user and a password, $SYSUID and $SYSUIDP are set in the list first.
  std::string buildEnvironment(const std::string* user, const std::string* password);
  // One client piece: " -name=value", the field's trailing blanks and
  // NULs dropped; nothing when nothing is left.
  static void appendStartupArg(std::string& commandLine, const char* name, const char* field,
                               std::size_t width);
  // The HTML status page; shuts the connection down and closes it
  // (status_page.cpp).
  void sendStatusPage(CSocket& client);
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

 protected:
  // Run's pause and continue hand-shake, shared by OnPause and OnContinue.
  void changePauseState(bool pause, std::uint32_t pendingState, std::uint32_t finalState);

  // One section of the token dump, from a buffer filled for its class.
  void DumpTokenSection(std::uint32_t tokenClass, const void* buffer);

  std::string m_strDesktop;
  CServiceConfig m_config;
  platform::SocketHandle m_listenSocket = platform::kInvalidSocket;
  platform::AcceptEventHandle m_hAcceptEvent = nullptr;
  platform::EventHandle m_hScmEvent = nullptr;
  platform::LogonToken m_hLogonToken = nullptr;
  LogStream m_log;
  platform::EventHandle m_hAckEvent = nullptr;
  std::uint32_t m_dwStopWaitHint = 10000;
  platform::AtomicFlag m_bPause;
  platform::AtomicFlag m_bStop;
  // Not 0 while the bind waits for another attempt, due at m_nextBindAttempt.
  static constexpr std::uint32_t kFirstBindRetryMs = 1000;
  static constexpr std::uint32_t kLastBindRetryMs = 60000;
  std::uint32_t m_dwBindRetryMs = 0;
  std::uint32_t m_nBindRetries = 0;
  std::chrono::steady_clock::time_point m_nextBindAttempt;
  std::int32_t m_nClientsServed = 0;
  std::int32_t m_nClientsRejected = 0;
};

// The one daemon of the process; set by CVornD's constructor.
extern CVornD* g_pDaemon;

// The plain functions the operating system calls, forwarded to g_pDaemon.
void DaemonServiceMain(std::uint32_t argc, char** argv);
void DaemonControlHandler(std::uint32_t control);
unsigned DaemonWorkerThread(void* argument);
