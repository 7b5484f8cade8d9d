// CService: one service object tied to the service manager.
//
// Owns the run sequence of a service (ServiceMain), the control handler
// and its four control events, a worker thread that turns controls into
// virtual calls, status reports made under a lock, and the reporting of
// failed system calls to the debugger output and the event log. It knows
// nothing of what the service does; a derived class supplies Run and
// OnStop and whatever else it needs.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "platform/sync.h"
#include "platform/thread.h"

class CService {
 public:
  // "Keep the stored value" for the checkpoint, wait hint and controls of
  // SetStatus.
  static constexpr std::uint32_t kKeep = 0xFFFFFFFFu;

  // Capacity of the message that ReportFailure composes, terminator
  // included; a longer message is cut.
  static constexpr std::size_t kFailureMessageCapacity = 1024;

  CService(const std::string& serviceName, const std::string& eventSource,
           std::uint32_t serviceType);
  virtual ~CService();

  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  // Virtual operations, in this order; derived classes keep it.
  virtual void StartWorker(platform::ThreadProc threadProc);
  virtual unsigned WaitForControls();
  virtual void CreateControlEvents();
  virtual void Init();
  virtual void Cleanup();
  virtual void ParseArguments(std::uint32_t argc, char** argv);
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  virtual void OnUserControl(std::uint32_t control);
  virtual void Run() = 0;
  virtual void OnStop() = 0;

  // The whole life of the service; returns once it has reported itself
  // stopped. argv[0] must exist: it becomes the service and event-source
  // name.
  void ServiceMain(std::uint32_t argc, char** argv, platform::ControlHandlerProc handler,
                   platform::ThreadProc threadProc);

  bool RegisterControlHandler(platform::ControlHandlerProc handler);
  void HandleControl(std::uint32_t control);
  void SetStatus(std::uint32_t state, std::uint32_t checkPoint, std::uint32_t waitHint,
                 std::uint32_t controlsAccepted, std::uint32_t win32ExitCode,
                 std::uint32_t serviceExitCode);
  std::uint32_t GetStatus();
  const char* GetEventSourceName() const { return m_strEventSource.c_str(); }

  // The system's text for a code: empty for 0, the decimal code when the
  // system has none.
  static std::string FormatErrorText(platform::ErrorCode code);

  // The text ReportFailure gives a failed operation.
  static std::string FailureText(const char* operation, platform::ErrorCode code);
  // Reports a failed operation to the debugger output and, with the flag,
  // to the event log as an error. Returns the code; never throws.
  platform::ErrorCode ReportFailure(const char* operation, bool toEventLog,
                                    platform::ErrorCode code);
  void WriteEventLog(const std::string& text, bool isError);
  void WriteEventLog(const std::string& text, platform::EventType type);

 protected:
  platform::Lock m_csStatus;
  platform::ServiceStatusHandle m_hServiceStatus = nullptr;
  std::uint32_t m_dwCurrentState = 0;
  std::uint32_t m_dwControlsAccepted = 0;
  std::uint32_t m_dwCheckPoint = 0;
  std::uint32_t m_dwWaitHint = 0;
  std::uint32_t m_dwLastControl = 0;
  // Indexed as the worker's wait reports them.
  enum ControlEvent { kStopEvent = 0, kPauseEvent, kContinueEvent, kShutdownEvent, kControlEventCount };
  platform::EventHandle m_hControlEvents[kControlEventCount] = {};
  platform::ThreadHandle m_hWorkerThread = nullptr;
  std::string m_strServiceName;
  std::string m_strEventSource;
  std::uint32_t m_dwServiceType;

 private:
  unsigned waitForSomeControls();
  bool dispatchControlEvent(std::uint32_t index);
};
