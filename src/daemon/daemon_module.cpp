// The daemon module's binding of the operating system's callbacks to the
// one daemon object.
#include "daemon/vornd.h"

CVornD* g_pDaemon = nullptr;

void DaemonServiceMain(std::uint32_t argc, char** argv) {
  g_pDaemon->ServiceMain(argc, argv, DaemonControlHandler, DaemonWorkerThread);
}

void DaemonControlHandler(std::uint32_t control) { g_pDaemon->HandleControl(control); }

unsigned DaemonWorkerThread(void*) { return g_pDaemon->WaitForControls(); }
