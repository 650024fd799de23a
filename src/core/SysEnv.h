#pragma once
// The U-Boot environment, reached through the platform tools fw_printenv and
// fw_setenv. The board's identity (serial, uuid, ethaddr, mac2), the boot
// loader's network settings (usedhcp, ipaddr) and the update request
// (needupdate) live there.
//
// fw_printenv prints one "name=value" line per variable asked for and reports
// a missing variable or a damaged environment (bad CRC) on its error output.
//
// Each operation runs its tools through a Platform::ShellRunner, the real
// shell unless a test hands in one that records the command texts.
#include <cstddef>
#include <string>

#include "core/Log.h"
#include "platform/Shell.h"

namespace SysEnv {

// True when the stored environment reads back without complaint. Standard
// output is thrown away and error output collected, so any text at all means
// fw_printenv had to fall back to its built-in defaults or could not read the
// flash: the environment is damaged and must not be written.
inline bool checkBootEnvironment(const Platform::ShellRunner& shell = Platform::platformShell()) {
  if (shell.output("fw_printenv 2>&1 >/dev/null", 1).empty()) return true;
  LOGW("U-Boot env corrupted!");
  return false;
}

// The "name=value" lines of the named variables (names separated by spaces),
// at most maxBytes of them.
inline std::string printBootVariables(const std::string& names, size_t maxBytes,
                                      const Platform::ShellRunner& shell = Platform::platformShell()) {
  return shell.output("fw_printenv " + names, maxBytes);
}

// A value as one shell word. Values made of letters, digits and ":.-_/" (all
// the firmware writes: serials, uuids, MAC and IP addresses, flags) are passed
// as they are; anything else is single-quoted so the shell cannot act on it.
inline std::string shellWord(const std::string& value) {
  bool plain = !value.empty();
  for (char c : value) {
    bool safe = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ':' ||
                c == '.' || c == '-' || c == '_' || c == '/';
    if (!safe) plain = false;
  }
  return plain ? value : Platform::singleQuoted(value);
}

// Sets one variable with "fw_setenv <name> <value>" and waits for it; the
// tool's result is not examined.
inline void setBootVariable(const std::string& name, const std::string& value,
                            const Platform::ShellRunner& shell = Platform::platformShell()) {
  shell.output("fw_setenv " + name + " " + shellWord(value), 4096);
}

}  // namespace SysEnv
