#pragma once
// The broker connection on one handle of the Eclipse Paho MQTT C synchronous
// client. The library is set up once per process by the first MqttCore; the
// handle is made with an empty server URI and the device uuid as client
// identifier, without persistence, and made again for the broker's URI
// whenever a connect goes to another one: "tcp://host:port", or
// "ssl://host:port" for a broker whose settings ask for TLS (the library's
// TLS variant, TLS 1.2 or newer, the broker's chain and host name verified;
// files and failure reports in BrokerTls.h).
#include <string>

#include "mqtt/BrokerConnection.h"
#include "mqtt/BrokerTls.h"
#include "mqtt/MqttCoreOwner.h"

namespace Mqtt {

class MqttCore : public BrokerConnection {
 public:
  MqttCore(MqttCoreOwner& owner, const std::string& clientIdentifier, BrokerTls tls = BrokerTls());
  ~MqttCore() override;
  MqttCore(const MqttCore&) = delete;
  MqttCore& operator=(const MqttCore&) = delete;

  bool connect() override;
  void subscribe(const char* suffix, int qos) override;
  bool publish(const char* suffix, const std::string& text, uint8_t qos, uint8_t retained) override;
  void disconnect() override;

  // Called by the library's callbacks (MqttCore.cpp).
  MqttCoreOwner& owner;

 private:
  void createHandle(const std::string& uri);
  void destroyHandle();

  void* handle = nullptr;  // MQTTClient
  int lastToken = 0;       // MQTTClient_deliveryToken of the last publish
  std::string identifier;
  std::string serverUri;
  std::string handleUri;  // the URI the handle was made with
  BrokerTls tls;
};

}  // namespace Mqtt
