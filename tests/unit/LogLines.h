#pragma once
// Splits captured log output back into its messages, so tests can check the
// level, the tag and the text of what was logged.
#include <ostream>
#include <string>
#include <vector>

namespace TestLog {

struct LogLine {
  char level;
  std::string tag;
  std::string message;
  bool operator==(const LogLine&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
  return out << line.level << " " << line.tag << ": " << line.message;
}

// "\r\n[D]0     |CanCMT.cpp       : CRC matches" -> {D, CanCMT.cpp, CRC matches}
inline std::vector<LogLine> logLines(const std::string& output) {
  std::vector<LogLine> lines;
  size_t at = 0;
  while ((at = output.find("\r\n[", at)) != std::string::npos) {
    size_t end = output.find("\r\n[", at + 2);
    std::string raw = output.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
    at += 2;
    size_t bar = raw.find('|');
    size_t colon = raw.find(": ", bar);
    if (raw.size() < 4 || bar == std::string::npos || colon == std::string::npos) continue;
    std::string tag = raw.substr(bar + 1, colon - bar - 1);
    while (!tag.empty() && tag.back() == ' ') tag.pop_back();
    lines.push_back({raw[1], tag, raw.substr(colon + 2)});
  }
  return lines;
}

// Lines whose message contains the text.
inline std::vector<LogLine> linesWith(const std::string& output, const std::string& part) {
  std::vector<LogLine> found;
  for (const LogLine& line : logLines(output)) {
    if (line.message.find(part) != std::string::npos) found.push_back(line);
  }
  return found;
}

// Lines whose message starts with the prefix.
inline std::vector<LogLine> linesStartingWith(const std::string& output, const std::string& prefix) {
  std::vector<LogLine> found;
  for (const LogLine& line : logLines(output)) {
    if (line.message.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

// The messages of one source file, in order.
inline std::vector<std::string> messagesOf(const std::string& output, const std::string& tag) {
  std::vector<std::string> messages;
  for (const LogLine& line : logLines(output)) {
    if (line.tag == tag) messages.push_back(line.message);
  }
  return messages;
}

}  // namespace TestLog
