// Feeds arbitrary bytes to the dhcpcd.conf reader as the file's content,
// writes the settings it gives back over that file and reads the result
// again. Beyond memory faults under ASan it checks that one rewrite is
// final: the file written from a rewritten file is the same file, so a
// restart never changes the configuration again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/DhcpcdConf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Dhcpcd::Ports ports = Dhcpcd::readConfig(text);
  std::string first = Dhcpcd::writeConfig(text, ports);
  std::string second = Dhcpcd::writeConfig(first, Dhcpcd::readConfig(first));
  if (second != first) std::abort();
  return 0;
}
