// What `vornd --version` prints: the project's version, the build's date
// and the TLS library's version, as the relay (the one program linked with
// it) reports it.
#pragma once

#include <string>

// Lines, each ending in a line break. `tlsLibrary` is the relay's answer,
// empty when there is no relay or it did not answer.
std::string versionText(const std::string& tlsLibrary);
