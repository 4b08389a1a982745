// FlushDeflater: the log files' compressor. It writes one zlib stream (RFC 1950 header, RFC 1951
// blocks) and ends every call with a sync flush (an empty stored block), so that everything given
// so far can be inflated from the bytes returned so far: each log record reaches the file whole.
//
// Records are short and each one is flushed, so a general compressor spends most of its time per
// flush on building Huffman trees for a few dozen symbols. This one uses the fixed codes of RFC 1951
// and a single-probe hash over a 32 KiB window, which log lines (long repeats of the previous
// lines) compress well with; a piece that would grow goes out as a stored block. The stream never
// ends with a final block or a checksum: a new segment starts a new stream, and readers take the
// stream as far as it goes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace base::log_crypt {

class FlushDeflater {
 public:
  FlushDeflater();

  // Compresses `size` bytes of `data`, appends the result and the sync flush to `out` and returns
  // the number of bytes appended. The first call of a stream also writes the zlib header. An empty
  // input appends nothing after the first call.
  std::size_t CompressAndFlush(const std::uint8_t* data, std::size_t size, std::string& out);

 private:
  static constexpr std::size_t kWindow = 32768;
  static constexpr std::size_t kPiece = 32768;  // input compressed as one block at most
  static constexpr std::size_t kBufferSize = kWindow + 2 * kPiece;
  static constexpr int kHashBits = 13;

  // Bits go out least significant first, as RFC 1951 packs them.
  void PutBits(std::uint32_t value, int count, std::string& out);
  void AlignToByte(std::string& out);
  // Appends `size` bytes at buffer offset `start` as one fixed-code block, or as a stored block
  // when that is smaller.
  void EncodePiece(std::size_t start, std::size_t size, std::string& out);
  void StoredBlock(std::size_t start, std::size_t size, std::string& out);

  std::vector<std::uint8_t> buffer_;  // the window and the piece being compressed
  std::size_t filled_ = 0;            // bytes in buffer_
  std::uint64_t buffer_base_ = 0;     // stream position of buffer_[0]
  std::vector<std::uint32_t> head_;   // hash of 4 bytes -> low 32 bits of stream position + 1
  std::uint64_t bits_ = 0;
  int bit_count_ = 0;
  bool started_ = false;
};

}  // namespace base::log_crypt
