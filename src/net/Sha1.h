#pragma once
// SHA-1 (FIPS 180-4). Used only for the WebSocket accept key (RFC 6455), where
// its known weaknesses do not matter.
//   sha1("abc") -> a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d
#include <array>
#include <cstddef>
#include <cstdint>

using Sha1Digest = std::array<uint8_t, 20>;

Sha1Digest sha1(const void* data, size_t length);
