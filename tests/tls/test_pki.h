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

namespace tls_testing {

struct TestPki {
  std::string dir;
  std::string caCert;
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
    const auto file = [&](const char* name) { return (root / name).string(); };
    pki.caCert = file("ca.pem");
    pki.serverCert = file("server.pem");
    pki.serverKey = file("server.key");
    pki.clientCert = file("client.pem");
    pki.clientKey = file("client.key");
    pki.otherCaCert = file("other-ca.pem");
    pki.otherClientCert = file("other-client.pem");
    pki.otherClientKey = file("other-client.key");
    pki.strayKey = file("stray.key");

    std::ofstream(file("pki.cnf")) << "[req]\n"
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
    const std::string config = " -config '" + file("pki.cnf") + "'";
    const std::string newKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    const auto quoted = [](const std::string& path) { return " '" + path + "'"; };
    const auto makeCa = [&](const std::string& cert, const std::string& key, const char* cn) {
      run("openssl req -x509 -days 2" + newKey + config + " -extensions ca -subj '/CN=" + cn +
          "' -keyout" + quoted(key) + " -out" + quoted(cert));
    };
    int serial = 1;
    const auto issue = [&](const std::string& caCert, const std::string& caKey,
                           const std::string& cert, const std::string& key, const char* cn,
                           const char* extensions) {
      const std::string request = cert + ".csr";
      run("openssl req -new" + newKey + config + " -subj '/CN=" + cn + "' -keyout" +
          quoted(key) + " -out" + quoted(request));
      run("openssl x509 -req -days 2 -set_serial " + std::to_string(serial++) + " -in" +
          quoted(request) + " -CA" + quoted(caCert) + " -CAkey" + quoted(caKey) + " -extfile" +
          quoted(file("pki.cnf")) + " -extensions " + extensions + " -out" + quoted(cert));
    };
    makeCa(pki.caCert, file("ca.key"), "vornd test CA");
    issue(pki.caCert, file("ca.key"), pki.serverCert, pki.serverKey, "localhost", "server");
    issue(pki.caCert, file("ca.key"), pki.clientCert, pki.clientKey, "vornd test client",
          "client");
    makeCa(pki.otherCaCert, file("other-ca.key"), "vornd other CA");
    issue(pki.otherCaCert, file("other-ca.key"), pki.otherClientCert, pki.otherClientKey,
          "vornd stranger", "client");
    run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out" +
        quoted(pki.strayKey));
    return pki;
  }

 private:
  static void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
      throw std::runtime_error("failed: " + command);
    }
  }

  std::shared_ptr<void> m_owner;
};

}  // namespace tls_testing
