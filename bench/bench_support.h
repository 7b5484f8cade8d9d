// What the launch benchmark needs around its servers: ports, starting and
// stopping processes so that none outlives the benchmark, and what the
// kernel says about a process and a listening port.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// A loopback port nobody listens on at the moment.
int freePort();

// The folder of this executable: the daemon and its helpers are built
// beside the benchmarks.
std::string binaryDirectory();

// The middle value (the upper of the two middle ones); 0 for none.
double median(std::vector<double> values);
// "1,4,16" as levels of clients; empty for anything that is not a list of
// positive numbers.
std::vector<int> parseLevels(const std::string& text);

// One value of an instance's Config key, in the registry of VORND_ROOT.
bool setConfig(const std::string& service, const std::string& name, const std::string& value);

// Starts a program with standard output and error on /dev/null. The child
// gets SIGTERM when this process dies, and is remembered for stopAll().
pid_t startProgram(const std::vector<std::string>& arguments);

// A child forked to run body(); the same guarantees as startProgram.
pid_t startChild(void (*body)(int, const std::string&), int port, const std::string& text);

// SIGTERM to every started child and a wait for each.
void stopAll();

// SIGINT, SIGTERM and SIGHUP stop the started children at once and raise
// the flag stopRequested() reads; a second signal ends the process.
void installStopHandlers();
bool stopRequested();

// VmRSS of one process in kB, -1 when it is gone.
long residentKilobytes(pid_t pid);

// The process and every descendant of it: their count and summed VmRSS.
struct TreeMemory {
  int processes = 0;
  long kilobytes = 0;
};
TreeMemory treeMemory(pid_t root);

// Polls the kernel's socket tables until something listens on the port,
// without connecting to it: the server has seen no client yet.
bool waitUntilListening(int port, pid_t owner);

// From the kernel's socket tables: connections waiting in the listen queue
// of the port (not yet accepted), and established connections whose local
// end is that port (accepted or waiting).
struct PortState {
  long queued = 0;
  long established = 0;
};
PortState portState(int port);

}  // namespace bench
