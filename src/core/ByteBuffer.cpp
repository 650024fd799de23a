#include "core/ByteBuffer.h"

#include <cstring>
#include <utility>

ByteBuffer::ByteBuffer(uint16_t length) : length(length) {
  if (length != 0) bytes = std::make_unique<uint8_t[]>(static_cast<size_t>(length) + 1);  // zero-filled
}

ByteBuffer::ByteBuffer(const void* source, uint16_t length) : ByteBuffer(length) {
  if (length != 0) std::memcpy(bytes.get(), source, length);
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : bytes(std::move(other.bytes)), length(std::exchange(other.length, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    bytes = std::move(other.bytes);
    length = std::exchange(other.length, 0);
  }
  return *this;
}
