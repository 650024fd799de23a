#pragma once
// What the broker connection tells its owner. Both calls come from the MQTT
// library's callback thread; connectionLost also from MqttCore::disconnect in
// the owner's own thread.
#include "core/ByteBuffer.h"

namespace Mqtt {

class MqttCoreOwner {
 public:
  virtual void connectionLost() = 0;
  // A message on a subscribed topic; both buffers are zero-terminated.
  virtual void messageArrived(const ByteBuffer& topic, const ByteBuffer& payload) = 0;

 protected:
  MqttCoreOwner() = default;
  ~MqttCoreOwner() = default;
};

}  // namespace Mqtt
