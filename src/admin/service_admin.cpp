#include "admin/service_admin.h"

#include <cstdio>

namespace {

// The administration commands arrive with the settings store; until then
// each says plainly that it did nothing.
void notAvailable(const char* command) {
  std::printf("%s: this command is not available in this build; nothing was done.\n", command);
  std::fflush(stdout);
}

}  // namespace

CServiceAdmin::CServiceAdmin(const std::string& serviceName, const std::string& displayName)
    : m_serviceName(serviceName), m_displayName(displayName) {}

void CServiceAdmin::status(int, char**) { notAvailable("-status"); }
void CServiceAdmin::start(int, char**) { notAvailable("-start"); }
void CServiceAdmin::stop(int, char**) { notAvailable("-stop"); }
bool CServiceAdmin::modifyEnvironment(int, char**) {
  notAvailable("-modify");
  return false;
}
void CServiceAdmin::install(int, char**) { notAvailable("-install"); }
void CServiceAdmin::remove(int, char**) { notAvailable("-remove"); }
