#include "mqtt/MqttCore.h"

#include <MQTTClient.h>

#include <cstring>
#include <mutex>
#include <utility>

#include "core/FixedText.h"
#include "core/Log.h"
#include "mqtt/Topics.h"
#include "platform/Clock.h"

namespace Mqtt {

namespace {

// Seconds between keep-alive packets; the broker drops the client (and
// publishes its will) after one and a half intervals of silence.
constexpr int keepAliveSeconds = 10;
constexpr int maxInflightMessages = 100;
constexpr unsigned long disconnectTimeoutMilliseconds = 5000;

void setUpLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    MQTTClient_init_options options = MQTTClient_init_options_initializer;
    options.do_openssl_init = 0;
    MQTTClient_global_init(&options);
  });
}

void connectionLostCallback(void* context, char*) { static_cast<MqttCore*>(context)->owner.connectionLost(); }

// Copies topic and payload into owned zero-terminated buffers and releases the
// library's. A topic or payload longer than a buffer can hold is dropped whole
// rather than cut, so no truncated request or tunnel text is ever processed.
int messageArrivedCallback(void* context, char* topicName, int topicLength, MQTTClient_message* message) {
  if (topicName != nullptr && message != nullptr && message->payload != nullptr) {
    size_t topicSize = topicLength > 0 ? static_cast<size_t>(topicLength) : std::strlen(topicName);
    size_t payloadSize = message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
    if (topicSize > ByteBuffer::maxLength || payloadSize > ByteBuffer::maxLength) {
      LOGW("Message of %zu bytes dropped: too long", payloadSize);
    } else {
      ByteBuffer topic(topicName, static_cast<uint16_t>(topicSize));
      ByteBuffer payload(message->payload, static_cast<uint16_t>(payloadSize));
      static_cast<MqttCore*>(context)->owner.messageArrived(topic, payload);
    }
  }
  if (message != nullptr) MQTTClient_freeMessage(&message);
  if (topicName != nullptr) MQTTClient_free(topicName);
  return 1;
}

}  // namespace

MqttCore::MqttCore(MqttCoreOwner& coreOwner, const std::string& clientIdentifier, BrokerTls brokerTls)
    : owner(coreOwner), identifier(clientIdentifier), tls(std::move(brokerTls)) {
  setUpLibrary();
  createHandle("");
}

MqttCore::~MqttCore() { destroyHandle(); }

void MqttCore::createHandle(const std::string& uri) {
  MQTTClient client = nullptr;
  if (MQTTClient_create(&client, uri.c_str(), identifier.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) ==
      MQTTCLIENT_SUCCESS) {
    handle = client;
  } else {
    LOGE("Cannot create the MQTT client");
  }
  handleUri = uri;
}

void MqttCore::destroyHandle() {
  if (handle != nullptr) {
    MQTTClient client = handle;
    MQTTClient_destroy(&client);
    handle = nullptr;
  }
}

bool MqttCore::connect() {
  // The library takes the TLS files by name; they are checked first, so a
  // broken trust store never reaches it (nor the broker).
  TlsFiles files;
  if (settings.tls && !tls.prepare(files)) return false;
  serverUri = (settings.tls ? "ssl://" : "tcp://") + std::string(fieldText(settings.host)) + ":" +
              std::to_string(settings.port);
  // The handle is made for the URI it connects to. Given only in the connect
  // options, the URI misleads the library twice: a TLS handshake that takes
  // more than one step is checked against the handle's own URI (the host
  // name then is empty and every such broker is refused), and a handle that
  // once connected to "ssl://" fails every later "tcp://" connect.
  if (serverUri != handleUri) {
    destroyHandle();
    createHandle(serverUri);
  }
  if (handle == nullptr) return false;
  std::string user(fieldText(settings.user));
  std::string pass(fieldText(settings.pass));
  char* uris[] = {serverUri.data()};

  MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
  options.keepAliveInterval = keepAliveSeconds;
  options.username = user.c_str();
  options.password = pass.c_str();
  options.serverURIcount = 1;
  options.serverURIs = uris;
  // The initialiser's reliable mode allows one QoS 1 message in flight: every
  // publish then waits for the previous acknowledgement (about 60 ms each), the
  // record queue overflows and readings are lost under load. A window of
  // outstanding messages keeps the same order and delivery guarantee.
  options.maxInflightMessages = maxInflightMessages;

  MQTTClient_SSLOptions ssl = MQTTClient_SSLOptions_initializer;
  if (settings.tls) {
    ssl.trustStore = files.trustStore.c_str();
    // Only the trust store named here: on a host the system's own CA paths
    // lie outside the simulation root.
    ssl.disableDefaultTrustStore = 1;
    if (!files.clientCertificate.empty()) {
      ssl.keyStore = files.clientCertificate.c_str();
      ssl.privateKey = files.clientKey.c_str();
    }
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1;  // the certificate must name the host (or IP address) connected to
    ssl.sslVersion = MQTT_SSL_VERSION_TLS_1_2;
    options.ssl = &ssl;
  }

  MQTTClient_willOptions will = MQTTClient_willOptions_initializer;
  if (!willTopic.empty() && !willMessage.empty()) {
    will.topicName = willTopic.c_str();
    will.message = willMessage.c_str();
    will.retained = 1;
    will.qos = 1;
    options.will = &will;
  }

  MQTTClient_setCallbacks(handle, this, connectionLostCallback, messageArrivedCallback, nullptr);
  int64_t started = Platform::monotonicMilliseconds();
  bool connected = MQTTClient_connect(handle, &options) == MQTTCLIENT_SUCCESS;
  if (connected) {
    tls.connected();
  } else if (settings.tls) {
    tls.connectFailed(settings, files, Platform::monotonicMilliseconds() - started);
  }
  return connected;
}

void MqttCore::subscribe(const char* suffix, int qos) {
  if (handle == nullptr) return;
  MQTTClient_subscribe(handle, topicFor(suffix), qos);
}

bool MqttCore::publish(const char* suffix, const std::string& text, uint8_t qos, uint8_t retained) {
  if (handle == nullptr) return false;
  MQTTClient_deliveryToken token = 0;
  int result = MQTTClient_publish(handle, topicFor(suffix), static_cast<int>(std::strlen(text.c_str())), text.c_str(),
                                  qos != 0 ? 1 : 0, retained, &token);
  lastToken = token;
  return result == MQTTCLIENT_SUCCESS;
}

void MqttCore::disconnect() {
  if (handle != nullptr) MQTTClient_disconnect(handle, disconnectTimeoutMilliseconds);
  owner.connectionLost();
}

}  // namespace Mqtt
