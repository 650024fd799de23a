// TLS broker connections: the "tls" member of the broker settings and its
// file round trip, the choice and checks of the certificate files, and the
// failure reports (one line per failure streak).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "RegistryTestTree.h"
#include "TestFiles.h"
#include "mqtt/BrokerTls.h"
#include "mqtt/TlsProbe.h"
#include "registry/Catalogue.h"

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;

TEST(MqttTlsSettings, SettingsFileWithoutTlsIsReadAndWrittenByteForByte) {
  // As every board stores it today; and one with a TLS backup broker.
  const std::string plain =
      R"({"main":{"host":"broker.example","user":"gw'1","pass":"p/w","port":1883},)"
      R"("alt":{"host":"","user":"","pass":"","port":0}})";
  const std::string withTls =
      R"({"main":{"host":"broker.example","user":"gw'1","pass":"p/w","port":1883},)"
      R"("alt":{"host":"backup.example","user":"","pass":"","port":8883,"tls":true}})";
  for (const std::string& stored : {plain, withTls}) {
    TestTree tree;
    tree.write("mqtt", stored);
    Catalogue::Mqtt brokers(tree.root);
    EXPECT_EQ(brokers.main.value.tls, false);
    EXPECT_EQ(brokers.alt.value.tls, stored == withTls);
    tree.root.save(*tree.root.child("mqtt"));
    EXPECT_EQ(tree.read("mqtt"), stored);
  }

  TestTree tree;
  tree.write("mqtt", plain);
  Catalogue::Mqtt brokers(tree.root);
  tree.root.apply(R"({"mqtt":{"alt":{"host":"backup.example","port":"8883","tls":"true"}}})");
  EXPECT_EQ(tree.read("mqtt"), withTls);
  tree.root.apply(R"({"mqtt":{"alt":{"host":"backup.example","port":8883,"tls":false}}})");
  EXPECT_EQ(tree.read("mqtt"), R"({"main":{"host":"broker.example","user":"gw'1","pass":"p/w","port":1883},)"
                               R"("alt":{"host":"backup.example","user":"","pass":"","port":8883}})");
}

// ---- certificate files ----

// A fresh self-signed certificate and its key, as PEM texts.
struct Pem {
  std::string certificate;
  std::string key;
};

Pem makeSelfSigned() {
  Pem pem;
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  if (key == nullptr || certificate == nullptr) return pem;
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  X509_set_pubkey(certificate, key);
  X509_sign(certificate, key, EVP_sha256());
  auto text = [](auto write) {
    BIO* memory = BIO_new(BIO_s_mem());
    write(memory);
    char* data = nullptr;
    long size = BIO_get_mem_data(memory, &data);
    std::string result(data, static_cast<size_t>(size));
    BIO_free(memory);
    return result;
  };
  pem.certificate = text([&](BIO* out) { PEM_write_bio_X509(out, certificate); });
  pem.key = text([&](BIO* out) { PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr); });
  X509_free(certificate);
  EVP_PKEY_free(key);
  return pem;
}

TEST(MqttTlsFiles, OpenSslChecksTellUsableFilesFromBrokenOnes) {
  TempDirectory directory;
  Pem one = makeSelfSigned();
  Pem other = makeSelfSigned();
  ASSERT_FALSE(one.certificate.empty());
  std::map<std::string, std::string> files = {
      {"ca", one.certificate},
      {"two", one.certificate + other.certificate},
      {"empty", ""},
      {"garbage", "not a certificate\n"},
      {"cut", one.certificate.substr(0, one.certificate.size() / 2)},
      {"key only", one.key},
      {"key", one.key},
      {"other key", other.key},
  };
  for (const auto& [name, content] : files) writeFile(directory.path + "/" + name, content);
  auto at = [&](const char* name) { return directory.path + "/" + name; };

  struct Case {
    const char* file;
    bool loads;
  };
  for (const Case& c : {Case{"ca", true}, Case{"two", true}, Case{"empty", false}, Case{"garbage", false},
                        Case{"cut", false}, Case{"key only", false}, Case{"missing", false}}) {
    EXPECT_EQ(Mqtt::trustStoreLoads(at(c.file)), c.loads) << c.file;
  }
  EXPECT_TRUE(Mqtt::clientPairLoads(at("ca"), at("key")));
  EXPECT_FALSE(Mqtt::clientPairLoads(at("ca"), at("other key"))) << "a key of another certificate";
  EXPECT_FALSE(Mqtt::clientPairLoads(at("garbage"), at("key")));
  EXPECT_FALSE(Mqtt::clientPairLoads(at("ca"), at("empty")));
}

// BrokerTls on files of a temporary directory, with counting fakes of the
// OpenSSL checks.
struct MqttTlsPolicy : ::testing::Test {
  TempDirectory directory;
  std::string at(const char* name) const { return directory.path + "/" + name; }

  std::map<std::string, bool> loads;  // path -> trust store or client certificate loads
  int trustChecks = 0;
  int pairChecks = 0;
  std::vector<std::string> probed;
  Mqtt::TlsProbeResult probeResult{true, "certificate expired"};

  Mqtt::BrokerTls make() {
    Mqtt::TlsLocations locations{{"/data/etc/mqtt-ca.pem", at("ca")},
                                 {"/etc/ssl/certs/ca-certificates.crt", at("bundle")},
                                 {"/data/etc/mqtt-client.pem", at("client.pem")},
                                 {"/data/etc/mqtt-client.key", at("client.key")}};
    Mqtt::TlsChecks checks;
    checks.trustStoreLoads = [this](const std::string& path) {
      ++trustChecks;
      return loads[path];
    };
    checks.clientPairLoads = [this](const std::string& certificate, const std::string&) {
      ++pairChecks;
      return loads[certificate];
    };
    checks.probe = [this](const std::string& host, int port, const Mqtt::TlsFiles&) {
      probed.push_back(host + ":" + std::to_string(port));
      return probeResult;
    };
    return Mqtt::BrokerTls(locations, checks);
  }
  void put(const char* name, bool usable, const std::string& content = "x") {
    writeFile(at(name), content);
    loads[at(name)] = usable;
  }
};

TEST_F(MqttTlsPolicy, TrustStoreAndClientPairAreChosenByWhatExists) {
  struct Case {
    const char* label;
    std::vector<const char*> present;  // files that exist and load
    bool ready;
    const char* trustStore;
    bool clientPair;
  };
  const Case cases[] = {
      {"CA file", {"ca"}, true, "ca", false},
      {"CA file before the bundle", {"ca", "bundle"}, true, "ca", false},
      {"bundle without CA file", {"bundle"}, true, "bundle", false},
      {"neither", {}, false, "", false},
      {"client pair", {"ca", "client.pem", "client.key"}, true, "ca", true},
      {"certificate without key", {"ca", "client.pem"}, true, "ca", false},
      {"key without certificate", {"ca", "client.key"}, true, "ca", false},
  };
  for (const Case& c : cases) {
    for (const char* name : {"ca", "bundle", "client.pem", "client.key"}) std::filesystem::remove(at(name));
    for (const char* name : c.present) put(name, true);
    Mqtt::BrokerTls tls = make();
    Mqtt::TlsFiles files;
    CaptureStdout output;
    EXPECT_EQ(tls.prepare(files), c.ready) << c.label;
    EXPECT_EQ(files.trustStore, *c.trustStore != 0 ? at(c.trustStore) : "") << c.label;
    EXPECT_EQ(files.clientCertificate, c.clientPair ? at("client.pem") : "") << c.label;
    EXPECT_EQ(files.clientKey, c.clientPair ? at("client.key") : "") << c.label;
    std::vector<std::string> errors = TestLog::messagesOf(output.text(), "BrokerTls.cpp");
    if (c.ready) {
      EXPECT_TRUE(errors.empty()) << c.label;
    } else {
      EXPECT_EQ(errors, std::vector<std::string>{"No CA file for TLS: neither /data/etc/mqtt-ca.pem nor "
                                                 "/etc/ssl/certs/ca-certificates.crt"});
    }
  }
}

TEST_F(MqttTlsPolicy, UnusableFilesStopTheConnectWithOneErrorPerStreak) {
  put("ca", false);
  put("bundle", true);  // not taken in place of a broken CA file
  Mqtt::BrokerTls tls = make();
  Mqtt::TlsFiles files;
  CaptureStdout output;
  EXPECT_FALSE(tls.prepare(files));
  EXPECT_FALSE(tls.prepare(files));
  EXPECT_EQ(trustChecks, 1) << "an unchanged file is not parsed again";
  const std::string caError =
      "CA file /data/etc/mqtt-ca.pem unusable (does not load): no certificate to verify the broker with";
  EXPECT_EQ(TestLog::logLines(output.text()), (std::vector<TestLog::LogLine>{{'E', "BrokerTls.cpp", caError}}));

  // A new streak says it again; a mended file is checked again and taken.
  tls.connected();
  EXPECT_FALSE(tls.prepare(files));
  put("ca", true, "mended, and longer");
  EXPECT_TRUE(tls.prepare(files));
  EXPECT_EQ(trustChecks, 2);
  EXPECT_EQ(files.trustStore, at("ca"));

  put("client.pem", false);
  put("client.key", true);
  EXPECT_FALSE(tls.prepare(files));
  std::filesystem::remove(at("ca"));
  std::filesystem::create_directory(at("ca"));
  EXPECT_FALSE(tls.prepare(files));
  EXPECT_EQ(TestLog::messagesOf(output.text(), "BrokerTls.cpp"),
            (std::vector<std::string>{caError, caError,
                                      "Client certificate /data/etc/mqtt-client.pem and key "
                                      "/data/etc/mqtt-client.key unusable (does not load)",
                                      "CA file /data/etc/mqtt-ca.pem unusable (not a file): no certificate to "
                                      "verify the broker with"}));
  EXPECT_EQ(trustChecks, 2) << "a directory is never handed to the loader";
}

TEST_F(MqttTlsPolicy, OversizedCertificateFileIsNotRead) {
  put("ca", true, std::string((2 << 20) + 1, 'x'));
  Mqtt::BrokerTls tls = make();
  Mqtt::TlsFiles files;
  CaptureStdout output;
  EXPECT_FALSE(tls.prepare(files));
  EXPECT_EQ(trustChecks, 0);
  EXPECT_EQ(TestLog::messagesOf(output.text(), "BrokerTls.cpp"),
            std::vector<std::string>{"CA file /data/etc/mqtt-ca.pem unusable (larger than 2 MiB): no certificate "
                                     "to verify the broker with"});
}

ServerSettings broker(const char* host, int port) {
  ServerSettings settings{};
  std::snprintf(settings.host, sizeof settings.host, "%s", host);
  settings.port = port;
  settings.tls = true;
  return settings;
}

TEST_F(MqttTlsPolicy, RefusalIsProbedAndNamedOncePerBrokerAndStreak) {
  Mqtt::BrokerTls tls = make();
  Mqtt::TlsFiles files;
  CaptureStdout output;
  tls.connectFailed(broker("main", 8883), files, 200);
  tls.connectFailed(broker("main", 8883), files, 200);
  tls.connectFailed(broker("alt", 8884), files, 200);
  tls.connectFailed(broker("main", 8883), files, 200);
  EXPECT_EQ(probed, (std::vector<std::string>{"main:8883", "alt:8884"}));

  tls.connected();  // the streak ends
  tls.connectFailed(broker("main", 8883), files, 200);
  auto warning = [](const char* broker) {
    return TestLog::LogLine{'W', "BrokerTls.cpp",
                            std::string("TLS connection to ") + broker + " failed: certificate expired"};
  };
  EXPECT_EQ(TestLog::logLines(output.text()),
            (std::vector<TestLog::LogLine>{warning("main:8883"), warning("alt:8884"), warning("main:8883")}));
}

TEST_F(MqttTlsPolicy, UnreachableOrTimedOutBrokersAreProbedAccordingly) {
  Mqtt::BrokerTls tls = make();
  Mqtt::TlsFiles files;
  CaptureStdout output;
  // A connect that ran into the library's time-out is not probed at all.
  tls.connectFailed(broker("main", 8883), files, Mqtt::BrokerTls::timedOutMilliseconds);
  EXPECT_TRUE(probed.empty());
  // An unreachable broker is probed again at the next failure, and named
  // once it answers.
  probeResult = {false, ""};
  tls.connectFailed(broker("main", 8883), files, 10);
  tls.connectFailed(broker("main", 8883), files, 10);
  probeResult = {true, "unknown CA"};
  tls.connectFailed(broker("main", 8883), files, 10);
  tls.connectFailed(broker("main", 8883), files, 10);
  EXPECT_EQ(probed.size(), 3u);
  // A handshake that passed (the broker refused for other reasons) says
  // nothing and is not repeated in the streak.
  probeResult = {true, ""};
  tls.connectFailed(broker("alt", 8884), files, 10);
  tls.connectFailed(broker("alt", 8884), files, 10);
  EXPECT_EQ(probed.size(), 4u);
  EXPECT_EQ(TestLog::messagesOf(output.text(), "BrokerTls.cpp"),
            std::vector<std::string>{"TLS connection to main:8883 failed: unknown CA"});
}

}  // namespace
