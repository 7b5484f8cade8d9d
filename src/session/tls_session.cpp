#include "session/tls_session.h"

#include "session/log_text.h"

std::optional<RelayVerdict> parseRelayLine(std::string_view line) {
  RelayVerdict verdict;
  if (line.substr(0, 5) == "fail ") {
    verdict.reason = printableText(std::string(line.substr(5)));
    if (verdict.reason.empty()) return std::nullopt;
    return verdict;
  }
  if (line.substr(0, 3) != "ok ") return std::nullopt;
  line.remove_prefix(3);
  const std::size_t protocolEnd = line.find(' ');
  if (protocolEnd == 0 || protocolEnd == std::string_view::npos) return std::nullopt;
  verdict.session.protocol = line.substr(0, protocolEnd);
  line.remove_prefix(protocolEnd + 1);
  const std::size_t cipherEnd = line.find(' ');
  verdict.session.cipher = line.substr(0, cipherEnd);
  if (verdict.session.cipher.empty()) return std::nullopt;
  if (cipherEnd != std::string_view::npos) {
    verdict.session.clientSubject = printableText(std::string(line.substr(cipherEnd + 1)));
  }
  verdict.accepted = true;
  return verdict;
}
