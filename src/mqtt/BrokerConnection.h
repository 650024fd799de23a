#pragma once
// One client connection to a broker, as the MQTT thread drives it: connect
// with the settings and the will set beforehand, subscribe and publish by topic
// suffix (Topics.h), disconnect. MqttCore is the library's implementation;
// unit tests put a scripted fake in its place.
#include <cstdint>
#include <string>

#include "registry/ServerSettings.h"

namespace Mqtt {

class BrokerConnection {
 public:
  virtual ~BrokerConnection() = default;

  // True when the broker accepted the connection.
  virtual bool connect() = 0;
  virtual void subscribe(const char* suffix, int qos) = 0;
  // Queues one message for sending (does not wait for delivery); false when
  // the library refused it. qos and retained: non-zero for QoS 1 / retained.
  virtual bool publish(const char* suffix, const std::string& text, uint8_t qos, uint8_t retained) = 0;
  // Closes the connection and tells the owner connectionLost().
  virtual void disconnect() = 0;

  // Broker in use; copied in by the owner before connect().
  ServerSettings settings{};
  // Attached as retained QoS 1 will when both are non-empty.
  std::string willTopic;
  std::string willMessage;
};

}  // namespace Mqtt
