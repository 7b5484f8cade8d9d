// The test binary as an engine. The daemon starts it with
//
//   <test binary> --service-host engine-probe <mode> -f=N [pieces...]
//
// "quiet" ends at once; "exit" ends before it even looks at the socket;
// "stderr" writes one line to its standard error and ends;
// "hold" keeps the socket for kHoldMs without reading, then ends;
// "close-first" closes the socket, then lives on for kLingerMs; "report"
// writes to the inherited socket what it was given, one item a line, and
// ends:
//
//   arg=<argument>        every argument, the program first
//   env=<name=value>      every environment entry, in the order received
//   fd=<n>                every open descriptor (POSIX)
//   file=<path>           every file it holds open: by descriptor (POSIX),
//                         by handle, inherited ones included (Windows)
//   socket=<port>><port>  every socket it holds, by its local and remote
//                         port, inherited ones included (Windows)
//   uid=<n> gid=<n> groups=<n,n,...>   (POSIX)
//   end
//
// Bytes below 0x20 and backslashes are written as \xHH, so an item is
// always one line.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

inline constexpr unsigned kHoldMs = 3000;
inline constexpr unsigned kLingerMs = 2000;

struct ProbeReport {
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<int> fds;
  std::vector<std::string> files;
  std::vector<std::string> sockets;
  std::string uid, gid, groups;
  bool complete = false;  // the "end" line arrived
};

ProbeReport parseProbeReport(const std::string& text);

// What the operating system gives the probe, each side its own way.
std::vector<std::string> probeEnvironment();
// The fd, file, uid, gid and groups lines (POSIX); the file and socket
// lines on Windows.
std::string probeIdentityLines();

}  // namespace testing_support
