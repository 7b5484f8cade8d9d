#include <gtest/gtest.h>

#include "registry_fixture.h"

#include <string>

#include "admin/command_dispatch.h"
#include "admin/usage.h"

namespace {

TEST(CommandDispatch, HelpWordsAnywhereInTheLine) {
  EXPECT_TRUE(wantsHelp("vornd -h"));
  EXPECT_TRUE(wantsHelp("vornd /?"));
  EXPECT_TRUE(wantsHelp("vornd -?"));
  EXPECT_TRUE(wantsHelp("vornd -install -name=x vornpath=c:/home/x"));  // "/h" in a value
  EXPECT_TRUE(wantsHelp("/opt/my-home/vornd -runservice"));             // "-h" in the path
  EXPECT_TRUE(wantsHelp("vornd -install -name=x -engine=d:\\x -help"));
  EXPECT_FALSE(wantsHelp("vornd -status"));
  EXPECT_FALSE(wantsHelp("vornd -install -name=vorn8090 -port=8090"));
}

TEST(CommandDispatch, FirstWordInFixedOrderWins) {
  EXPECT_EQ(Branch::Status, chooseBranch("vornd -status"));
  EXPECT_EQ(Branch::Start, chooseBranch("vornd -start svc"));
  EXPECT_EQ(Branch::Start, chooseBranch("vornd -startup"));
  EXPECT_EQ(Branch::Stop, chooseBranch("vornd -stop"));
  EXPECT_EQ(Branch::Restart, chooseBranch("vornd -restart svc"));
  EXPECT_EQ(Branch::Modify, chooseBranch("vornd -modify svc a=b"));
  EXPECT_EQ(Branch::Install, chooseBranch("vornd -installed"));
  EXPECT_EQ(Branch::Remove, chooseBranch("vornd -remove -name=x"));
  EXPECT_EQ(Branch::Debug, chooseBranch("vornd -debug svc"));
  EXPECT_EQ(Branch::RunService, chooseBranch("c:\\vorn\\vornd.exe -runservice"));
  EXPECT_EQ(Branch::Usage, chooseBranch("vornd"));
  EXPECT_EQ(Branch::Usage, chooseBranch("vornd status start"));

  // A word inside a value takes its branch when it comes earlier.
  EXPECT_EQ(Branch::Stop, chooseBranch("vornd -install -name=a -engine=c:\\x-stop\\vorn.exe"));
  EXPECT_EQ(Branch::Start, chooseBranch("vornd -modify svc mode=-start"));
  // The install option -debug does not make a console run.
  EXPECT_EQ(Branch::Install, chooseBranch("vornd -install -name=a -debug"));
}

TEST(CommandDispatch, SelectionIgnoresLetterCase) {
  // runCommand lowers the raw line before it looks, so -STATUS is -status;
  // the argument vector keeps its case for the commands themselves.
  testing_support::ScopedRegistryKey list("SOFTWARE\\Vornware\\Services");
  ASSERT_EQ(0u, list.setText("", "LetterCase", "Listed"));
  char program[] = "vornd";
  char word[] = "-STATUS";
  char* argv[] = {program, word, nullptr};
  testing::internal::CaptureStdout();
  // The listed name is no installed service: reported, so the status is 1.
  EXPECT_EQ(1, runCommand(2, argv, "vornd -STATUS"));
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
  char value[] = "-logdir=/h";
  char* argv[] = {program, word, value, nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, runCommand(3, argv, "vornd -install -logdir=/h"));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.rfind("\nUsage:\n\n", 0)) << out;
}

}  // namespace
