#include "admin/usage.h"

#include <cstdio>

void printUsage(int, char** argv) {
  const char* program = argv[0];
  std::printf("\nUsage:\n\n");
  std::printf("%s -install <install-options>\n", program);
  std::printf("%s -remove  -name=serviceName\n", program);
  std::printf("%s -status\n", program);
  std::printf("%s -start [serviceName]\n", program);
  std::printf("%s -stop [serviceName]\n", program);
  std::printf("%s -restart [serviceName]\n", program);
  std::printf("%s -modify serviceName envVar=[value] envVar=[value] ...\n", program);
  std::printf("\n");
  std::printf("<install-options>\n");
  std::printf("  -name=name             defines the name of the service\n");
  std::printf("  -displayName=name      defines the display name for the service\n");
  std::printf("  -port=port             specifies which port the service will listen on\n");
  std::printf("  -engine=path           defines the complete name of the Vorn engine\n");
  std::printf("  -AM=method             authentication method (see below)\n");
  std::printf("  -logdir=directory      default log file directory\n");
  std::printf("  -log                   create a log file\n");
  std::printf("  -log=pathname          create a log and write it to given pathname\n");
  std::printf("                         (overrides -logdir)\n");
  std::printf("  -debug                 log detailed service information\n");
  std::printf("\n");
  std::printf("The optional -AM argument determines the authentication method\n");
  std::printf("  Acceptable values are 'Vorn' and 'LogonUser'\n\n");
  std::printf("  With 'Vorn' authentication, passwords are validated against\n");
  std::printf("  the Vorn user file\n\n");
  std::printf("  With 'LogonUser' authentication, passwords are validated by Windows\n\n");
  std::printf("  If you choose 'Vorn' authentication, you do not need a separate Windows user\n");
  std::printf("  account for each Vorn user\n\n");
  std::printf("Note that you can include a space-separated list of envirnoment\n");
  std::printf("variables at the end of the command line when you install a new\n");
  std::printf("service.  Those environment variables will be given to the Vorn\n");
  std::printf("engines spawned by this service\n\n");
  std::printf("The -displayName is optional - if you don't supply a display name\n");
  std::printf("we will append the port number to the end of the service name and\n");
  std::printf("use that as the display name. (The display name appears in the\n");
  std::printf("Services control panel)\n\n");
  std::printf("Examples:\n\n");
  std::printf(
      "  %s -install -name=Vorn8090 -displayName=\"Vorn-Production(8090)\"\n   -port=8090 "
      "-engine=C:\\Vorn.exe\n    VORNPATH=c:\\vorn\\data VORN_KEYMAP=Windows\n\n",
      program);
  std::printf("  %s -remove  -name=Vorn8090\n", program);
  std::printf("  %s -modify Vorn8090 VORN_SQL_CMD=  VORNPATH=c:\\vorn\\data\n", program);
  std::printf("(Compile Date %s)\n\n", __DATE__);
  std::printf("If that went by too fast, try %s | more\n", program);
  std::fflush(stdout);
}
