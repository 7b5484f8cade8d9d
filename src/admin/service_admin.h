// CServiceAdmin: the administration object, one per console command.
#pragma once

#include <map>
#include <string>

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

 private:
  std::string m_serviceName;
  std::string m_displayName;
  std::string m_engine;
  std::string m_port;
  std::string m_authMethod;
  std::string m_logAllEvents;
  std::string m_logCreate;
  std::string m_logDir;
  std::string m_logFileName;
  // Variable name to value, byte-wise ascending.
  std::map<std::string, std::string> m_environment;
};
