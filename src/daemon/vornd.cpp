#include "daemon/vornd.h"

#include <algorithm>

#include "daemon/config_check.h"
#include "platform/descriptors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/window_station.h"

CVornD::CVornD(const std::string& serviceName, const std::string& eventSource,
               std::uint32_t serviceType)
    : CService(serviceName, eventSource, serviceType),
      m_dwProcessId(platform::currentProcessId()),
      m_metrics(serviceName) {
  g_pDaemon = this;
}

CVornD::~CVornD() {
  // Logins still with a worker finish first: they use all of the below.
  // The listener lives as long as the process; on Windows WSACleanup has
  // released it already, elsewhere it goes here.
  m_loop.reset();
  m_log.close();
  // Cleanup leaves scmEvent to the end of the daemon's life.
  if (m_hScmEvent != nullptr) platform::closeEvent(m_hScmEvent);
  if (g_pDaemon == this) g_pDaemon = nullptr;
}

void CVornD::Init() {
  m_hAckEvent = platform::createEvent(false, false);
  if (m_hAckEvent == nullptr) ReportFailure("CreateEvent", true, platform::lastError());
  m_hScmEvent = platform::createEvent(false, false);
  if (m_hScmEvent == nullptr) ReportFailure("CreateEvent", true, platform::lastError());

  if (const platform::ErrorCode code = platform::startSockets(2, 2); code != 0) {
    ReportFailure("WSAStartup", true, code);
  }

  m_config.Load(m_strServiceName);
  // A store that cannot be read looks like one without keys; say why.
  if (const std::string problem = platform::registryLastParseError(); !problem.empty()) {
    ReportFailure(("Reading the registry (" + problem + ")").c_str(), true,
                  platform::kErrorRegistryCorrupt);
  }
  if (m_config.LogCreate) openLog();
  m_config.Dump(m_log);
  // What the configuration check finds is said at every start; the
  // daemon goes on with its own reading of the values all the same.
  const std::vector<std::string> findings =
      checkConfiguration(m_strServiceName, ConfigCheckScope::AtStart);
  for (const std::string& finding : findings) reportWarning(finding);
  if (m_config.LogAllEvents) {
    DumpToken();
    DumpDrives();
  }

  if (m_config.CreateDesktop) createWindowStation();
  m_failureLimits = std::make_unique<LoginFailureLimits>(
      m_config.failureLimit(), std::chrono::seconds(m_config.failurePenaltySeconds()));
  m_metrics.countBlocksOf(m_failureLimits.get());
  // Every connection held costs a descriptor: as many as the system lets
  // the process have, cut to what the configuration allows.
  const AdmissionBounds bounds = AdmissionBounds::of(m_config, platform::raiseDescriptorLimit());
  m_loop = std::make_unique<ConnectionLoop>(*this, m_config, bounds, m_log, m_refusals, m_metrics,
                                            [this](LoginJob& job) { return completeLogin(job); });
  m_loop->open();
}

std::string CVornD::logFilePath() const {
  if (!m_config.LogFileName.empty()) return m_config.LogFileName;
  std::string path =
      m_config.LogServiceDir.empty() ? platform::defaultLogDirectory() : m_config.LogServiceDir;
  if (path.empty() || path.back() != platform::pathSeparator()) path += platform::pathSeparator();
  return path + m_strServiceName + ".log";
}

void CVornD::openLog() {
  // A log that cannot be kept leaves the log failed and the daemon running;
  // the event log says why, once.
  const std::string path = logFilePath();
  if (const platform::ErrorCode code = m_log.open(path, m_config.logMaxMegabytes()); code != 0) {
    ReportFailure(("Opening the log file " + path).c_str(), true, code);
    return;
  }
  m_log.onWriteFailure([this, path](platform::ErrorCode code) {
    ReportFailure(("Writing the log file " + path).c_str(), true, code);
  });
}

void CVornD::createWindowStation() {
  std::string name = "VORND-" + std::to_string(platform::currentProcessId());
  platform::WindowStationHandle station =
      platform::createWindowStation(name, platform::kWinstaAllAccess);
  if (station == nullptr) ReportFailure("Failed to CreateWindowStation", true, platform::lastError());
  if (!platform::setProcessWindowStation(station)) {
    ReportFailure("SetProcessWindowStation() failed", true, platform::lastError());
  }
  name += "\\WinVornD";
  m_log.entry() << "Using WindowStation+Desktop of(" << name << ")";
  m_strDesktop = name;
  // Desktop names compare without regard to case: the path above names it.
  if (platform::createDesktop("WINVORND", platform::kMaximumAllowed) == nullptr) {
    ReportFailure("CreateDesktop() failed", true, platform::lastError());
  }
  // The station and desktop stay open for the life of the process.
}

void CVornD::Run() {
  m_log.entry() << "CVornD::Run starting";
  // Running means listening: an instance whose port another program
  // holds stays start pending while it tries again.
  if (m_loop->listening()) {
    reportListening();
    if (m_config.LogAllEvents) m_log.entry() << "CVornD::status set to SERVICE_RUNNING";
  } else {
    reportWaitingForPort();
  }

  bool acknowledged = false;
  for (;;) {
    if (m_bStop) break;
    if (m_bPause && !acknowledged) {
      platform::setEvent(m_hAckEvent);
      acknowledged = true;
    } else if (!m_bPause && acknowledged) {
      platform::setEvent(m_hAckEvent);
      acknowledged = false;
    } else if (!m_bPause) {
      m_loop->serve(m_hScmEvent);
    } else {
      // Paused and acknowledged: nothing waits on the network. A short
      // sleep keeps the loop from burning a core; stop and continue are
      // still seen within it, and refusals still go when they are due.
      platform::sleepMs(10);
      m_loop->idle();
    }
  }
  // Logins past their record finish their launch before the stop goes on;
  // refusals waiting for their time are sent now.
  m_loop->finish();
  SetStatus(platform::kServiceStopPending, 2, 5000, kKeep, 0, 0);
}

void CVornD::changePauseState(bool pause, std::uint32_t pendingState, std::uint32_t finalState) {
  std::uint32_t checkPoint = 1;
  SetStatus(pendingState, checkPoint, 6000, kKeep, 0, 0);
  m_bPause.exchange(pause);
  platform::setEvent(m_hScmEvent);
  // Re-report every 5 s while Run is busy with a client; any other end of
  // the wait (a failure included) ends the pending phase.
  while (platform::waitForEvent(m_hAckEvent, 5000) == platform::kWaitTimeout) {
    SetStatus(pendingState, ++checkPoint, 6000, kKeep, 0, 0);
  }
  SetStatus(finalState, kKeep, kKeep, kKeep, 0, 0);
  platform::resetEvent(m_hAckEvent);
}

void CVornD::OnPause() {
  changePauseState(true, platform::kServicePausePending, platform::kServicePaused);
}

void CVornD::OnContinue() {
  changePauseState(false, platform::kServiceContinuePending, platform::kServiceRunning);
}

void CVornD::OnStop() {
  if (m_config.LogAllEvents) m_log.entry() << "OnStop called - m_bStop = " << m_bStop.get();
  SetStatus(platform::kServiceStopPending, 1, m_dwStopWaitHint, kKeep, 0, 0);
  m_bStop.exchange(true);
  platform::setEvent(m_hScmEvent);
  if (m_config.LogAllEvents) m_log.entry() << "OnStop called - m_bStop now = " << m_bStop.get();
}

void CVornD::Cleanup() {
  CService::Cleanup();
  if (m_hAckEvent != nullptr) {
    platform::closeEvent(m_hAckEvent);
    m_hAckEvent = nullptr;
  }
  platform::cleanupSockets();
}
