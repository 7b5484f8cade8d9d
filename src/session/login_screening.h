// The service switches a login record meets before authentication.
#pragma once

#include "daemon/service_config.h"
#include "session/net_login.h"

// The log line of the refusal when a switch refuses the record, null when
// the record goes on to authentication. A startup that begins with
// "-fms_server" or "-odbc_server" meets that command's switch alone; any
// other record is an interactive login.
const char* screeningRefusal(const netLogin& login, const CServiceConfig& config);
