// Little-endian byte reading and writing for pipe payloads. Reads are bounds-checked: a field that
// does not fit reports failure instead of reading past the payload.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vyo::host {

class ByteWriter {
 public:
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Bytes(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
  }
  void Utf8(std::string_view s) { Bytes(s.data(), s.size()); }
  void Utf16(std::u16string_view s) {
    for (char16_t c : s) {
      bytes_.push_back(static_cast<uint8_t>(c & 0xFF));
      bytes_.push_back(static_cast<uint8_t>(c >> 8));
    }
  }
  std::vector<uint8_t>& bytes() { return bytes_; }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Reads fixed-offset fields of a payload whose minimum size has been checked by the caller.
class PayloadView {
 public:
  PayloadView(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }
  bool Has(size_t offset, size_t n) const { return offset <= size_ && n <= size_ - offset; }
  uint32_t U32(size_t offset) const { return Has(offset, 4) ? LoadU32(data_ + offset) : 0; }
  int32_t I32(size_t offset) const { return static_cast<int32_t>(U32(offset)); }
  uint64_t U64(size_t offset) const { return Has(offset, 8) ? LoadU64(data_ + offset) : 0; }
  // UTF-16 text of `byte_length` bytes at `offset`; an odd last byte is ignored.
  std::u16string Utf16(size_t offset, size_t byte_length) const {
    std::u16string out;
    if (!Has(offset, byte_length)) return out;
    out.resize(byte_length / 2);
    for (size_t i = 0; i < out.size(); ++i) {
      out[i] = static_cast<char16_t>(data_[offset + 2 * i] | (data_[offset + 2 * i + 1] << 8));
    }
    return out;
  }
  std::string Utf8(size_t offset, size_t byte_length) const {
    if (!Has(offset, byte_length)) return {};
    return std::string(reinterpret_cast<const char*>(data_ + offset), byte_length);
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace vyo::host
