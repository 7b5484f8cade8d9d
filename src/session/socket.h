// CSocket: the only owner of one TCP socket handle, with the reads and
// writes the session code needs. CSocketException: the error of the
// client-side set-up and connect, the only operation here that throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/net.h"

class CSocketException {
 public:
  explicit CSocketException(const char* message) : m_strMessage(message) {}

  const char* what() const { return m_strMessage.c_str(); }

 private:
  std::string m_strMessage;
};

class CSocket {
 public:
  explicit CSocket(platform::SocketHandle handle = platform::kInvalidSocket);
  ~CSocket();
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;

  platform::SocketHandle Handle() const { return m_hSocket; }

  // Reads exactly count bytes: count, or 0 when the connection ended or
  // failed first (what did arrive stays in the buffer). Blocks as long as
  // the socket does.
  int Receive(void* buffer, int count);
  // One receive: the bytes read, 0 at end of stream, -1 on failure or for
  // a null buffer or a size of 0.
  int Read(void* buffer, int size);
  // One send, not repeated when partial: the bytes sent, or -1 on failure
  // or for null or empty data.
  int Send(const void* bytes, int length);
  int Send(const std::string& text);

  void Shutdown();
  // Safe to repeat: only the first call closes the handle.
  void Close();
  // Gives the handle up without closing it: its new owner closes it.
  platform::SocketHandle Release() {
    const platform::SocketHandle handle = m_hSocket;
    m_hSocket = platform::kInvalidSocket;
    return handle;
  }

  // Makes a new socket and connects it to host (dotted IPv4 text, else a
  // name looked up) and port. Throws CSocketException.
  CSocket& Connect(const char* host, std::uint16_t port);
  // The next connection on this listening socket; null on failure.
  std::unique_ptr<CSocket> Accept();

 private:
  platform::SocketHandle m_hSocket;
  // Connect's destination, or the peer of the last Accept.
  platform::Ipv4Endpoint m_address;
};
