#include "admin/service_admin.h"

#include <cstdio>

#include "admin/report_error.h"

CServiceAdmin::CServiceAdmin(const std::string& serviceName, const std::string& displayName)
    : m_serviceName(serviceName), m_displayName(displayName) {}

void CServiceAdmin::report(const char* operation, platform::ErrorCode code) {
  reportError(operation, code);
  ++m_failures;
}

void CServiceAdmin::refuse(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  ++m_failures;
}
