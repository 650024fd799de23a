#pragma once
// An owned byte array with a 16-bit length. A non-empty buffer carries one
// extra byte holding 0 after its content, so a received text can be handed on
// as a zero-terminated string without copying. Moving leaves the source empty.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

class ByteBuffer {
 public:
  static constexpr size_t maxLength = 0xFFFF;

  ByteBuffer() = default;
  // length zero bytes.
  explicit ByteBuffer(uint16_t length);
  // A copy of length bytes.
  ByteBuffer(const void* bytes, uint16_t length);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  uint16_t size() const { return length; }
  bool empty() const { return length == 0; }
  uint8_t* data() { return bytes.get(); }
  const uint8_t* data() const { return bytes.get(); }
  // The content as zero-terminated text; "" for an empty buffer.
  const char* text() const { return length == 0 ? "" : reinterpret_cast<const char*>(bytes.get()); }
  std::string_view view() const { return {text(), length}; }

 private:
  std::unique_ptr<uint8_t[]> bytes;
  uint16_t length = 0;
};
