#pragma once
// The TLS side of the broker connection: which certificate files a TLS
// connect uses, whether they are usable, and the log lines of a failure.
//
// Files (board paths; below the simulation root on a host):
//   /data/etc/mqtt-ca.pem        trusted CAs; when missing, the system bundle
//   /etc/ssl/certs/ca-certificates.crt
//   /data/etc/mqtt-client.pem    client certificate and its key, used only
//   /data/etc/mqtt-client.key    when both exist
//
// A trust store or client pair that does not load stops the connect before
// the broker is contacted, with one E line. A refused TLS connect is probed
// once (TlsProbe.h) and its reason logged as one W line. Both are said once
// per failure streak and broker; a successful connect ends the streak.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mqtt/TlsProbe.h"
#include "registry/ServerSettings.h"

namespace Mqtt {

// A file as the log names it and as this process opens it.
struct TlsFile {
  std::string name;
  std::string path;
};

struct TlsLocations {
  TlsFile caFile;
  TlsFile systemBundle;
  TlsFile clientCertificate;
  TlsFile clientKey;

  // The firmware's files, through the platform's path function.
  static TlsLocations process();
};

// The OpenSSL work, replaced by fakes in unit tests.
struct TlsChecks {
  std::function<bool(const std::string& path)> trustStoreLoads = ::Mqtt::trustStoreLoads;
  std::function<bool(const std::string& certificate, const std::string& key)> clientPairLoads =
      ::Mqtt::clientPairLoads;
  std::function<TlsProbeResult(const std::string& host, int port, const TlsFiles& files)> probe;
};

class BrokerTls {
 public:
  // A failed connect that lasted this long ended in the library's connect
  // time-out: the broker was not answering, and a probe would wait as well.
  static constexpr int64_t timedOutMilliseconds = 25000;
  static constexpr int probeMilliseconds = 10000;

  explicit BrokerTls(TlsLocations locations = TlsLocations::process(), TlsChecks checks = processChecks());

  // The files for a TLS connect; false (with its E line) when they are not
  // usable, and the broker must not be contacted.
  bool prepare(TlsFiles& files);
  // A TLS connect to the broker failed after `elapsedMilliseconds`.
  void connectFailed(const ServerSettings& broker, const TlsFiles& files, int64_t elapsedMilliseconds);
  // Any connect succeeded: the failure streak is over.
  void connected();

  static TlsChecks processChecks();

 private:
  // Identity of a file's content as far as stat() tells; equal stamps need
  // no second check.
  struct Stamp {
    bool exists = false;
    bool regular = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modified = 0;  // nanoseconds
    bool operator==(const Stamp&) const = default;
  };
  // The last check of a file (or a pair of files) and its outcome.
  struct Checked {
    std::vector<Stamp> stamps;
    std::string fault;  // empty: usable
  };
  static Stamp stampOf(const std::string& path);
  // The fault of the files with these stamps ("" when usable); runs `check`
  // only when a stamp changed since the last call with this memo.
  std::string faultOf(Checked& memo, const std::vector<Stamp>& stamps, const std::function<bool()>& check);
  // True the first time `key` is said in this streak.
  bool firstInStreak(const std::string& key);
  void reportError(const std::string& message);

  TlsLocations locations;
  TlsChecks checks;
  Checked trustStoreMemo;
  Checked clientPairMemo;
  // What this streak already said: E messages and probed brokers.
  std::vector<std::string> said;
};

}  // namespace Mqtt
