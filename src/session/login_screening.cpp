#include "session/login_screening.h"

const char* screeningRefusal(const netLogin& login, const CServiceConfig& config) {
  if (login.startupBeginsWith("-fms_server")) {
    return config.ServiceDisableFms
               ? "-fms_server found in startup and disableFMS is TRUE - rejected"
               : nullptr;
  }
  if (login.startupBeginsWith("-odbc_server")) {
    return config.ServiceDisableODBC
               ? "-odbc_server found in startup and disableODBC is TRUE - rejected"
               : nullptr;
  }
  return config.ServiceDisableLogins ? "interactive logins are disabled - rejected" : nullptr;
}
