#include "platform/error.h"

#include <cerrno>
#include <string_view>

#include "platform/posix/state_root.h"

namespace platform {

namespace {

thread_local ErrorCode t_lastError = kErrorSuccess;

// For errno values without a nearer twin: Windows' own "general failure".
constexpr ErrorCode kFallback = kErrorGenFailure;

}  // namespace

ErrorCode lastError() { return t_lastError; }

void setLastError(ErrorCode code) { t_lastError = code; }

namespace posix {

// errno carries no hint of the object that failed, so each value maps to
// one code. Values that only sockets produce take their Winsock twin
// (10000 + the BSD number); values shared by files and sockets take the
// Win32 code. Where Windows itself would say something else for a socket
// (WSAEINVAL for EINVAL, say), the socket layer maps before calling this.
unsigned long errorFromErrno(int errnoValue) {
  switch (errnoValue) {
    case 0: return kErrorSuccess;
    case EPERM: return kErrorAccessDenied;
    case ENOENT: return kErrorFileNotFound;
    case ESRCH: return kErrorInvalidParameter;  // OpenProcess on a gone process id
    // Only a blocking call can be interrupted; Winsock names the same event.
    case EINTR: return 10004;
    case EIO: return 1117;  // ERROR_IO_DEVICE
    case ENXIO: return kErrorFileNotFound;
    case E2BIG: return 10;  // ERROR_BAD_ENVIRONMENT, as the C runtime maps it back
    case ENOEXEC: return kErrorBadExeFormat;
    case EBADF: return kErrorInvalidHandle;
    case ECHILD: return 128;  // ERROR_WAIT_NO_CHILDREN
    // The core tests for WSAEWOULDBLOCK after a non-blocking accept or
    // receive; that is where EAGAIN matters.
    case EAGAIN: return 10035;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EACCES: return kErrorAccessDenied;
    case EFAULT: return 998;  // ERROR_NOACCESS
    case ENOTBLK: return kErrorInvalidFunction;
    case EBUSY: return 170;  // ERROR_BUSY
    // ERROR_ALREADY_EXISTS rather than ERROR_FILE_EXISTS (80): it is what
    // CreateDirectory and the named-object calls give, and the code the
    // core names.
    case EEXIST: return kErrorAlreadyExists;
    case EXDEV: return 17;  // ERROR_NOT_SAME_DEVICE
    case ENODEV: return kErrorNotSupported;
    // A file where a folder should be: Windows says the path is not found.
    case ENOTDIR: return kErrorPathNotFound;
    // CreateFile on a folder is refused with access denied.
    case EISDIR: return kErrorAccessDenied;
    case EINVAL: return kErrorInvalidParameter;
    case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case EMFILE: return 4;
    case ENOTTY: return kErrorInvalidFunction;
    case ETXTBSY: return 32;  // ERROR_SHARING_VIOLATION
    case EFBIG: return 223;  // ERROR_FILE_TOO_LARGE
    case ENOSPC: return 112;  // ERROR_DISK_FULL
    case ESPIPE: return 132;  // ERROR_SEEK_ON_DEVICE
    case EROFS: return 19;  // ERROR_WRITE_PROTECT
    case EMLINK: return 1142;  // ERROR_TOO_MANY_LINKS
    case EPIPE: return kErrorBrokenPipe;
    case EDOM: return kErrorInvalidParameter;
    // getpwnam_r and friends: the caller's buffer is too small.
    case ERANGE: return kErrorInsufficientBuffer;
    case EDEADLK: return 1131;  // ERROR_POSSIBLE_DEADLOCK
    case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
    case ENOLCK: return 1450;  // ERROR_NO_SYSTEM_RESOURCES
    case ENOSYS: return kErrorNotSupported;
    case ENOTEMPTY: return 145;  // ERROR_DIR_NOT_EMPTY
    case ELOOP: return 1921;  // ERROR_CANT_RESOLVE_FILENAME
    case ETIME: return 1460;  // ERROR_TIMEOUT
    case ENOSR: return 1450;
    case ENONET: return 10050;
    case ENOLINK: return 59;  // ERROR_UNEXP_NET_ERR
    case ECOMM: return 59;
    case EPROTO: return 59;
    case EBADMSG: return kErrorInvalidData;
    case EOVERFLOW: return kErrorInvalidParameter;
    case EBADFD: return kErrorInvalidHandle;
    case ELIBACC: return 126;  // ERROR_MOD_NOT_FOUND
    case ELIBBAD: return kErrorBadExeFormat;
    case ELIBSCN: return kErrorBadExeFormat;
    case ELIBEXEC: return kErrorBadExeFormat;
    case EILSEQ: return 1113;  // ERROR_NO_UNICODE_TRANSLATION
    case ERESTART: return 10004;
    case ESTRPIPE: return kErrorBrokenPipe;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    // Also what files give (fallocate, xattrs): the plain Win32 code.
    case EOPNOTSUPP: return kErrorNotSupported;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    // Only connections time out with an errno; other waits report it as a
    // return value.
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case EALREADY: return 10037;
    // A non-blocking connect on Windows reports WSAEWOULDBLOCK, not
    // WSAEINPROGRESS.
    case EINPROGRESS: return 10035;
    case ESTALE: return kErrorInvalidHandle;
    case EUCLEAN: return 1392;  // ERROR_FILE_CORRUPT
    case EREMOTEIO: return 59;
    case EDQUOT: return 1816;  // ERROR_NOT_ENOUGH_QUOTA
    case ENOMEDIUM: return 21;  // ERROR_NOT_READY
    case ECANCELED: return 995;  // ERROR_OPERATION_ABORTED
    default: return kFallback;
  }
}

}  // namespace posix

namespace {

struct SystemText {
  ErrorCode code;
  std::string_view text;
};

// English system texts, as FormatMessage gives them from the system table
// (inserts such as %1 left as they are), for every code this side can
// produce. Sorted by code.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {10, "The environment is incorrect."},
    {13, "The data is invalid."},
    {17, "The system cannot move the file to a different disk drive."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {59, "An unexpected network error occurred."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {128, "There are no child processes to wait for."},
    {132, "The file pointer cannot be set on the specified device or file."},
    {145, "The directory is not empty."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {206, "The filename or extension is too long."},
    {223, "The file size exceeds the limit allowed and cannot be saved."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application "
          "request."},
    {998, "Invalid access to memory location."},
    {1009, "The configuration registry database is corrupt."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1054, "A thread could not be created for the service."},
    {1055, "The service database is locked."},
    {1056, "An instance of the service is already running."},
    {1057, "The account name is invalid or does not exist, or the password is invalid for the "
           "account name specified."},
    {1058, "The service cannot be started, either because it is disabled or because it has no "
           "enabled devices associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1064, "An exception occurred in the service when handling the control request."},
    {1066, "The service has returned a service-specific error code."},
    {1067, "The process terminated unexpectedly."},
    {1069, "The service did not start due to a logon failure."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1078, "The name is already in use as either a service name or a service display name."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1131, "A potential deadlock condition has been detected."},
    {1142, "An attempt was made to create more links on a file than the file system supports."},
    {1168, "Element not found."},
    {1223, "The operation was canceled by the user."},
    {1311, "We can't sign you in with this credential because your domain isn't available. "
           "Make sure your device is connected to your organization's network and try again. "
           "If you previously signed in on this device with another credential, you can sign in "
           "with that credential."},
    {1314, "A required privilege is not held by the client."},
    {1326, "The user name or password is incorrect."},
    {1327, "Account restrictions are preventing this user from signing in. For example: blank "
           "passwords aren't allowed, sign-in times are limited, or a policy restriction has "
           "been enforced."},
    {1330, "The password for this account has expired."},
    {1331, "This user can't sign in because this account is currently disabled."},
    {1332, "No mapping between account names and security IDs was done."},
    {1392, "The file or directory is corrupted and unreadable."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1460, "This operation returned because the timeout period expired."},
    {1793, "The user's account has expired."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1816, "Not enough quota is available to process this command."},
    {1907, "The user's password must be changed before signing in."},
    {1909, "The referenced account is currently locked out and may not be logged on to."},
    {1920, "The file cannot be accessed by the system."},
    {1921, "The name of the file cannot be resolved by the system."},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, "The file handle supplied is not valid."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access "
            "permissions."},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer "
            "argument in a call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10036, "A blocking operation is currently executing."},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation "
            "in progress."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10039, "A required address was omitted from an operation on a socket."},
    {10040, "A message sent on a datagram socket was larger than the internal message buffer or "
            "some other network limit, or the buffer used to receive a datagram into was "
            "smaller than the datagram itself."},
    {10041, "A protocol was specified in the socket function call that does not support the "
            "semantics of the socket type requested."},
    {10042, "An unknown, invalid, or unsupported option or level was specified in a getsockopt "
            "or setsockopt call."},
    {10043, "The requested protocol has not been configured into the system, or no "
            "implementation for it exists."},
    {10044, "The support for the specified socket type does not exist in this address family."},
    {10045, "The attempted operation is not supported for the type of object referenced."},
    {10046, "The protocol family has not been configured into the system or no implementation "
            "for it exists."},
    {10047, "An address incompatible with the requested protocol was used."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally "
            "permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10052, "The connection has been broken due to keep-alive activity detecting a failure while "
            "the operation was in progress."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10055, "An operation on a socket could not be performed because the system lacked "
            "sufficient buffer space or because a queue was full."},
    {10056, "A connect request was made on an already connected socket."},
    {10057, "A request to send or receive data was disallowed because the socket is not "
            "connected and (when sending on a datagram socket using a sendto call) no address "
            "was supplied."},
    {10058, "A request to send or receive data was disallowed because the socket had already "
            "been shut down in that direction with a previous shutdown call."},
    {10059, "Too many references to some kernel object."},
    {10060, "A connection attempt failed because the connected party did not properly respond "
            "after a period of time, or established connection failed because connected host "
            "has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10064, "A socket operation failed because the destination host was down."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {10101, "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a "
            "graceful shutdown sequence."},
    {11001, "No such host is known."},
    {11002, "This is usually a temporary error during hostname resolution and means that the "
            "local server did not receive a response from an authoritative server."},
    {11003, "A non-recoverable error occurred during a database lookup."},
    {11004, "The requested name is valid, but no data of the requested type was found."},
};

}  // namespace

std::optional<std::string> systemErrorText(ErrorCode code) {
  for (const SystemText& entry : kSystemTexts) {
    if (entry.code == code) {
      // Windows ends its texts with "\r\n"; here the line end is the
      // platform's own.
      std::string text(entry.text);
      text += '\n';
      return text;
    }
  }
  return std::nullopt;
}

}  // namespace platform
