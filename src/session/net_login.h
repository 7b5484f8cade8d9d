// The login record a client sends, and the daemon's 2-byte reply.
//
//   bytes     field      text
//   0-20      user       NUL-terminated from byte 0
//   21-73     password   NUL-terminated from byte 21
//   74-119    startup    "-fms_server...", "-odbc_server...", or the four below
//   74-76       ap       padded on the right with blanks or NULs
//   77-79       db
//   80-89       type
//   90-119      process
//   120-330   rest       carried, not read
#pragma once

#include <cstddef>
#include <string>

#include "platform/wipe.h"

struct netLogin {
  static constexpr std::size_t kSize = 331;
  static constexpr std::size_t kUser = 0, kUserSize = 21;
  static constexpr std::size_t kPassword = 21, kPasswordSize = 53;
  static constexpr std::size_t kStartup = 74, kStartupSize = 46;
  static constexpr std::size_t kAp = 74, kApSize = 3;
  static constexpr std::size_t kDb = 77, kDbSize = 3;
  static constexpr std::size_t kType = 80, kTypeSize = 10;
  static constexpr std::size_t kProcess = 90, kProcessSize = 30;

  char bytes[kSize] = {};

  // Every copy holds the client's password: a record moved from is blank
  // at once, and each is wiped where it ends (in a connection, a job, or
  // wherever else it was copied to).
  netLogin() = default;
  netLogin(const netLogin&) = default;
  netLogin& operator=(const netLogin&) = default;
  netLogin(netLogin&& other) noexcept : netLogin(other) { other.wipe(); }
  netLogin& operator=(netLogin&& other) noexcept {
    if (this != &other) {
      *this = other;
      other.wipe();
    }
    return *this;
  }
  ~netLogin() { wipe(); }
  void wipe() { platform::wipeMemory(bytes, sizeof bytes); }

  // A text field: up to its first zero byte, or its whole range when it
  // holds none; nothing beyond the field is read.
  std::string text(std::size_t offset, std::size_t size) const;
  std::string user() const { return text(kUser, kUserSize); }
  std::string password() const { return text(kPassword, kPasswordSize); }
  // True when startup begins with the command text (compared over the
  // command's own length).
  bool startupBeginsWith(const char* command) const;
};

// The login reply.
inline constexpr char kLoginAccepted[2] = {0x00, 0x01};
inline constexpr char kLoginRefused[2] = {0x00, 0x00};
