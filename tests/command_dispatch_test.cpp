#include <gtest/gtest.h>

#include "registry_fixture.h"

#include <string>
#include <vector>

#include "admin/command_dispatch.h"
#include "admin/usage.h"

namespace {

// A command or help word counts only as a whole argument, in any letter
// case; inside a value or a path it is just text. When several are given,
// the fixed order decides.
TEST(CommandDispatch, WholeArgumentsChooseTheBranch) {
  enum { Help, NoHelp };
  const struct {
    std::vector<std::string> arguments;
    int help;
    Branch branch;
  } cases[] = {
      {{"-status"}, NoHelp, Branch::Status},
      {{"-STATUS"}, NoHelp, Branch::Status},
      {{"-start", "svc"}, NoHelp, Branch::Start},
      {{"-stop"}, NoHelp, Branch::Stop},
      {{"-restart", "svc"}, NoHelp, Branch::Restart},
      {{"-modify", "svc", "a=b"}, NoHelp, Branch::Modify},
      {{"-Install"}, NoHelp, Branch::Install},
      {{"-remove", "-name=x"}, NoHelp, Branch::Remove},
      {{"-debug", "svc"}, NoHelp, Branch::Debug},
      {{"-runService"}, NoHelp, Branch::RunService},
      {{"-Check", "svc"}, NoHelp, Branch::Check},
      {{"-check", "-debug"}, NoHelp, Branch::Debug},
      {{}, NoHelp, Branch::Usage},
      {{"status", "start"}, NoHelp, Branch::Usage},
      {{"-startup"}, NoHelp, Branch::Usage},
      {{"-installed"}, NoHelp, Branch::Usage},
      {{"--install"}, NoHelp, Branch::Usage},
      // Words inside values and paths.
      {{"-install", "MODE=non-stop"}, NoHelp, Branch::Install},
      {{"-install", "-engine=/home/x/eng"}, NoHelp, Branch::Install},
      {{"-install", "-name=a", "-engine=c:\\x-stop\\vorn.exe"}, NoHelp, Branch::Install},
      {{"-modify", "svc", "mode=-start"}, NoHelp, Branch::Modify},
      {{"-install", "-name=x", "vornpath=c:/home/x"}, NoHelp, Branch::Install},
      {{"-install", "-logdir=/h"}, NoHelp, Branch::Install},
      // The order: the install option -debug does not make a console run.
      {{"-install", "-debug", "abc"}, NoHelp, Branch::Install},
      {{"-debug", "-install"}, NoHelp, Branch::Install},
      {{"-stop", "-status"}, NoHelp, Branch::Status},
      // Help words.
      {{"-h"}, Help, Branch::Usage},
      {{"/?"}, Help, Branch::Usage},
      {{"-?"}, Help, Branch::Usage},
      {{"/H"}, Help, Branch::Usage},
      {{"-HELP"}, Help, Branch::Usage},
      {{"--help"}, Help, Branch::Usage},
      {{"/Help"}, Help, Branch::Usage},
      {{"-install", "-name=x", "-engine=d:\\x", "-help"}, Help, Branch::Install},
      {{"-helpme"}, NoHelp, Branch::Usage},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& argument : c.arguments) line += " " + argument;
    EXPECT_EQ(c.help == Help, wantsHelp(c.arguments)) << line;
    EXPECT_EQ(c.branch, chooseBranch(c.arguments)) << line;
  }
}

TEST(CommandDispatch, SelectionIgnoresLetterCase) {
  // -STATUS is -status; the commands themselves see the arguments as typed.
  testing_support::ScopedRegistryKey list("SOFTWARE\\Vornware\\Services");
  ASSERT_EQ(0u, list.setText("", "LetterCase", "Listed"));
  char program[] = "vornd";
  char word[] = "-STATUS";
  char* argv[] = {program, word, nullptr};
  testing::internal::CaptureStdout();
  // The listed name is no installed service: reported, so the status is 1.
  EXPECT_EQ(1, runCommand(2, argv));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.rfind("Service Name: LetterCase\nDisplay Name: Listed\nStatus:       "
                          "OpenService failed: ", 0)) << out;
}

TEST(CommandDispatch, UsageTextByteForByte) {
  char program[] = "vornd";
  char* argv[] = {program, nullptr};
  testing::internal::CaptureStdout();
  printUsage(1, argv);
  const std::string out = testing::internal::GetCapturedStdout();

  const std::string expected = std::string(R"USAGE(
Usage:

vornd -install <install-options>
vornd -remove  -name=serviceName
vornd -status
vornd -start [serviceName]
vornd -stop [serviceName]
vornd -restart [serviceName]
vornd -modify serviceName envVar=[value] envVar=[value] ...

<install-options>
  -name=name             defines the name of the service
  -displayName=name      defines the display name for the service
  -port=port             specifies which port the service will listen on
  -engine=path           defines the complete name of the Vorn engine
  -AM=method             authentication method (see below)
  -logdir=directory      default log file directory
  -log                   create a log file
  -log=pathname          create a log and write it to given pathname
                         (overrides -logdir)
  -debug                 log detailed service information

The optional -AM argument determines the authentication method
  Acceptable values are 'Vorn' and 'LogonUser'

  With 'Vorn' authentication, passwords are validated against
  the Vorn user file

  With 'LogonUser' authentication, passwords are validated by Windows

  If you choose 'Vorn' authentication, you do not need a separate Windows user
  account for each Vorn user

Note that you can include a space-separated list of envirnoment
variables at the end of the command line when you install a new
service.  Those environment variables will be given to the Vorn
engines spawned by this service

The -displayName is optional - if you don't supply a display name
we will append the port number to the end of the service name and
use that as the display name. (The display name appears in the
Services control panel)

Examples:

  vornd -install -name=Vorn8090 -displayName="Vorn-Production(8090)"
   -port=8090 -engine=C:\Vorn.exe
    VORNPATH=c:\vorn\data VORN_KEYMAP=Windows

  vornd -remove  -name=Vorn8090
  vornd -modify Vorn8090 VORN_SQL_CMD=  VORNPATH=c:\vorn\data
(Compile Date )USAGE") + __DATE__ + R"USAGE()

If that went by too fast, try vornd | more
)USAGE";
  EXPECT_EQ(expected, out);
  // The compile date has the compiler's form: "Mmm dd yyyy", day padded.
  const std::string date = __DATE__;
  ASSERT_EQ(11u, date.size());
  EXPECT_EQ(' ', date[3]);
}

TEST(CommandDispatch, HelpWinsOverEveryCommand) {
  char program[] = "vornd";
  char word[] = "-install";
  char value[] = "-Help";
  char* argv[] = {program, word, value, nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, runCommand(3, argv));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.rfind("\nUsage:\n\n", 0)) << out;
}

}  // namespace
