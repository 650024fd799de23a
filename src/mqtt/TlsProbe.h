#pragma once
// OpenSSL checks around a TLS broker connection: whether the configured
// certificate files load, and why a handshake with a broker fails.
//
// The MQTT library verifies the broker itself but reports every refusal the
// same way, so after a failed TLS connect probeTls() makes one handshake of
// its own with the same trust settings and names the reason:
//   expired server certificate        -> "certificate expired"
//   chain not ending at a trusted CA  -> "unknown CA" (also self-signed ones)
//   certificate for another name      -> "host name mismatch"
//   peer that does not speak TLS      -> "no TLS handshake (connection closed)"
//   broker refusing the client        -> "refused by the broker (tlsv13 alert certificate required)"
#include <string>

namespace Mqtt {

// The files of a TLS connection, as this process opens them.
struct TlsFiles {
  std::string trustStore;  // PEM certificates of the trusted CAs
  // Both set or both empty (no client certificate).
  std::string clientCertificate;
  std::string clientKey;
};

// True when the file holds at least one certificate that loads as trusted.
bool trustStoreLoads(const std::string& path);
// True when the certificate chain and the private key load and match.
bool clientPairLoads(const std::string& certificate, const std::string& key);

struct TlsProbeResult {
  bool reached = false;  // a TCP connection to the broker was made
  std::string reason;    // why TLS failed; empty when the handshake passed
};

// One TLS 1.2+ handshake with host:port, verifying the chain against the
// trust store and the certificate against the host name (or IP address).
// Every step, name resolution aside, ends within timeoutMilliseconds.
TlsProbeResult probeTls(const std::string& host, int port, const TlsFiles& files, int timeoutMilliseconds);

}  // namespace Mqtt
