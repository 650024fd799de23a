// MAC addresses of the Ethernet ports. The system's network start script takes
// them from the interfaces file, one stanza per port:
//
//   auto eth0
//   iface eth0 inet manual
//           hwaddress ether 02:51:90:00:00:2A
//   (empty line)
//
// The file is rewritten, and networking restarted, only when a port's stanza
// does not carry the wanted address.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/RandomBytes.h"
#include "net/Network.h"
#include "platform/Platform.h"
#include "platform/Shell.h"

namespace {

const char* const hwaddressPrefix = "        hwaddress ether ";

bool startsWith(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// The port an "auto " line names: the character after "eth" ("auto eth1" is
// port 1, every other one port 0); -1 when the line names no Ethernet port.
int portOf(const std::string& autoLine) {
  size_t eth = autoLine.find("eth");
  if (eth == std::string::npos) return -1;
  return eth + 3 < autoLine.size() && autoLine[eth + 3] == '1' ? 1 : 0;
}

// Each port is correct when the second line after its "auto " line holds its
// address exactly as given (so a lower-case address in the file counts as a
// different one).
bool portsCorrect(const std::vector<std::string>& lines, const std::string (&macs)[2]) {
  bool correct[2] = {false, false};
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!startsWith(lines[i], "auto ")) continue;
    int port = portOf(lines[i]);
    if (port < 0) continue;
    if (i + 2 < lines.size() && lines[i + 2].find(macs[port]) != std::string::npos) correct[port] = true;
    i += 2;  // the two lines of the stanza are consumed
  }
  return correct[0] && correct[1];
}

// Every "auto " line is kept; an Ethernet port's is followed by a fresh
// stanza, and whatever the old stanza held up to the next "auto " line is
// dropped. Other lines (the loopback stanza, comments) are kept as they are.
std::string rewrite(const std::vector<std::string>& lines, const std::string (&macs)[2]) {
  std::string text;
  bool dropping = false;
  for (const std::string& line : lines) {
    if (startsWith(line, "auto ")) {
      text += line + "\n";
      dropping = false;
      int port = portOf(line);
      if (port < 0) continue;
      text += "iface " + line.substr(line.find("eth")) + " inet manual\n";
      text += hwaddressPrefix + macs[port] + "\n";
      text += "\n";
      dropping = true;
    } else if (!dropping) {
      text += line + "\n";
    }
  }
  return text;
}

// Writes and flushes the whole text; false when the file could not be made.
bool writeFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  bool complete = done == text.size() && fsync(fd) == 0;
  close(fd);
  return complete;
}

std::string formatMac(const uint8_t* bytes) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                bytes[5]);
  return text;
}

}  // namespace

Network::MacSetupContext Network::boardMacSetup() {
  return {Platform::path("/data/etc/network/interfaces"), Platform::path("/dev/urandom"),
          Platform::shellPath("/etc/init.d/S40network"),
          [](const std::string& command) { Platform::shell(command); }};
}

bool Network::setMacs(const char* mac1, const char* mac2, bool apply) {
  std::lock_guard<std::mutex> lock(macMutex);
  const std::string macs[2] = {mac1, mac2};
  const std::string& path = macSetup.interfacesPath;
  if (portsCorrect(readLines(path), macs)) {
    LOGI("No need to change macs");
    return true;
  }
  LOGI("Changing macs");
  // A missing file gives an empty one: there is no stanza to put an address in.
  std::string next = path + ".next";
  if (!writeFile(next, rewrite(readLines(path), macs))) {
    LOGE("Cannot write %s", next.c_str());
    return false;
  }
  if (!apply) return true;
  macSetup.runCommand("dhcpcd -x ; sleep 1");
  macSetup.runCommand(macSetup.networkScript + " stop ; sleep 1");
  bool moved = std::rename(next.c_str(), path.c_str()) == 0;
  // Networking comes back either way, with the old addresses when the new
  // file could not be moved into place.
  if (!moved) LOGE("Cannot move %s into place: %s", next.c_str(), std::strerror(errno));
  macSetup.runCommand(macSetup.networkScript + " start ; sleep 1");
  macSetup.runCommand("dhcpcd");
  return moved;
}

void Network::randomMacs(bool apply) {
  // Zeros stand in when the source cannot be read.
  uint8_t bytes[12] = {};
  readRandomBytes(macSetup.randomSourcePath, bytes, sizeof bytes);
  // Bit 0 of the first byte set would make a multicast address.
  bytes[0] &= 0xFE;
  bytes[6] &= 0xFE;
  setMacs(formatMac(bytes).c_str(), formatMac(bytes + 6).c_str(), apply);
  macSetup.runCommand("ip a flush dev eth0");
  macSetup.runCommand("ip a flush dev eth1");
}
