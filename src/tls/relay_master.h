// The master: holds the loaded context, takes sessions from the daemon's
// channel and forks one process per session.
#pragma once

#include <pwd.h>

#include <string>

#include "tls/tls_context.h"

namespace vornd_tls {

struct MasterSettings {
  ContextFiles files;
  int handshakeSeconds = 0;
};

// One message on the channel (a sequenced-packet socket, so one send is
// one message); failures are not reported, as there is no one to tell.
void sendChannelMessage(int channel, const std::string& text);

// The account the relay gives up root for: its own, or nobody's when
// there is none (`warning` then says so). Null when neither exists, with
// `error` saying so.
const passwd* relayAccount(std::string& warning, std::string& error);

// Runs the master on `channel` and returns its exit status: 1 when it
// could not start (after telling the daemon why), 0 once the channel ends.
int runMaster(int channel, const MasterSettings& settings);

}  // namespace vornd_tls
