#include "admin/command_dispatch.h"

#include <cstdio>

#include "admin/service_admin.h"
#include "admin/usage.h"
#include "admin/version.h"
#include "daemon/vornd.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/tls_relay.h"

namespace {

const struct {
  const char* word;
  Branch branch;
} kCommandWords[] = {
    {"-status", Branch::Status},   {"-start", Branch::Start},   {"-stop", Branch::Stop},
    {"-restart", Branch::Restart}, {"-modify", Branch::Modify}, {"-install", Branch::Install},
    {"-remove", Branch::Remove},   {"-debug", Branch::Debug},   {"-runservice", Branch::RunService},
    {"-check", Branch::Check},
};

std::string lowered(std::string text) {
  platform::lowerCaseInPlace(text);
  return text;
}

bool holdsArgument(const std::vector<std::string>& arguments, const char* word) {
  for (const std::string& argument : arguments) {
    if (lowered(argument) == word) return true;
  }
  return false;
}

// A command word written with two dashes, such as --install: what the
// user meant is plain, so the refusal can say it.
const std::string* doubledCommandWord(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument.rfind("--", 0) == 0 && chooseBranch({argument.substr(1)}) != Branch::Usage) {
      return &argument;
    }
  }
  return nullptr;
}

}  // namespace

std::vector<std::string> argumentsOf(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

bool wantsHelp(const std::vector<std::string>& arguments) {
  for (const char* word : {"-h", "/h", "-?", "/?", "-help", "--help", "/help"}) {
    if (holdsArgument(arguments, word)) return true;
  }
  return false;
}

Branch chooseBranch(const std::vector<std::string>& arguments) {
  // The order decides when several words are given: -install -debug
  // installs with detailed logging rather than running a console daemon.
  for (const auto& entry : kCommandWords) {
    if (holdsArgument(arguments, entry.word)) return entry.branch;
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

int runCommand(int argc, char** argv) {
  const std::vector<std::string> arguments = argumentsOf(argc, argv);
  if (holdsArgument(arguments, "-version") || holdsArgument(arguments, "--version")) {
    std::fputs(versionText(platform::tlsLibraryVersion()).c_str(), stdout);
    std::fflush(stdout);
    return 0;
  }
  if (wantsHelp(arguments)) {
    printUsage(argc, argv);
    return 0;
  }
  // An administration command ends with 1 when it printed a refusal or an
  // error report, so that a script can tell.
  CServiceAdmin admin("", "");
  const Branch branch = chooseBranch(arguments);
  if (branch == Branch::Usage) {
    if (const std::string* doubled = doubledCommandWord(arguments)) {
      std::printf("Options take one dash: %s, not %s\n", doubled->c_str() + 1, doubled->c_str());
      std::fflush(stdout);
      return 1;
    }
  }
  switch (branch) {
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
        admin.printFindings(argv[2]);
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
    case Branch::Check:
      return checkCommand(argc, argv);
    case Branch::Usage:
      printUsage(argc, argv);
      break;
  }
  std::fflush(stdout);
  return admin.failed() ? 1 : 0;
}
