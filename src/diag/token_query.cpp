#include "diag/token_query.h"

ProcessTokenQuery::~ProcessTokenQuery() {
  if (m_token != nullptr) platform::closeToken(m_token);
}

bool ProcessTokenQuery::open(std::uint32_t access) {
  if (m_token != nullptr) platform::closeToken(m_token);
  return platform::openProcessToken(access, m_token);
}

bool ProcessTokenQuery::information(platform::TokenClass tokenClass, void* buffer,
                                    std::uint32_t size, std::uint32_t* needed) {
  return platform::getTokenInformation(m_token, tokenClass, buffer, size, needed);
}
