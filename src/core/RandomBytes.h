#pragma once
// Bytes from a random source (/dev/urandom under the root), for generated
// identities and MAC addresses.
#include <cstddef>
#include <cstdint>
#include <string>

// Fills bytes[0..count) from the file at sourcePath. False when it
// cannot be opened or gives fewer bytes; the bytes not read keep what the
// caller put there (zeros, say), so a missing source still gives a value.
bool readRandomBytes(const std::string& sourcePath, uint8_t* bytes, size_t count);
