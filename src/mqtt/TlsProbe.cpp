#include "mqtt/TlsProbe.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <memory>

#include "platform/Clock.h"

namespace Mqtt {

namespace {

// After a handshake that passed on our side, how long to listen for the
// broker's refusal: with TLS 1.3 a broker that rejects the client
// certificate says so only after the client has finished its handshake.
constexpr int64_t refusalWaitMilliseconds = 1000;

struct ContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using Context = std::unique_ptr<SSL_CTX, ContextFree>;
using Connection = std::unique_ptr<SSL, SslFree>;

// Never prompts on a terminal for the pass phrase of an encrypted key (the
// library's default would): such a key simply does not load.
int noPassword(char*, int, int, void*) { return 0; }

Context clientContext() {
  Context context(SSL_CTX_new(TLS_client_method()));
  if (context != nullptr) {
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_default_passwd_cb(context.get(), noPassword);
  }
  return context;
}

bool loadClientPair(SSL_CTX* context, const std::string& certificate, const std::string& key) {
  return SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) == 1 &&
         SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) == 1 &&
         SSL_CTX_check_private_key(context) == 1;
}

class Socket {
 public:
  explicit Socket(int descriptor) : fd(descriptor) {}
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd;
};

// Waits until the descriptor is ready for `events`; false at the deadline.
bool waitFor(int fd, short events, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - Platform::monotonicMilliseconds();
    if (left <= 0) return false;
    pollfd watched{fd, events, 0};
    int ready = poll(&watched, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

int connectTcp(const std::string& host, int port, int64_t deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int connected = -1;
  for (addrinfo* address = found; address != nullptr && connected < 0; address = address->ai_next) {
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) continue;
    bool done = connect(fd, address->ai_addr, address->ai_addrlen) == 0;
    if (!done && errno == EINPROGRESS && waitFor(fd, POLLOUT, deadline)) {
      int error = 0;
      socklen_t length = sizeof error;
      done = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    if (done) {
      connected = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(found);
  return connected;
}

bool isAddress(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string verifyReason(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "certificate expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "certificate not yet valid";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return "unknown CA";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "host name mismatch";
    default:
      return std::string("certificate refused (") + X509_verify_cert_error_string(result) + ")";
  }
}

// The reason of the last OpenSSL error of this thread, "wrong version number".
std::string lastError(const char* otherwise) {
  unsigned long error = ERR_peek_last_error();
  const char* text = error != 0 ? ERR_reason_error_string(error) : nullptr;
  return text != nullptr ? text : otherwise;
}

// Steps the handshake (or a read) until it completes, fails or times out.
// Returns the SSL_get_error code of the end, or -1 on time-out.
template <typename Step>
int drive(SSL* ssl, int fd, int64_t deadline, Step step) {
  for (;;) {
    int result = step();
    if (result > 0) return SSL_ERROR_NONE;
    int error = SSL_get_error(ssl, result);
    short events = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0) return error;
    if (!waitFor(fd, events, deadline)) return -1;
  }
}

}  // namespace

bool trustStoreLoads(const std::string& path) {
  // The same loading the library does with its trust store: every PEM
  // certificate of the file, and a failure when none loads.
  ERR_clear_error();
  X509_STORE* store = X509_STORE_new();
  bool loaded = store != nullptr && X509_STORE_load_file(store, path.c_str()) == 1;
  X509_STORE_free(store);
  ERR_clear_error();
  return loaded;
}

bool clientPairLoads(const std::string& certificate, const std::string& key) {
  ERR_clear_error();
  Context context = clientContext();
  bool loaded = context != nullptr && loadClientPair(context.get(), certificate, key);
  ERR_clear_error();
  return loaded;
}

TlsProbeResult probeTls(const std::string& host, int port, const TlsFiles& files, int timeoutMilliseconds) {
  TlsProbeResult result;
  int64_t deadline = Platform::monotonicMilliseconds() + timeoutMilliseconds;
  // A peer that closes while we write raises SIGPIPE; the MQTT library
  // ignores it for the whole process once a client exists, which is before
  // any probe.
  Socket socket(connectTcp(host, port, deadline));
  if (socket.fd < 0) return result;
  result.reached = true;

  ERR_clear_error();
  Context context = clientContext();
  if (context == nullptr) return result;
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(context.get(), files.trustStore.c_str(), nullptr) != 1) {
    result.reason = "trust store does not load";
    ERR_clear_error();
    return result;
  }
  if (!files.clientCertificate.empty() && !loadClientPair(context.get(), files.clientCertificate, files.clientKey)) {
    result.reason = "client certificate does not load";
    ERR_clear_error();
    return result;
  }
  Connection ssl(SSL_new(context.get()));
  if (ssl == nullptr || SSL_set_fd(ssl.get(), socket.fd) != 1) return result;
  if (isAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    SSL_set1_host(ssl.get(), host.c_str());
  }

  int ended = drive(ssl.get(), socket.fd, deadline, [&] { return SSL_connect(ssl.get()); });
  if (ended == -1) {
    result.reason = "no answer to the TLS handshake";
  } else if (ended != SSL_ERROR_NONE) {
    long verified = SSL_get_verify_result(ssl.get());
    result.reason = verified != X509_V_OK ? verifyReason(verified)
                                          : "no TLS handshake (" + lastError("connection closed") + ")";
  } else {
    int64_t listenUntil = std::min(deadline, Platform::monotonicMilliseconds() + refusalWaitMilliseconds);
    char byte;
    ended = drive(ssl.get(), socket.fd, listenUntil, [&] { return SSL_read(ssl.get(), &byte, 1); });
    if (ended == SSL_ERROR_SSL) result.reason = "refused by the broker (" + lastError("alert") + ")";
  }
  ERR_clear_error();
  return result;
}

}  // namespace Mqtt
