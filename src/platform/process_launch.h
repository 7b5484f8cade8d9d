// Starting an engine process that continues a client's connection.
//
// The launch names exactly what the new process receives: its command
// line, its environment block, the desktop it runs on, the one socket it
// inherits, and the account it runs as.
//
// Windows: DuplicateHandle for the socket, CreateProcessA or
// CreateProcessAsUserA with the daemon's standard handles, and a handle
// list that names the socket and those handles as all the process
// inherits: no engine gets another's connection, however many launches
// run at once and whatever else in the daemon is inheritable.
//
// POSIX: the command line is split into arguments by the C-runtime rules
// of command_line.h; a program name without a slash is looked for on the
// daemon's PATH; the process gets exactly the environment block, the
// daemon's descriptors 0, 1 and 2, the inherited socket at its own number
// and no other descriptor. Without an account the process is spawned
// without copying the daemon's memory; with one it is forked, takes the
// account's groups, gid and uid, then executes. A failed exec is reported
// with its real error code. Every process started here is reaped soon
// after it ends, never waited for, and no other child of the daemon is
// touched.
#pragma once

#include <optional>
#include <string>

#include "platform/logon.h"
#include "platform/net.h"

namespace platform {

// A duplicate of the socket within this process, inherited by no process
// until a launch passes it on (Windows: inheritable, and named by that
// launch's handle list alone). False with the last error set; the
// duplicate is then untouched.
bool duplicateSocketHandle(SocketHandle socket, SocketHandle& duplicate);

// Marks a handle inheritable (HANDLE_FLAG_INHERIT). False with the last
// error set.
bool setHandleInheritable(SocketHandle handle);

// Closes the duplicate once the process has its own copy. Windows: a
// duplicated socket handle that the socket layer does not know (Wine) is
// closed as a handle.
bool closeSocketDuplicate(SocketHandle duplicate);

struct ProcessLaunch {
  // The whole command line, program first; it ends at its first NUL.
  const char* commandLine = nullptr;
  // name=value NUL ... NUL, in the order given; never null.
  const char* environment = nullptr;
  // Window station and desktop ("WinSta\Desktop"), or null for none.
  const char* desktop = nullptr;
  // The socket the process continues with, made inheritable for it alone:
  // besides the standard handles, the one thing it inherits.
  SocketHandle inherited = kInvalidSocket;
  // Run as the logon token's account (CreateProcessAsUserA). A null token
  // with asUser set fails as an invalid handle.
  bool asUser = false;
  LogonToken token = nullptr;
};

// Starts the process and lets go of it at once. False with the last error
// set when it could not be started: the error of the exec on POSIX
// (2 for a program that is not there, 5 when it may not be executed, 1314
// when the daemon may not take on the account).
bool launchProcess(const ProcessLaunch& launch);

// The file a launch of this command line would run, found as the launch
// finds it, without starting anything: POSIX, its first argument as it
// stands when it holds a slash, else the first executable regular file of
// that name in a folder of PATH; Windows, as CreateProcessA looks for it
// (".exe" added to a name without one). No value with the last error set
// when there is none: 2 for no such file (or no program named at all), 5
// for a file that may not be executed.
std::optional<std::string> findProgram(const std::string& commandLine);

}  // namespace platform
