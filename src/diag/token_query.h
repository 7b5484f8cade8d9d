// How the token dump reads a token: opened once, then asked class by
// class. The daemon asks its own process token; tests put themselves in
// between to see or change what the dump is given.
#pragma once

#include <cstdint>

#include "platform/token.h"

class TokenQuery {
 public:
  virtual ~TokenQuery() = default;
  // False with the last error set.
  virtual bool open(std::uint32_t access) = 0;
  // As platform::getTokenInformation on the opened token.
  virtual bool information(platform::TokenClass tokenClass, void* buffer, std::uint32_t size,
                           std::uint32_t* needed) = 0;
};

// The current process's token; closed with the query.
class ProcessTokenQuery : public TokenQuery {
 public:
  ProcessTokenQuery() = default;
  ~ProcessTokenQuery() override;
  ProcessTokenQuery(const ProcessTokenQuery&) = delete;
  ProcessTokenQuery& operator=(const ProcessTokenQuery&) = delete;

  bool open(std::uint32_t access) override;
  bool information(platform::TokenClass tokenClass, void* buffer, std::uint32_t size,
                   std::uint32_t* needed) override;

 private:
  platform::ProcessToken m_token = nullptr;
};
