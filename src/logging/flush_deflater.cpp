#include "logging/flush_deflater.h"

#include <algorithm>
#include <cstring>

namespace base::log_crypt {
namespace {

constexpr std::size_t kMinMatch = 4;  // the hash looks at 4 bytes; RFC 1951 allows 3
constexpr std::size_t kMaxMatch = 258;
constexpr std::uint32_t kEndOfBlock = 256;
constexpr std::size_t kIndexWholeMatch = 16;  // matches up to this long have every position indexed
constexpr std::size_t kIndexTail = 8;         // of longer ones, this many last positions

struct Code {
  std::uint16_t bits;  // already reversed for least-significant-first output
  std::uint8_t length;
};

std::uint16_t Reverse(std::uint32_t code, int length) {
  std::uint32_t out = 0;
  for (int i = 0; i < length; ++i) out |= ((code >> i) & 1u) << (length - 1 - i);
  return static_cast<std::uint16_t>(out);
}

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// The fixed literal/length and distance codes of RFC 1951 (3.2.6) and the length symbols.
struct Tables {
  Code literal[288];
  Code distance[30];
  std::uint8_t length_index[kMaxMatch + 1];  // match length -> index into kLengthBase

  Tables() {
    for (std::uint32_t s = 0; s < 288; ++s) {
      std::uint32_t code = 0;
      int length = 0;
      if (s < 144) {
        code = 0x30 + s;
        length = 8;
      } else if (s < 256) {
        code = 0x190 + (s - 144);
        length = 9;
      } else if (s < 280) {
        code = s - 256;
        length = 7;
      } else {
        code = 0xC0 + (s - 280);
        length = 8;
      }
      literal[s] = Code{Reverse(code, length), static_cast<std::uint8_t>(length)};
    }
    for (std::uint32_t d = 0; d < 30; ++d) distance[d] = Code{Reverse(d, 5), 5};
    // In order, so that 258 ends on its own symbol (285) and not on 284's last extra value.
    for (std::uint8_t i = 0; i < 29; ++i) {
      const std::uint32_t last = std::min<std::uint32_t>(kMaxMatch, kLengthBase[i] + (1u << kLengthExtra[i]) - 1);
      for (std::uint32_t len = kLengthBase[i]; len <= last; ++len) length_index[len] = i;
    }
  }
};

const Tables& FixedTables() {
  static const Tables tables;
  return tables;
}

std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

FlushDeflater::FlushDeflater() : buffer_(kBufferSize), head_(std::size_t{1} << kHashBits, 0) { FixedTables(); }

void FlushDeflater::PutBits(std::uint32_t value, int count, std::string& out) {
  bits_ |= static_cast<std::uint64_t>(value) << bit_count_;
  bit_count_ += count;
  if (bit_count_ >= 32) {
    const char bytes[4] = {static_cast<char>(bits_), static_cast<char>(bits_ >> 8), static_cast<char>(bits_ >> 16),
                           static_cast<char>(bits_ >> 24)};
    out.append(bytes, 4);
    bits_ >>= 32;
    bit_count_ -= 32;
  }
}

void FlushDeflater::AlignToByte(std::string& out) {
  bit_count_ = (bit_count_ + 7) / 8 * 8;
  while (bit_count_ > 0) {
    out.push_back(static_cast<char>(bits_));
    bits_ >>= 8;
    bit_count_ -= 8;
  }
  bits_ = 0;
}

void FlushDeflater::StoredBlock(std::size_t start, std::size_t size, std::string& out) {
  PutBits(0, 3, out);  // not final, stored
  AlignToByte(out);
  const char lengths[4] = {static_cast<char>(size), static_cast<char>(size >> 8), static_cast<char>(~size),
                           static_cast<char>(~size >> 8)};
  out.append(lengths, 4);
  if (size != 0) out.append(reinterpret_cast<const char*>(buffer_.data() + start), size);
}

void FlushDeflater::EncodePiece(std::size_t start, std::size_t size, std::string& out) {
  const Tables& t = FixedTables();
  const std::size_t out_before = out.size();
  const std::uint64_t bits_before = bits_;
  const int count_before = bit_count_;
  const auto hash = [](std::uint32_t v) { return (v * 2654435761u) >> (32 - kHashBits); };

  PutBits(2, 3, out);  // not final, fixed codes
  const std::uint8_t* b = buffer_.data();
  const std::size_t end = start + size;
  std::size_t i = start;
  while (i < end) {
    std::size_t length = 0;
    std::size_t distance = 0;
    if (end - i >= kMinMatch) {
      const std::uint32_t v = Load32(b + i);
      const std::uint32_t h = hash(v);
      // Entries hold the low 32 bits of position + 1; any entry that names a place inside the
      // buffer and the window is a candidate (its bytes are compared before use).
      const std::uint32_t here = static_cast<std::uint32_t>(buffer_base_ + i + 1);
      const std::uint32_t previous = head_[h];
      const std::uint32_t back = here - previous;
      head_[h] = here;
      if (previous != 0 && back != 0 && back <= kWindow && back <= i) {
        const std::size_t c = i - back;
        if (Load32(b + c) == v) {
          const std::size_t limit = std::min(kMaxMatch, end - i);
          length = kMinMatch;
          while (length < limit && b[c + length] == b[i + length]) ++length;
          distance = i - c;
        }
      }
    }
    if (length == 0) {
      const Code& code = t.literal[b[i]];
      PutBits(code.bits, code.length, out);
      ++i;
      continue;
    }
    const std::uint8_t li = t.length_index[length];
    const Code& lcode = t.literal[257 + li];
    PutBits(lcode.bits, lcode.length, out);
    if (kLengthExtra[li] != 0) PutBits(static_cast<std::uint32_t>(length - kLengthBase[li]), kLengthExtra[li], out);
    const std::uint32_t v = static_cast<std::uint32_t>(distance - 1);
    if (v < 4) {
      PutBits(t.distance[v].bits, 5, out);
    } else {
      int msb = 31;
      while ((v >> msb) == 0) --msb;
      const std::uint32_t dcode = 2u * static_cast<std::uint32_t>(msb) + ((v >> (msb - 1)) & 1u);
      PutBits(t.distance[dcode].bits, 5, out);
      PutBits(v & ((1u << (msb - 1)) - 1u), msb - 1, out);
    }
    // Positions inside the match are found by later matches too: all of a short match; of a long
    // one (a repeated line) its last bytes, where the next difference starts. Every store is a
    // likely cache miss, so a long match does not store them all.
    const std::size_t skip_to = length > kIndexWholeMatch ? length - kIndexTail : 1;
    for (std::size_t k = skip_to; k < length && i + k + kMinMatch <= end; ++k) {
      head_[hash(Load32(b + i + k))] = static_cast<std::uint32_t>(buffer_base_ + i + k + 1);
    }
    i += length;
  }
  PutBits(t.literal[kEndOfBlock].bits, t.literal[kEndOfBlock].length, out);

  const std::size_t coded_bits = (out.size() - out_before) * 8 + static_cast<std::size_t>(bit_count_) -
                                 static_cast<std::size_t>(count_before);
  if (coded_bits > (size + 5) * 8) {
    // Data that does not compress (or grows under the fixed codes) goes out as it is.
    out.resize(out_before);
    bits_ = bits_before;
    bit_count_ = count_before;
    StoredBlock(start, size, out);
  }
}

std::size_t FlushDeflater::CompressAndFlush(const std::uint8_t* data, std::size_t size, std::string& out) {
  const std::size_t before = out.size();
  if (!started_) {
    // CMF 0x78: deflate with a 32 KiB window; FLG 0x01: the fastest kind, no dictionary, check bits.
    out.push_back(static_cast<char>(0x78));
    out.push_back(static_cast<char>(0x01));
    started_ = true;
  }
  if (size == 0) return out.size() - before;
  while (size > 0) {
    const std::size_t n = std::min(size, kPiece);
    if (filled_ + n > kBufferSize) {
      // Keep the last window; hash entries older than it are refused by their position.
      const std::size_t drop = filled_ - kWindow;
      std::memmove(buffer_.data(), buffer_.data() + drop, kWindow);
      buffer_base_ += drop;
      filled_ = kWindow;
    }
    std::memcpy(buffer_.data() + filled_, data, n);
    EncodePiece(filled_, n, out);
    filled_ += n;
    data += n;
    size -= n;
  }
  StoredBlock(0, 0, out);  // the sync flush: byte-aligned, everything so far can be inflated
  return out.size() - before;
}

}  // namespace base::log_crypt
