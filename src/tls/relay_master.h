// The master: holds the loaded context, takes sessions from the daemon's
// channel and forks one process per session.
#pragma once

#include "tls/tls_context.h"

namespace vornd_tls {

struct MasterSettings {
  ContextFiles files;
  int handshakeSeconds = 0;
};

// One message on the channel (a sequenced-packet socket, so one send is
// one message); failures are not reported, as there is no one to tell.
void sendChannelMessage(int channel, const std::string& text);

// Runs the master on `channel` and returns its exit status: 1 when it
// could not start (after telling the daemon why), 0 once the channel ends.
int runMaster(int channel, const MasterSettings& settings);

}  // namespace vornd_tls
