#include "session/page_delivery.h"

#include <chrono>

#include "platform/net.h"

namespace {

// At most this much of the page each time the client can take more, so
// that a large page never keeps the loop from the other connections (some
// systems, Wine among them, are slow to take a large send).
constexpr std::size_t kLargestPiece = 256 * 1024;

// Only the request's first bytes were read. Closing a socket over bytes
// never read resets the connection, and the reset throws away whatever of
// the page is still queued for a reader slower than the send: read what
// has arrived (bounded, never waiting) so that the close is an orderly end.
void discardUnreadRequest(CSocket& client) {
  constexpr int kMostDiscarded = 64 * 1024;
  char buffer[2048];
  for (int discarded = 0; discarded < kMostDiscarded;) {
    const int got = platform::receiveReady(client.Handle(), buffer, sizeof buffer);
    if (got <= 0) return;
    discarded += got;
  }
}

ClientConnection::Clock::time_point boundFromNow(std::uint32_t seconds) {
  return ClientConnection::Clock::now() + std::chrono::seconds(seconds);
}

}  // namespace

void beginPage(ClientConnection& connection, PageResponse page, std::uint32_t boundSeconds) {
  connection.stage = ClientConnection::Stage::Page;
  connection.page = std::move(page);
  connection.sent = 0;
  connection.deadline = boundFromNow(boundSeconds);
}

bool progressPage(ClientConnection& connection, std::uint32_t boundSeconds) {
  CSocket& client = *connection.client;
  const PageResponse& page = connection.page;
  // Each piece taken gives the client another full bound for the next. A
  // failed send only means the client left.
  if (connection.sent < page.size()) {
    // The pieces left, as far as the largest send, go in one call: a page
    // that fits the socket's room leaves at once, whole.
    std::string_view runs[2];
    int count = 0;
    std::size_t room = kLargestPiece;
    for (std::size_t at = connection.sent; count < 2 && room > 0;) {
      const std::string_view piece = page.pieceAt(at).substr(0, room);
      if (piece.empty()) break;
      runs[count++] = piece;
      at += piece.size();
      room -= piece.size();
    }
    const int sent = platform::sendReadyGathered(client.Handle(), runs, count);
    if (sent > 0) {
      connection.sent += static_cast<std::size_t>(sent);
      connection.deadline = boundFromNow(boundSeconds);
    }
    const bool wouldBlock = sent < 0 && platform::lastSocketError() == platform::kWsaWouldBlock;
    if ((sent > 0 && connection.sent < page.size()) || wouldBlock) return true;
  }
  client.Shutdown();
  discardUnreadRequest(client);
  client.Close();
  connection.page = PageResponse();
  return false;
}
