// Feeds arbitrary bytes to the WebSocket parser in pieces, as reads from a
// socket would deliver them, and checks what it queues. The first byte picks
// the piece size, so the same stream is also tried split at odd places.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "net/WSParser.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Protocol errors are logged; the fuzzer's own output is on stderr.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t piece = data[0] % 64 + 1;
  ++data;
  --size;

  WSParser parser([] { return int64_t{0}; });
  bool wasOpen = true;
  for (size_t at = 0; at < size; at += piece) {
    size_t length = size - at < piece ? size - at : piece;
    size_t queuedBefore = parser.outputQueue().size() + parser.receivedMessages().size();
    parser.feed(data + at, length);
    size_t queuedAfter = parser.outputQueue().size() + parser.receivedMessages().size();
    // A closed parser takes nothing more.
    if (!wasOpen && queuedAfter != queuedBefore) std::abort();
    wasOpen = parser.isOpen();
  }
  for (const ByteBuffer& message : parser.receivedMessages()) {
    if (message.size() > WSParser::maxPayload) std::abort();
    if (!message.empty() && message.data()[message.size()] != 0) std::abort();
  }
  for (const ByteBuffer& bytes : parser.outputQueue()) {
    if (bytes.empty()) std::abort();
  }
  if (parser.handshakeDone()) parser.sendText(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
