// Error codes and their system texts.
//
// Both implementations speak Windows error codes: the POSIX side maps errno
// to the nearest Windows code, so every text, decision and test above this
// layer sees the same numbers on both platforms.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

using ErrorCode = std::uint32_t;

// The codes the core names. Others pass through as numbers.
inline constexpr ErrorCode kErrorSuccess = 0;
inline constexpr ErrorCode kErrorInvalidFunction = 1;
inline constexpr ErrorCode kErrorFileNotFound = 2;
inline constexpr ErrorCode kErrorPathNotFound = 3;
inline constexpr ErrorCode kErrorAccessDenied = 5;
inline constexpr ErrorCode kErrorInvalidHandle = 6;
inline constexpr ErrorCode kErrorNotEnoughMemory = 8;
inline constexpr ErrorCode kErrorInvalidData = 13;
inline constexpr ErrorCode kErrorGenFailure = 31;
inline constexpr ErrorCode kErrorNotSupported = 50;
inline constexpr ErrorCode kErrorInvalidParameter = 87;
inline constexpr ErrorCode kErrorBrokenPipe = 109;
inline constexpr ErrorCode kErrorInsufficientBuffer = 122;
inline constexpr ErrorCode kErrorAlreadyExists = 183;
inline constexpr ErrorCode kErrorMoreData = 234;
inline constexpr ErrorCode kErrorNoMoreItems = 259;
inline constexpr ErrorCode kErrorBadExeFormat = 193;
inline constexpr ErrorCode kErrorServiceRequestTimeout = 1053;
inline constexpr ErrorCode kErrorInvalidServiceControl = 1052;
inline constexpr ErrorCode kErrorServiceAlreadyRunning = 1056;
inline constexpr ErrorCode kErrorServiceDoesNotExist = 1060;
inline constexpr ErrorCode kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr ErrorCode kErrorServiceNotActive = 1062;
inline constexpr ErrorCode kErrorFailedServiceControllerConnect = 1063;
inline constexpr ErrorCode kErrorServiceMarkedForDelete = 1072;
inline constexpr ErrorCode kErrorServiceExists = 1073;
inline constexpr ErrorCode kErrorDuplicateServiceName = 1078;
inline constexpr ErrorCode kErrorPrivilegeNotHeld = 1314;
inline constexpr ErrorCode kErrorLogonFailure = 1326;
inline constexpr ErrorCode kErrorTimeout = 1460;

// The calling thread's last error (GetLastError). Platform calls that fail
// set it; calls that succeed leave it alone unless documented otherwise.
ErrorCode lastError();
void setLastError(ErrorCode code);

// The system's message text for a code, as FormatMessage from the system
// table gives it, including its final line break. No value when the system
// has no text for the code. Code 0 has a text on Windows ("The operation
// completed successfully."); callers that want 0 to mean "no error" test it
// themselves.
std::optional<std::string> systemErrorText(ErrorCode code);

}  // namespace platform
