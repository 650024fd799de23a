#pragma once
// Whole-file reads and writes for test fixtures.
#include <fstream>
#include <sstream>
#include <string>

namespace TestFiles {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace TestFiles
