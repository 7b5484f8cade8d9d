#include "daemon/admission_bounds.h"

#include <algorithm>

AdmissionBounds AdmissionBounds::of(const CServiceConfig& config, std::size_t descriptors) {
  const std::size_t usable =
      descriptors > kReservedDescriptors ? descriptors - kReservedDescriptors : 0;
  AdmissionBounds bounds;
  // The logins may take half of what is usable; the records the rest.
  bounds.logins = std::clamp<std::size_t>(usable / (2 * kDescriptorsPerLogin), 1,
                                          config.pendingLoginsBound());
  const std::size_t left =
      usable > bounds.logins * kDescriptorsPerLogin ? usable - bounds.logins * kDescriptorsPerLogin
                                                    : 0;
  bounds.records = std::clamp<std::size_t>(left, 1, config.pendingRecordsBound());
  bounds.perSource = config.pendingPerSourceBound();
  return bounds;
}
