// Certificates and keys for TLS tests, made with the openssl tool in a
// temporary directory that goes when the last copy of the TestPki does:
// a CA with a server certificate for localhost and a client certificate,
// a second CA with a client certificate of its own, and a key that matches
// no certificate. All keys are EC P-256, so making them is quick.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace tls_testing {

struct TestPki {
  std::string dir;
  std::string caCert, caKey;
  std::string serverCert, serverKey;  // CN=localhost, DNS:localhost, IP:127.0.0.1
  std::string clientCert, clientKey;  // CN=vornd test client, from caCert
  std::string otherCaCert;
  std::string otherClientCert, otherClientKey;  // CN=vornd stranger, from otherCaCert
  std::string strayKey;

  // Throws std::runtime_error when the openssl tool fails.
  static TestPki make() {
    static int counter = 0;
    TestPki pki;
    const std::filesystem::path root = std::filesystem::temp_directory_path() /
        ("vornd-pki-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    pki.dir = root.string();
    pki.m_owner = std::shared_ptr<void>(nullptr, [root](void*) {
      std::error_code ignored;
      std::filesystem::remove_all(root, ignored);
    });
    std::ofstream(pki.path("pki.cnf")) << "[req]\n"
                                          "distinguished_name = dn\n"
                                          "prompt = no\n"
                                          "[dn]\n"
                                          "[ca]\n"
                                          "basicConstraints = critical,CA:TRUE\n"
                                          "keyUsage = critical,keyCertSign,cRLSign\n"
                                          "subjectKeyIdentifier = hash\n"
                                          "[server]\n"
                                          "basicConstraints = CA:FALSE\n"
                                          "keyUsage = critical,digitalSignature\n"
                                          "extendedKeyUsage = serverAuth\n"
                                          "subjectAltName = DNS:localhost,IP:127.0.0.1\n"
                                          "[client]\n"
                                          "basicConstraints = CA:FALSE\n"
                                          "keyUsage = critical,digitalSignature\n"
                                          "extendedKeyUsage = clientAuth\n";
    std::tie(pki.caCert, pki.caKey) = pki.makeCa("ca", "/CN=vornd test CA");
    std::tie(pki.serverCert, pki.serverKey) =
        pki.issue(pki.caCert, pki.caKey, "server", "/CN=localhost", "server");
    std::tie(pki.clientCert, pki.clientKey) = pki.issueClient("client", "/CN=vornd test client");
    std::string otherCaKey;
    std::tie(pki.otherCaCert, otherCaKey) = pki.makeCa("other-ca", "/CN=vornd other CA");
    std::tie(pki.otherClientCert, pki.otherClientKey) =
        pki.issue(pki.otherCaCert, otherCaKey, "other-client", "/CN=vornd stranger", "client");
    pki.strayKey = pki.path("stray.key");
    run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out" +
        quoted(pki.strayKey));
    return pki;
  }

  // A further client certificate from caCert, for a subject in the openssl
  // tool's form ("/O=x/CN=y"): {certificate, key}, named after `name`.
  std::pair<std::string, std::string> issueClient(const std::string& name,
                                                   const std::string& subject) const {
    return issue(caCert, caKey, name, subject, "client");
  }

 private:
  static void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
      throw std::runtime_error("failed: " + command);
    }
  }
  static std::string quoted(const std::string& text) { return " '" + text + "'"; }
  static constexpr const char* kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";

  std::string path(const std::string& name) const { return dir + "/" + name; }
  std::string config() const { return " -config" + quoted(path("pki.cnf")); }

  std::pair<std::string, std::string> makeCa(const std::string& name,
                                             const std::string& subject) const {
    const std::string cert = path(name + ".pem"), key = path(name + ".key");
    run("openssl req -x509 -days 2" + std::string(kNewKey) + config() +
        " -extensions ca -subj" + quoted(subject) + " -keyout" + quoted(key) + " -out" +
        quoted(cert));
    return {cert, key};
  }

  std::pair<std::string, std::string> issue(const std::string& issuerCert,
                                            const std::string& issuerKey, const std::string& name,
                                            const std::string& subject,
                                            const char* extensions) const {
    const std::string cert = path(name + ".pem"), key = path(name + ".key");
    const std::string request = path(name + ".csr");
    run("openssl req -new" + std::string(kNewKey) + config() + " -subj" + quoted(subject) +
        " -keyout" + quoted(key) + " -out" + quoted(request));
    // A serial of its own per certificate, as a CA would give.
    run("openssl x509 -req -days 2 -set_serial 0x" + std::to_string(::getpid()) +
        std::to_string(++m_serial) + " -in" + quoted(request) + " -CA" + quoted(issuerCert) +
        " -CAkey" + quoted(issuerKey) + " -extfile" + quoted(path("pki.cnf")) + " -extensions " +
        extensions + " -out" + quoted(cert));
    return {cert, key};
  }

  std::shared_ptr<void> m_owner;
  mutable int m_serial = 0;
};

}  // namespace tls_testing
