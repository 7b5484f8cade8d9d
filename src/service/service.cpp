#include "service/service.h"

#include <cstdio>
#include <vector>

#include "platform/debug_output.h"
#include "platform/event_log.h"

CService::CService(const std::string& serviceName, const std::string& eventSource,
                   std::uint32_t serviceType)
    : m_strServiceName(serviceName), m_strEventSource(eventSource), m_dwServiceType(serviceType) {}

CService::~CService() = default;

void CService::ServiceMain(std::uint32_t argc, char** argv, platform::ControlHandlerProc handler,
                           platform::ThreadProc threadProc) {
  m_strServiceName = argv[0];
  m_strEventSource = argv[0];
  CreateControlEvents();
  RegisterControlHandler(handler);
  ParseArguments(argc, argv);
  StartWorker(threadProc);
  Init();
  Run();
  Cleanup();
  SetStatus(platform::kServiceStopped, 0, 0, 0, 0, 0);
}

bool CService::RegisterControlHandler(platform::ControlHandlerProc handler) {
  m_hServiceStatus = platform::registerServiceCtrlHandler(m_strServiceName, handler);
  if (m_hServiceStatus == nullptr) {
    ReportFailure("RegisterServiceCtrlHandler", true, platform::lastError());
    return false;
  }
  SetStatus(platform::kServiceStartPending, 1, 5000, kKeep, 0, 0);
  return true;
}

void CService::HandleControl(std::uint32_t control) {
  // A control that repeats the previous one is dropped: the worker is
  // already on it.
  if (control == m_dwLastControl) return;
  switch (control) {
    case platform::kControlStop:
      m_dwLastControl = control;
      platform::setEvent(m_hControlEvents[kStopEvent]);
      break;
    case platform::kControlPause:
      m_dwLastControl = control;
      platform::setEvent(m_hControlEvents[kPauseEvent]);
      break;
    case platform::kControlContinue:
      if (GetStatus() == platform::kServiceRunning) return;
      m_dwLastControl = control;
      platform::setEvent(m_hControlEvents[kContinueEvent]);
      break;
    case platform::kControlInterrogate:
      SetStatus(GetStatus(), kKeep, kKeep, kKeep, 0, 0);
      break;
    case platform::kControlShutdown:
      m_dwLastControl = control;
      platform::setEvent(m_hControlEvents[kShutdownEvent]);
      break;
    default:
      m_dwLastControl = control;
      OnUserControl(control);
      break;
  }
}

void CService::CreateControlEvents() {
  for (platform::EventHandle& event : m_hControlEvents) {
    event = platform::createEvent(false, false);
    if (event == nullptr) ReportFailure("CreateEvent", true, platform::lastError());
  }
}

void CService::StartWorker(platform::ThreadProc threadProc) {
  m_hWorkerThread = platform::beginThread(threadProc, nullptr);
  if (m_hWorkerThread == nullptr) ReportFailure("_beginthreadex", true, platform::lastError());
}

// Runs one control on the worker thread. False when the worker is done.
bool CService::dispatchControlEvent(std::uint32_t index) {
  switch (index) {
    case kStopEvent:
      OnStop();
      return false;
    case kPauseEvent:
      OnPause();
      platform::resetEvent(m_hControlEvents[kPauseEvent]);
      return true;
    case kContinueEvent:
      OnContinue();
      platform::resetEvent(m_hControlEvents[kContinueEvent]);
      return true;
    default:
      OnShutdown();
      return false;
  }
}

unsigned CService::WaitForControls() {
  for (;;) {
    const std::uint32_t fired =
        platform::waitForEvents(m_hControlEvents, kControlEventCount, platform::kInfinite);
    if (fired == platform::kWaitFailed) {
      // Only a control event that could not be created makes the wait
      // fail. Say so once, then keep serving the controls that do exist
      // rather than spinning on the failing wait.
      ReportFailure("WaitForMultipleObjects", true, platform::lastError());
      return waitForSomeControls();
    }
    if (fired >= kControlEventCount) continue;
    if (!dispatchControlEvent(fired)) return 0;
  }
}

unsigned CService::waitForSomeControls() {
  std::vector<platform::EventHandle> present;
  std::vector<std::uint32_t> index;
  for (std::uint32_t i = 0; i < kControlEventCount; ++i) {
    if (m_hControlEvents[i] != nullptr) {
      present.push_back(m_hControlEvents[i]);
      index.push_back(i);
    }
  }
  for (;;) {
    const std::uint32_t fired = present.empty() ? platform::kWaitFailed
                                                : platform::waitForEvents(present.data(), present.size(),
                                                                          platform::kInfinite);
    if (fired == platform::kWaitFailed || fired >= present.size()) {
      ReportFailure("WaitForControls: no control can be received", true,
                    present.empty() ? platform::kErrorInvalidHandle : platform::lastError());
      return 0;
    }
    if (!dispatchControlEvent(index[fired])) return 0;
  }
}

void CService::Init() {}

void CService::Cleanup() {
  if (m_hWorkerThread != nullptr) {
    platform::waitForThread(m_hWorkerThread, 10000);
    platform::closeThread(m_hWorkerThread);
    m_hWorkerThread = nullptr;
  }
  for (platform::EventHandle& event : m_hControlEvents) {
    if (event != nullptr) {
      platform::closeEvent(event);
      event = nullptr;
    }
  }
}

void CService::ParseArguments(std::uint32_t, char**) {}
void CService::OnPause() {}
void CService::OnContinue() {}
void CService::OnShutdown() {}
void CService::OnUserControl(std::uint32_t) {}

void CService::SetStatus(std::uint32_t state, std::uint32_t checkPoint, std::uint32_t waitHint,
                         std::uint32_t controlsAccepted, std::uint32_t win32ExitCode,
                         std::uint32_t serviceExitCode) {
  if (state != platform::kServiceStopped) {
    win32ExitCode = 0;
    serviceExitCode = 0;
  }
  if (state == platform::kServiceStopped || state == platform::kServiceRunning ||
      state == platform::kServicePaused) {
    checkPoint = 0;
    waitHint = 0;
  } else if (checkPoint == 0 || waitHint == 0) {
    ReportFailure("CService::SetStatus: Pending statuses require a hint and checkpoint", true, 0);
  }

  platform::ServiceStatus status;
  {
    platform::LockGuard guard(m_csStatus);
    m_dwCurrentState = state;
    if (checkPoint != kKeep) m_dwCheckPoint = checkPoint;
    if (waitHint != kKeep) m_dwWaitHint = waitHint;
    if (controlsAccepted != kKeep) m_dwControlsAccepted = controlsAccepted;
    status.serviceType = m_dwServiceType;
    status.currentState = m_dwCurrentState;
    status.controlsAccepted = m_dwControlsAccepted;
    status.win32ExitCode = win32ExitCode;
    status.serviceSpecificExitCode = serviceExitCode;
    status.checkPoint = m_dwCheckPoint;
    status.waitHint = m_dwWaitHint;
  }
  if (!platform::setServiceStatus(m_hServiceStatus, status)) {
    ReportFailure("SetServiceStatus", true, platform::lastError());
  }
}

std::uint32_t CService::GetStatus() {
  platform::LockGuard guard(m_csStatus);
  return m_dwCurrentState;
}

std::string CService::FormatErrorText(platform::ErrorCode code) {
  if (code == 0) return std::string();
  if (std::optional<std::string> text = platform::systemErrorText(code)) return *text;
  return std::to_string(static_cast<std::int32_t>(code));
}

std::string CService::FailureText(const char* operation, platform::ErrorCode code) {
  // snprintf cuts what does not fit, as the fixed buffer demands.
  char message[kFailureMessageCapacity];
  if (code == 0) {
    std::snprintf(message, sizeof message, "%s\n", operation);
  } else if (std::optional<std::string> text = platform::systemErrorText(code)) {
    std::snprintf(message, sizeof message, "%s failed: %s", operation, text->c_str());
  } else {
    std::snprintf(message, sizeof message, "%s failed: Unknown error %lu", operation,
                  static_cast<unsigned long>(code));
  }
  return message;
}

platform::ErrorCode CService::ReportFailure(const char* operation, bool toEventLog,
                                            platform::ErrorCode code) {
  const std::string message = FailureText(operation, code);
  platform::debugOutput(message);
  if (toEventLog) WriteEventLog(message, true);
  return code;
}

void CService::WriteEventLog(const std::string& text, bool isError) {
  WriteEventLog(text, isError ? platform::EventType::Error : platform::EventType::Information);
}

void CService::WriteEventLog(const std::string& text, platform::EventType type) {
  platform::EventSource source = platform::registerEventSource(GetEventSourceName());
  if (source == nullptr) return;
  platform::reportEvent(source, type, text);
  platform::deregisterEventSource(source);
}
