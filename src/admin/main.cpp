// The one executable: daemon and console administration tool.
#include "admin/command_dispatch.h"

int main(int argc, char** argv) {
  return runCommand(argc, argv);
}
