#include "admin/service_admin.h"

#include <cstdio>

#include "admin/report_error.h"
#include "platform/registry.h"

CServiceAdmin::CServiceAdmin(const std::string& serviceName, const std::string& displayName)
    : m_serviceName(serviceName), m_displayName(displayName) {}

void CServiceAdmin::report(const char* operation, platform::ErrorCode code) {
  ++m_failures;
  if (code == platform::kErrorRegistryCorrupt) {
    m_registryDamaged = true;
    // The call that met the damage says less than where it is.
    if (const std::string problem = platform::registryLastParseError(); !problem.empty()) {
      reportError(("Reading the registry (" + problem + ")").c_str(), code);
      return;
    }
  }
  reportError(operation, code);
}

platform::RegKeyHandle CServiceAdmin::createKey(const std::string& path) {
  platform::RegKeyHandle key = nullptr;
  const platform::ErrorCode error = platform::regCreateKey(platform::localMachine(), path, key);
  if (error == platform::kErrorSuccess) return key;
  report("RegCreateKey", error);
  return nullptr;
}

platform::RegKeyHandle CServiceAdmin::createServiceKey(const char* sub) {
  return createKey("SYSTEM\\CurrentControlSet\\Services\\" + m_serviceName + "\\" + sub);
}

void CServiceAdmin::refuse(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  ++m_failures;
}
