#include "vornlogin/connection_stream.h"

#include <atomic>
#include <optional>

#include "common/socket_io.h"

namespace vornlogin {

namespace {

class PlainStream final : public ConnectionStream {
 public:
  explicit PlainStream(platform::SocketHandle socket) : m_socket(socket) {}

  bool sendAll(const char* bytes, std::size_t length) override {
    if (tools::sendAll(m_socket, bytes, length)) return true;
    m_error = platform::lastSocketError();
    return false;
  }

  int receive(char* buffer, std::size_t length) override {
    const int got = platform::receiveSocket(m_socket, buffer, static_cast<int>(length));
    if (got >= 0) return got;
    m_error = platform::lastSocketError();
    return -1;
  }

  void shutdownSend() override { platform::shutdownSend(m_socket); }

  std::string failure() const override { return errorText(m_error); }

 private:
  platform::SocketHandle m_socket;
  // Set by whichever direction failed last; the two run on two threads.
  std::atomic<platform::ErrorCode> m_error{0};
};

}  // namespace

std::unique_ptr<ConnectionStream> plainStream(platform::SocketHandle socket) {
  return std::make_unique<PlainStream>(socket);
}

std::string errorText(platform::ErrorCode code) {
  const std::string number = "error " + std::to_string(code);
  std::optional<std::string> text = platform::systemErrorText(code);
  if (!text) return number;
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
  return *text + " (" + number + ")";
}

}  // namespace vornlogin
