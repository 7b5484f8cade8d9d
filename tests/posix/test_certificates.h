// Certificates made by the openssl program for a test run: a test
// authority ("ca"), a second one nobody trusts ("other-ca"), server
// certificates valid for localhost and 127.0.0.1 ("local") or for another
// name only ("elsewhere"), and a client certificate of the test authority
// ("client"). Each is <name>.pem with its key in <name>.key; EC P-256 keys
// throughout, made once per test binary.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "posix/run_program.h"
#include "temp_dir.h"

namespace testing_support {

inline const std::string kOpensslProgram = "/usr/bin/openssl";

inline const char kCertificateExtensions[] =
    "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\n"
    "[authority]\nbasicConstraints = critical,CA:true\n"
    "keyUsage = critical,keyCertSign\nsubjectKeyIdentifier = hash\n"
    "[local]\nsubjectAltName = DNS:localhost,IP:127.0.0.1\nextendedKeyUsage = serverAuth\n"
    "[elsewhere]\nsubjectAltName = DNS:elsewhere.example\nextendedKeyUsage = serverAuth\n"
    "[client]\nextendedKeyUsage = clientAuth\n";

// The certificates, made once for every test here; EC P-256 keys throughout.
class Certificates {
 public:
  static const Certificates& get() {
    static const Certificates made;
    return made;
  }
  bool ready() const { return m_ready; }
  std::string file(const std::string& name) const { return m_dir.file(name); }

 private:
  Certificates() {
    testing_support::writeFile(file("x509.cnf"), kCertificateExtensions);
    m_ready = authority("ca", "vornd test authority") &&
              authority("other-ca", "another authority") && issued("local", "localhost") &&
              issued("elsewhere", "elsewhere.example") && issued("client", "vornlogin client");
  }
  bool openssl(const std::vector<std::string>& args) const {
    const Outcome outcome = runProgram(kOpensslProgram, args);
    EXPECT_EQ(0, outcome.exitCode) << args[0] << ": " << outcome.err;
    return outcome.exitCode == 0;
  }
  std::vector<std::string> newKey(const std::string& name, const std::string& commonName) const {
    return {"-config", file("x509.cnf"), "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
            "-nodes", "-keyout", file(name + ".key"), "-subj", "/CN=" + commonName};
  }
  bool authority(const std::string& name, const std::string& commonName) const {
    std::vector<std::string> args{"req", "-x509", "-extensions", "authority", "-days", "2",
                                  "-out", file(name + ".pem")};
    for (const std::string& arg : newKey(name, commonName)) args.push_back(arg);
    return openssl(args);
  }
  // Signed by "ca", with the extensions of the section of the same name.
  bool issued(const std::string& name, const std::string& commonName) const {
    std::vector<std::string> request{"req", "-new", "-out", file(name + ".csr")};
    for (const std::string& arg : newKey(name, commonName)) request.push_back(arg);
    return openssl(request) &&
           openssl({"x509", "-req", "-in", file(name + ".csr"), "-CA", file("ca.pem"), "-CAkey",
                    file("ca.key"), "-set_serial", std::to_string(++m_serial), "-days", "2",
                    "-extfile", file("x509.cnf"), "-extensions", name, "-out",
                    file(name + ".pem")});
  }

  testing_support::TemporaryDirectory m_dir;
  mutable int m_serial = 0;
  bool m_ready = false;
};

}  // namespace testing_support
