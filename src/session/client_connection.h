// One accepted connection while the connection loop still serves it: its
// login record coming in, or its status page going out. Once the record
// is whole and screened, the connection leaves the loop for a worker.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/net.h"
#include "session/net_login.h"
#include "session/socket.h"
#include "session/status_page.h"
#include "session/tls_session.h"

struct ClientConnection {
  using Clock = std::chrono::steady_clock;

  enum class Stage {
    Record,  // reading the login record (or the start of a request)
    Page,    // sending the status page
    Relay,   // over TLS: waiting for the relay's word on the handshake
  };

  // Still to send its record, for the bounds: a TLS handshake counts as
  // part of it.
  bool reading() const { return stage == Stage::Record || stage == Stage::Relay; }

  std::unique_ptr<CSocket> client;
  platform::Endpoint peer;
  // What it counts under for the bounds per source, the failure limits
  // and the log's caps (sourceOf its address).
  platform::NetAddress source;
  Stage stage = Stage::Record;
  // Record: when the whole record must be in. Page: when the page is
  // abandoned unless more of it has gone out.
  Clock::time_point deadline;
  // Holds the password; wiped where the connection ends (net_login.h).
  netLogin login;
  std::size_t received = 0;
  // When the whole record was in.
  Clock::time_point wholeAt;
  // Page: the response, and how much of it has gone out.
  PageResponse page;
  std::size_t sent = 0;
  // Whether its first bytes were looked at yet, on an instance that takes
  // TLS; a clear instance never looks.
  bool transportKnown = true;
  // From a balancer named in ProxyProtocolFrom: its PROXY header is still
  // to be read (the part read so far held here), before anything else.
  bool proxyHeaderDue = false;
  std::string proxyHeader;
  // The peer and source are the ones a PROXY header named: the socket
  // does not show them.
  bool proxied = false;
  // Set once the relay has made the handshake.
  std::optional<TlsSession> tls;
  // Given on (to a worker, or to the logins waiting for one), with the
  // socket and the source's count.
  bool handedOver = false;
};
