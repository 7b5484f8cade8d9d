// Paths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The separator of path components: '\' on Windows, '/' on POSIX.
char pathSeparator();

// The folder a log goes to when none is configured, ending in the
// separator: "c:\" on Windows, $VORND_ROOT/log/ on POSIX (created when
// missing).
std::string defaultLogDirectory();

// The engine file the install looks for when none is named: "Vorn.exe" on
// Windows, "vorn" on POSIX.
const char* defaultEngineFileName();

// SearchPath: the full path of a file of that name in the folder, or,
// without a folder, in the system's own order (Windows: the program's
// folder, the current folder, the system folders, PATH; POSIX: the
// program's folder, the current folder, PATH). Any kind of file counts.
// No value when there is none, with the last error set (2).
std::optional<std::string> searchPath(const char* folder, const std::string& fileName);

// GetFullPathName: the path made absolute against the current folder, its
// "." and ".." steps and repeated separators resolved from the text alone
// (links are not followed; the file need not exist). A final separator is
// kept. No value on failure, with the last error set (123 for an empty
// path).
std::optional<std::string> fullPathName(const std::string& path);

// GetFileVersionInfoSize: the size of the file's version information, 0
// when it has none (or is not there), with the last error set. On POSIX a
// file "has version information" when it is a regular, non-empty file the
// caller may execute; the size is then the file's.
std::uint32_t fileVersionInfoSize(const std::string& path);

}  // namespace platform
