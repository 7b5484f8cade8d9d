#include "admin/version.h"

#include "admin/build_version.h"

std::string versionText(const std::string& tlsLibrary) {
  std::string text = "vornd " VORND_VERSION "\nbuilt " VORND_BUILD_DATE "\n";
  text += tlsLibrary.empty() ? "TLS: none (no vornd-tls beside this program)\n"
                             : "TLS: " + tlsLibrary + " (vornd-tls)\n";
  return text;
}
