#include "mqtt/BrokerTls.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/FixedText.h"
#include "core/Log.h"
#include "platform/Platform.h"

namespace Mqtt {

namespace {

// A CA bundle of a few hundred certificates is well below this; a larger
// file is not read at all.
constexpr off_t maxCertificateFileBytes = 2 << 20;
// Distinct things one streak says, at most (brokers tried and E messages;
// connection tests can bring in any number of brokers).
constexpr size_t maxSaid = 16;

}  // namespace

TlsLocations TlsLocations::process() {
  auto file = [](const char* name) { return TlsFile{name, Platform::path(name)}; };
  return TlsLocations{file("/data/etc/mqtt-ca.pem"), file("/etc/ssl/certs/ca-certificates.crt"),
                      file("/data/etc/mqtt-client.pem"), file("/data/etc/mqtt-client.key")};
}

TlsChecks BrokerTls::processChecks() {
  TlsChecks checks;
  checks.probe = [](const std::string& host, int port, const TlsFiles& files) {
    return probeTls(host, port, files, probeMilliseconds);
  };
  return checks;
}

BrokerTls::BrokerTls(TlsLocations fileLocations, TlsChecks opensslChecks)
    : locations(std::move(fileLocations)), checks(std::move(opensslChecks)) {}

BrokerTls::Stamp BrokerTls::stampOf(const std::string& path) {
  Stamp stamp;
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return stamp;
  stamp.exists = true;
  stamp.regular = S_ISREG(status.st_mode);
  stamp.device = status.st_dev;
  stamp.inode = status.st_ino;
  stamp.size = status.st_size;
  stamp.modified = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  return stamp;
}

std::string BrokerTls::faultOf(Checked& memo, const std::vector<Stamp>& stamps, const std::function<bool()>& check) {
  if (memo.stamps == stamps) return memo.fault;
  memo.stamps = stamps;
  memo.fault.clear();
  for (const Stamp& stamp : stamps) {
    if (!stamp.regular) {
      memo.fault = "not a file";
    } else if (stamp.size > maxCertificateFileBytes) {
      memo.fault = "larger than 2 MiB";
    }
  }
  if (memo.fault.empty() && !check()) memo.fault = "does not load";
  return memo.fault;
}

bool BrokerTls::prepare(TlsFiles& files) {
  files = TlsFiles{};
  const TlsFile* trust = &locations.caFile;
  Stamp trustStamp = stampOf(trust->path);
  if (!trustStamp.exists) {
    trust = &locations.systemBundle;
    trustStamp = stampOf(trust->path);
  }
  if (!trustStamp.exists) {
    reportError("No CA file for TLS: neither " + locations.caFile.name + " nor " + locations.systemBundle.name);
    return false;
  }
  std::string fault = faultOf(trustStoreMemo, {trustStamp}, [&] { return checks.trustStoreLoads(trust->path); });
  if (!fault.empty()) {
    reportError("CA file " + trust->name + " unusable (" + fault + "): no certificate to verify the broker with");
    return false;
  }
  files.trustStore = trust->path;

  Stamp certificate = stampOf(locations.clientCertificate.path);
  Stamp key = stampOf(locations.clientKey.path);
  if (!certificate.exists || !key.exists) return true;
  fault = faultOf(clientPairMemo, {certificate, key}, [&] {
    return checks.clientPairLoads(locations.clientCertificate.path, locations.clientKey.path);
  });
  if (!fault.empty()) {
    reportError("Client certificate " + locations.clientCertificate.name + " and key " + locations.clientKey.name +
                " unusable (" + fault + ")");
    return false;
  }
  files.clientCertificate = locations.clientCertificate.path;
  files.clientKey = locations.clientKey.path;
  return true;
}

void BrokerTls::connectFailed(const ServerSettings& broker, const TlsFiles& files, int64_t elapsedMilliseconds) {
  if (elapsedMilliseconds >= timedOutMilliseconds || !checks.probe) return;
  std::string host(fieldText(broker.host));
  std::string key = "probe " + host + ":" + std::to_string(broker.port);
  if (std::find(said.begin(), said.end(), key) != said.end()) return;
  TlsProbeResult result = checks.probe(host, broker.port, files);
  // A broker that cannot be reached at all is probed again at the next
  // failure: it may come up with a certificate worth naming.
  if (!result.reached) return;
  firstInStreak(key);
  if (!result.reason.empty()) {
    LOGW("TLS connection to %s:%d failed: %s", host.c_str(), broker.port, result.reason.c_str());
  }
}

void BrokerTls::connected() { said.clear(); }

bool BrokerTls::firstInStreak(const std::string& key) {
  if (std::find(said.begin(), said.end(), key) != said.end()) return false;
  if (said.size() >= maxSaid) said.clear();
  said.push_back(key);
  return true;
}

void BrokerTls::reportError(const std::string& message) {
  if (firstInStreak(message)) LOGE("%s", message.c_str());
}

}  // namespace Mqtt
