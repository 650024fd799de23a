#pragma once
// Base64 encoding (RFC 4648, standard alphabet, "=" padding), used for the
// WebSocket accept key. A line feed follows every 72 output characters when
// more output follows, as in MIME bodies; a 20-byte digest (28 characters)
// never reaches that.
//   base64Encode("foob") -> "Zm9vYg=="
#include <cstddef>
#include <string>

std::string base64Encode(const void* data, size_t length);
