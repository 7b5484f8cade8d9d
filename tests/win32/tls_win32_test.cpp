// This build has no TLS: an instance that asks for it is reported and
// serves nothing, never its port in clear.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "serving_fixture.h"

namespace {

class NoTlsBuild : public testing_support::ServingFixture {};

TEST_F(NoTlsBuild, AnInstanceThatAsksForTlsIsReportedAndListensOnNothing) {
  for (const char* mode : {"Optional", "Required"}) {
    SCOPED_TRACE(mode);
    config("SockTLS", mode);
    config("TLSCertificateFile", m_dir.file("cert.pem"));
    config("TLSKeyFile", m_dir.file("key.pem"));
    m_tap.clear();
    testing_support::DaemonRunner<testing_support::ServingDaemon> run(m_name);
    run.start();
    bool reported = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!reported && std::chrono::steady_clock::now() < until) {
      for (const auto& event : m_tap.events(platform::EventType::Error)) {
        reported = reported || event.text.find("this build of vornd has no TLS") != std::string::npos;
      }
      if (!reported) platform::sleepMs(20);
    }
    EXPECT_TRUE(reported);
    EXPECT_EQ(0, run.daemon().port());
    run.stop();
  }
}

}  // namespace
