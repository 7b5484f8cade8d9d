// Sending a status page on a connection that must never block: as much as
// the client can take each time it can take more, then an orderly end.
#pragma once

#include <cstdint>

#include "session/client_connection.h"

// Makes `connection` a page connection for `page`, due to make progress
// within `boundSeconds`.
void beginPage(ClientConnection& connection, PageResponse page, std::uint32_t boundSeconds);
// Sends what the client can take now, within one bounded send; true while more
// is left to send. Once the page is out, or the client has left, the
// connection is shut down and closed and false returned.
bool progressPage(ClientConnection& connection, std::uint32_t boundSeconds);
