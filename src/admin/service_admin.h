// CServiceAdmin: the administration object, one per console command.
//
// Install (install.cpp), environment modification
// (environment_modification.cpp) and service control (service_control.cpp)
// print their texts on standard output. Whatever a command refuses or
// fails to do is also counted, so that its exit status can tell. A
// registry that cannot be read ends the command at the first report of it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/registry.h"

class CServiceAdmin {
 public:
  CServiceAdmin(const std::string& serviceName, const std::string& displayName);

  void status(int argc, char** argv);
  void start(int argc, char** argv);
  void stop(int argc, char** argv);
  // True when the service is to be restarted.
  bool modifyEnvironment(int argc, char** argv);
  void install(int argc, char** argv);
  void remove(int argc, char** argv);

  // The configuration check's findings for the instance, a line each,
  // after -install or -modify wrote it: advice, not counted as failures
  // (check_command.cpp).
  void printFindings(const std::string& name);

  // After stop: waits until each service a count of 3 or the list names
  // has stopped, so that the start that follows is not refused.
  void waitUntilStopped(int argc, char** argv);

  // True once the command printed a refusal or an error report.
  bool failed() const { return m_failures > 0; }
  // True once a call found the registry damaged (and it was reported).
  bool registryDamaged() const { return m_registryDamaged; }

  // The steps, public for the tests that drive them one by one.
  // Takes the install's words into the fields; true when one was refused
  // (its message printed).
  bool parseInstallArguments(int argc, char** argv);
  // A word that is no install option: an environment assignment, a word
  // starting with "/" (skipped), or a refusal; false when refused.
  bool parseOtherInstallWord(const std::string& word);
  // Makes a -cert= or -key= path full and checks that it can be read;
  // false when not (its message printed).
  bool takeTlsFile(const char* what, std::string& path);
  bool findEngine(std::string& result);
  // True when the engine named by m_engine is refused (message printed).
  bool checkEngine();
  void createService(std::uint32_t serviceType, std::uint32_t startType);
  bool addToServiceList();
  bool writeConfig();
  bool writeEnvironment();
  void startOne(std::ostream& out, const std::string& name);
  void stopOne(std::ostream& out, const std::string& name);
  void showStatus(std::ostream& out, const std::string& name);
  // After a start: waits until the service runs (true), and says why it
  // does not: its port held by another program, or the service gone
  // (start_wait.cpp). A running or stopped service is not looked at
  // again; one waiting for its port goes on waiting.
  bool awaitListening(const std::string& name);
  // Whether the service runs or is on its way (stopping included): its
  // second copy, run by -debug, is refused with a message.
  bool refuseSecondCopy(const std::string& name);
  void removeService(bool stopFirst);
  void removeFromServiceList();

  const std::string& serviceName() const { return m_serviceName; }
  const std::string& displayName() const { return m_displayName; }
  const std::string& engine() const { return m_engine; }
  const std::string& port() const { return m_port; }
  const std::string& authMethod() const { return m_authMethod; }
  const std::map<std::string, std::string>& environment() const { return m_environment; }
  // "No", "Optional" or "Required"; "" when -tls= was not given.
  const std::string& sockTls() const { return m_sockTls; }
  const std::optional<std::string>& certificateFile() const { return m_certificateFile; }
  const std::optional<std::string>& keyFile() const { return m_keyFile; }

 private:
  // reportError, counted. A damaged registry is reported as the daemon
  // reports it, by its file and line, whichever call met it.
  void report(const char* operation, platform::ErrorCode code);
  // A refusal message, counted.
  void refuse(const std::string& text);
  // Opens the key below HKLM, creating what is missing; null after a
  // reported RegCreateKey failure.
  platform::RegKeyHandle createKey(const std::string& path);
  // The same for a key of this service: SYSTEM\...\Services\<name>\<sub>.
  platform::RegKeyHandle createServiceKey(const char* sub);
  // Writes one text value (REG_EXPAND_SZ with its zero byte); a failure is
  // reported as RegSetValueEx.
  bool setText(platform::RegKeyHandle key, const std::string& name, const std::string& value);

  struct ListedService {
    std::string name;
    std::string displayName;
  };
  // The list of installed instances as stored: names and display names as
  // written, not expanded. A damaged registry is reported, and no list.
  std::vector<ListedService> installedServices();
  // The one service argv[2] for a count of exactly 3, else every listed one.
  std::vector<std::string> targets(int argc, char** argv);

  std::string m_serviceName;
  std::string m_displayName;
  std::string m_engine;
  std::string m_port;
  std::string m_authMethod;
  std::string m_logAllEvents;
  std::string m_logCreate;
  std::string m_logDir;
  std::string m_logFileName;
  std::string m_sockTls;
  // Given or not: an empty -cert= is a file that cannot be read.
  std::optional<std::string> m_certificateFile;
  std::optional<std::string> m_keyFile;
  // Variable name to value, byte-wise ascending.
  std::map<std::string, std::string> m_environment;
  int m_failures = 0;
  bool m_registryDamaged = false;
};

// One word of -modify after the service name.
struct ModifyRequest {
  enum Kind { Option, Unknown, Set, Delete } kind;
  std::string name;   // Set, Delete
  std::string value;  // Set
};
ModifyRequest parseModifyWord(const std::string& word);

// The list of installed instances: value name = service name, data = its
// display name.
inline constexpr const char* kServiceListKey = "SOFTWARE\\Vornware\\Services";
