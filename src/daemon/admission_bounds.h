// How many connections the loop may hold at each stage, from the
// configuration and the descriptors the process may hold.
//
// A connection still sending its record (or being sent a page, or waiting
// for a login slot or for its paced refusal) costs one descriptor and a
// little memory; a login being checked and launched costs a few more
// descriptors (its socket, the logon check's channel, the launch's pipes)
// and a thread. So the records get a budget of their own, far larger than
// the logins', and both are cut to what the descriptors allow, keeping a
// reserve for the log, the event log, the listener and the wait, so that
// running short of descriptors refuses connections rather than a login's
// check or an engine's launch.
//
//   descriptors  logins (of 64)  records (of 1024)
//   1048576      64              1024
//   1024         64              736
//   128          12              48
//   64           4               16
//   40           1               4
#pragma once

#include <cstddef>

#include "daemon/service_config.h"

struct AdmissionBounds {
  static constexpr std::size_t kReservedDescriptors = 32;
  static constexpr std::size_t kDescriptorsPerLogin = 4;

  // Logins between a whole record and the end of their check and launch.
  std::size_t logins = 0;
  // Connections holding no login slot.
  std::size_t records = 0;
  // Connections of one source, at any stage.
  std::size_t perSource = 0;

  // At least one of each, however few the descriptors.
  static AdmissionBounds of(const CServiceConfig& config, std::size_t descriptors);
};
