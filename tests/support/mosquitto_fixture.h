#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/temp_dir.h"

namespace orvane::test {

// A real mosquitto on loopback with a generated configuration in a temp dir.
// Start waits until the broker reports itself running and its ports accept
// connections; when it ends at once (a port taken by another process
// meanwhile), the constructor tries again on new ports. The destructor stops it
// (SIGTERM, wait). The child also gets SIGTERM if the test process dies, so
// no broker outlives a run.
class TMosquitto {
 public:
  struct TOptions {
    // An extra TLS listener; its certificate is signed by a CA of its own (CaFile), both made
    // by the openssl command.
    bool Tls = false;
    // The names the certificate is made out to.
    std::string TlsSubjectAltName = "DNS:localhost,IP:127.0.0.1";
    bool TlsExpired = false;  // the certificate ran out yesterday
    std::string UserName;     // with a user: password file, anonymous clients refused
    std::string Password;
    bool TcpNoDelay = false;  // broker sends without Nagle's delay (latency measurements)
    // A bridge to the broker on this loopback port, carrying BridgeTopic both ways (with the
    // account above, when there is one); it reconnects every second while that broker is away.
    uint16_t BridgeTo = 0;
    std::string BridgeTopic = "orvane/#";
  };

  TMosquitto() : TMosquitto(TOptions{}) {}
  explicit TMosquitto(const TOptions& AOptions);
  ~TMosquitto();
  TMosquitto(const TMosquitto&) = delete;
  TMosquitto& operator=(const TMosquitto&) = delete;

  // (Re)starts on the same ports; false when it did not accept connections in time.
  bool Start();
  void Stop();
  bool Running() const { return FPid > 0; }

  uint16_t Port() const { return FPort; }
  uint16_t TlsPort() const { return FTlsPort; }
  // The CA that signed the TLS listener's certificate.
  std::string CaFile() const;
  // What the broker wrote, for failure messages.
  std::string Log() const;
  // How many QoS 0 subscriptions to ATopic the broker has taken so far (restarts included):
  // a publication after that reaches them all.
  size_t Subscriptions(const std::string& ATopic) const;

 private:
  void WriteConfig();

  TOptions FOptions;
  TTempDir FDir;
  bool FEndedAtStart = false;  // the last Start failed because the broker ended
  uint16_t FPort = 0;
  uint16_t FTlsPort = 0;
  pid_t FPid = -1;
};

// A certificate authority of its own in ADir (ca.pem, ca.key), made by the openssl
// command; returns the path of ca.pem.
std::string MakeTestCa(const std::string& ADir);

}  // namespace orvane::test
