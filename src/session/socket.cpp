#include "session/socket.h"

CSocket::CSocket(platform::SocketHandle handle) : m_hSocket(handle) {}

CSocket::~CSocket() { Close(); }

int CSocket::Receive(void* buffer, int count) {
  if (count <= 0) return 0;
  char* cursor = static_cast<char*>(buffer);
  int missing = count;
  while (missing > 0) {
    int got = platform::receiveSocket(m_hSocket, cursor, missing);
    if (got <= 0) return 0;
    cursor += got;
    missing -= got;
  }
  return count;
}

int CSocket::Read(void* buffer, int size) {
  if (buffer == nullptr || size <= 0) return -1;
  return platform::receiveSocket(m_hSocket, buffer, size);
}

int CSocket::Send(const void* bytes, int length) {
  if (bytes == nullptr || length <= 0) return -1;
  return platform::sendSocket(m_hSocket, bytes, length);
}

int CSocket::Send(const std::string& text) {
  return Send(text.data(), static_cast<int>(text.size()));
}

void CSocket::Shutdown() {
  if (m_hSocket != platform::kInvalidSocket) platform::shutdownSend(m_hSocket);
}

void CSocket::Close() {
  if (m_hSocket == platform::kInvalidSocket) return;
  platform::closeSocket(m_hSocket);
  m_hSocket = platform::kInvalidSocket;
}

CSocket& CSocket::Connect(const char* host, std::uint16_t port) {
  if (host == nullptr) throw CSocketException("Invalid parameters");

  // Never balanced by a cleanup: this object cannot know whether it was
  // the process's last user of sockets.
  if (platform::startSockets(2, 0) != 0) throw CSocketException("WSAStartup( ) failed");
  // A socket this object already owned would otherwise leak.
  Close();
  m_hSocket = platform::createTcpSocket();
  if (m_hSocket == platform::kInvalidSocket) throw CSocketException("socket( ) failed");
  m_address = platform::Ipv4Endpoint{0, port};

  if (!platform::parseDottedIpv4(host, &m_address.address) &&
      !platform::lookupHostIpv4(host, &m_address.address)) {
    throw CSocketException("Unable to solve this address");
  }
  if (!platform::connectSocket(m_hSocket, m_address)) throw CSocketException("connect( ) failed");
  return *this;
}

std::unique_ptr<CSocket> CSocket::Accept() {
  platform::SocketHandle accepted = platform::acceptSocket(m_hSocket, &m_address);
  if (accepted == platform::kInvalidSocket) return nullptr;
  return std::make_unique<CSocket>(accepted);
}
