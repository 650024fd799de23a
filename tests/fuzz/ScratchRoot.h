#pragma once
// A fresh simulation root for a fuzz target, entered before any static
// initialiser asks the platform layer: every path the firmware builds lands
// below it, and setting the clock only moves the process's offset. Removed
// when the target exits.
#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace FuzzScratch {

inline char directory[] = "/tmp/fieldhub-fuzz-XXXXXX";

inline void removeDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

// Constructor priority 101 runs before every C++ static initialiser.
__attribute__((constructor(101))) inline void enter() {
  if (mkdtemp(directory) == nullptr) abort();
  setenv("FIELDHUB_ROOT", directory, 1);
  atexit(removeDirectory);
}

}  // namespace FuzzScratch
