// The file a daemon's log is written to.
//
// The log is opened by a privileged process (root, or SYSTEM) at a path that
// others may be able to write to, so the open is guarded: a symbolic link
// (a reparse point on Windows) at the path is refused rather than followed,
// and only a regular file of one name is ever emptied. On POSIX a link as
// any folder of the path is refused too, and so is a file owned by another
// account; the write bits of group and others are taken off the file. A
// missing file is created, readable by its owner alone on POSIX. Character
// devices are written as they stand. The handle is never inherited by a
// child process.
//
// Text is written as a text-mode stream writes it: "\n" reaches a Windows
// file as CR LF.
#pragma once

#include <cstddef>
#include <string>

#include "platform/error.h"

namespace platform {

struct LogFileImpl;
using LogFileHandle = LogFileImpl*;

// Null on failure, with the last error set; a refused file gives 1920 (the
// file cannot be accessed by the system), and so does a reparse point on
// Windows; a link on POSIX gives 1921 (the name of the file cannot be
// resolved by the system).
LogFileHandle openLogFile(const std::string& path);
// False on a failed or short write, with the last error set.
bool writeLogFile(LogFileHandle file, const std::string& text);
void closeLogFile(LogFileHandle file);
// The bytes the text takes in the file (a Windows file gets CR LF).
std::size_t logFileLength(const std::string& text);

inline constexpr ErrorCode kErrorCantAccessFile = 1920;

}  // namespace platform
