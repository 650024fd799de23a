#include "net/sim800/bt.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/Log.h"
#include "net/sim800/ModemText.h"

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

bool isSppAnswer(const char* text, size_t length) {
  std::string_view answer(text, length);
  return endsWith(answer, "\"SPP\"\n") || endsWith(answer, "\"SPP\"\r\n");
}

std::optional<std::string> handleBt(BtState& state, const char* text, size_t length) {
  if (length < 3) return std::nullopt;
  // One answer line: a frame may carry more lines ("...\"SPP\"\r\n\r\nOK\r\n").
  std::string_view answer(text, strnlen(text, length));
  size_t lineEnd = answer.find('\n');
  if (lineEnd != std::string_view::npos) answer = answer.substr(0, lineEnd + 1);
  LOGD("BT_GOT: %s", ModemText::printable(answer.data(), answer.size()).c_str());
  bool spp = isSppAnswer(answer.data(), answer.size());
  // The modem executes a command at its carriage return.
  if (startsWith(answer, "+BTCONNECTING: ") && spp) return std::string("AT+BTACPT=1\r\n");
  if (startsWith(answer, "+BTSTATUS: 0")) {
    LOGW("BT disabled, rebooting modem");
    state.restartRequested = true;
  }
  if (startsWith(answer, "+BTCONNECT: ") && spp) {
    // "+BTCONNECT: 1,..." -> 1; the text is zero-terminated (ByteBuffer).
    std::string digits(answer.substr(12, 6));
    state.connectionId = static_cast<uint16_t>(std::atoi(digits.c_str()));
    LOGD("Got new SPP connection, id: %d", static_cast<int>(state.connectionId));
    state.sendReady = true;
  }
  if (startsWith(answer, "+BTDISCONN: ") && spp) {
    state.connectionId = 0;
    state.sendReady = false;
    LOGI("BT Connection got closed remotely");
  }
  return std::nullopt;
}
