// The builds without a TLS library (Windows among them): --tls is refused
// before anything is asked for or sent.
#include "vornlogin/connection_stream.h"

namespace vornlogin {

std::unique_ptr<TlsClient> makeTlsClient(const Options&, std::string& error) {
  error = "this build has no TLS";
  return nullptr;
}

}  // namespace vornlogin
