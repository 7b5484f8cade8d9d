#include "admin/command_dispatch.h"

#include <cstdio>

#include "admin/service_admin.h"
#include "admin/usage.h"
#include "daemon/vornd.h"
#include "platform/process.h"
#include "platform/service_manager.h"

bool wantsHelp(const std::string& loweredCommandLine) {
  for (const char* word : {"-h", "/h", "-?", "/?"}) {
    if (loweredCommandLine.find(word) != std::string::npos) return true;
  }
  return false;
}

Branch chooseBranch(const std::string& loweredCommandLine) {
  // Substrings, not words: a command word inside a value or the program
  // path counts too. "-restart" holds no "-start", so order alone decides.
  static const struct {
    const char* word;
    Branch branch;
  } kWords[] = {
      {"-status", Branch::Status},   {"-start", Branch::Start},     {"-stop", Branch::Stop},
      {"-restart", Branch::Restart}, {"-modify", Branch::Modify},   {"-install", Branch::Install},
      {"-remove", Branch::Remove},   {"-debug", Branch::Debug},     {"-runservice", Branch::RunService},
  };
  for (const auto& entry : kWords) {
    if (loweredCommandLine.find(entry.word) != std::string::npos) return entry.branch;
  }
  return Branch::Usage;
}

namespace {

void runDebug(int argc, char** argv) {
  CVornD daemon(argv[2], argv[2], platform::kServiceWin32OwnProcess);
  daemon.ServiceMain(static_cast<std::uint32_t>(argc - 2), argv + 2, DaemonControlHandler,
                     DaemonWorkerThread);
}

int runService(char** argv) {
  CVornD daemon(argv[0], argv[0], platform::kServiceWin32OwnProcess);
  // One own-process service may register under any name.
  char emptyName[] = "";
  const platform::ServiceTableEntry table[] = {{emptyName, DaemonServiceMain}, {nullptr, nullptr}};
  // From a console this fails at once; the process then ends quietly.
  // A unit's instance that is not installed ends with its own status,
  // which the unit file keeps systemd from restarting.
  if (!platform::startServiceCtrlDispatcher(table) &&
      platform::lastError() == platform::kErrorServiceDoesNotExist) {
    return kExitNotInstalled;
  }
  return 0;
}

}  // namespace

int runCommand(int argc, char** argv, const std::string& rawCommandLine) {
  std::string lowered = rawCommandLine;
  platform::lowerCaseInPlace(lowered);
  if (wantsHelp(lowered)) {
    printUsage(argc, argv);
    return 0;
  }
  // An administration command ends with 1 when it printed a refusal or an
  // error report, so that a script can tell.
  CServiceAdmin admin("", "");
  switch (chooseBranch(lowered)) {
    case Branch::Status:
      admin.status(argc, argv);
      break;
    case Branch::Start:
      admin.start(argc, argv);
      break;
    case Branch::Stop:
      admin.stop(argc, argv);
      break;
    case Branch::Restart:
      admin.stop(argc, argv);
      // A service still stopping would refuse the start.
      admin.waitUntilStopped(argc, argv);
      admin.start(argc, argv);
      break;
    case Branch::Modify:
      if (admin.modifyEnvironment(argc, argv)) {
        admin.stop(3, argv);
        admin.waitUntilStopped(3, argv);
        admin.start(3, argv);
      }
      break;
    case Branch::Install:
      admin.install(argc, argv);
      break;
    case Branch::Remove:
      admin.remove(argc, argv);
      break;
    case Branch::Debug:
      // Without a service name there is nothing to run.
      if (argc < 3) {
        printUsage(argc, argv);
        break;
      }
      // Two copies of one instance would fight over its port and its
      // control socket, the second writing errors under the first's name.
      if (!admin.refuseSecondCopy(argv[2])) runDebug(argc, argv);
      break;
    case Branch::RunService:
      if (const int status = runService(argv); status != 0) return status;
      break;
    case Branch::Usage:
      printUsage(argc, argv);
      break;
  }
  std::fflush(stdout);
  return admin.failed() ? 1 : 0;
}
