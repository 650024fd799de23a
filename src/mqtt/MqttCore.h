#pragma once
// The broker connection on one handle of the Eclipse Paho MQTT C synchronous
// client. The library is set up once per process by the first MqttCore; the
// handle is made with an empty server URI and the device uuid as client
// identifier, without persistence, and the broker's URI "tcp://host:port" is
// given at every connect.
#include <string>

#include "mqtt/BrokerConnection.h"
#include "mqtt/MqttCoreOwner.h"

namespace Mqtt {

class MqttCore : public BrokerConnection {
 public:
  MqttCore(MqttCoreOwner& owner, const std::string& clientIdentifier);
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
  void* handle = nullptr;  // MQTTClient
  int lastToken = 0;       // MQTTClient_deliveryToken of the last publish
  std::string serverUri;
};

}  // namespace Mqtt
