#pragma once
// Persistence of top-level groups. Declared next to a group's entries:
//
//   RegistryLoader loader{"pult"};                                 // /data/dps/pult
//   RegistryDefault defaults{"wsc", "{\"password\":\"5172839406\"}"};
//
// Whichever of the two is constructed first, the group ends with its default
// text applied and then, when its file holds at least 2 characters, the
// file's content applied over it (members the file lacks keep the default).
// A file that does not scan changes nothing. Loading never writes a file.
#include <cstddef>

#include "registry/Registry.h"

// Files longer than this are no group this firmware wrote: treated as missing.
inline constexpr size_t maxGroupFileBytes = 1 << 20;

class RegistryLoader {
 public:
  // Marks the top-level node persistent (made as a group when missing) and
  // loads its file, under the registry mutex.
  explicit RegistryLoader(const char* group, RegistryRoot& root = RegistryRoot::global());
};

class RegistryDefault {
 public:
  // Installs the default text of a top-level node and applies it, under the
  // registry mutex. `text` is a static text.
  RegistryDefault(const char* group, const char* text, RegistryRoot& root = RegistryRoot::global());
};
