// Compression and encryption of everything the logger writes. One LogCrypt serves one file: it
// agrees a per-file key with a reader's public key (so only that reader can decrypt), deflates the
// text with sync flushes when asked to, encrypts it in 8-byte blocks with TEA (16 cycles), and
// provides the 150-byte header and 12-byte trailer that frame every log file and every segment.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "logging/flush_deflater.h"

namespace base::log_crypt {

inline constexpr std::size_t kHeaderSize = 150;
inline constexpr std::size_t kTrailerSize = 12;
inline constexpr std::uint32_t kSegmentBytes = 10485760;  // compressed bytes per segment
inline constexpr int kReaderKeyCount = 3;

inline constexpr std::uint16_t kHeaderMagicStart = 0x9686;
inline constexpr std::uint16_t kHeaderMagicEnd = 0xB6A6;
inline constexpr std::uint16_t kTrailerMagicStart = 0x9888;
inline constexpr std::uint16_t kTrailerMagicEnd = 0xB8A8;
inline constexpr std::uint32_t kHeaderVersion = 101;

using PublicKey = std::array<std::uint8_t, 64>;
using Header = std::array<std::uint8_t, kHeaderSize>;
using Trailer = std::array<std::uint8_t, kTrailerSize>;

// The reader public keys built into this program (from the key set chosen at build time).
const PublicKey& BuiltInReaderKey(int index);
// True when the built-in keys are the repository's development set.
bool BuiltInReaderKeysAreDevelopment();

// TEA with 16 cycles on one 8-byte block (two little-endian words), key = four little-endian words.
void TeaEncrypt16(std::uint8_t block[8], const std::uint8_t key[16]);
void TeaDecrypt16(std::uint8_t block[8], const std::uint8_t key[16]);

// The header and trailer bytes for the given fields.
Header MakeHeader(bool encrypt, bool compress, std::uint32_t created, std::int32_t key_index,
                  const std::uint8_t* writer_public /* 64 bytes, or null */);
Trailer MakeTrailer(std::uint32_t created);

class LogCrypt {
 public:
  // Uses built-in reader key `key_index` (0..2).
  LogCrypt(int key_index, bool encrypt, bool compress);
  // Uses the given reader public key; `segment_bytes` other than kSegmentBytes only in tests.
  LogCrypt(const PublicKey& reader_key, int key_index, bool encrypt, bool compress,
           std::uint32_t segment_bytes = kSegmentBytes);
  ~LogCrypt();
  LogCrypt(const LogCrypt&) = delete;
  LogCrypt& operator=(const LogCrypt&) = delete;

  // Processes `size` bytes into `out` (replacing its content). False when the object is not ready;
  // `out` is then empty and the caller writes nothing. `flush` pads and emits everything held back.
  bool Process(const void* data, std::size_t size, std::string& out, bool flush);

  // Bytes `Process` would output for `size` input bytes without compression and without flush
  // (the memory log sizes its ring slots with it).
  std::size_t UncompressedOutputSize(std::size_t size) const;

  const Header& header() const { return header_; }
  const Trailer& trailer() const { return trailer_; }
  bool ready() const { return ready_; }
  bool encrypt() const { return encrypt_; }
  bool compress() const { return compress_; }
  std::size_t carry_size() const { return carry_size_; }
  std::uint32_t segment_bytes() const { return segment_bytes_; }
  std::uint32_t created() const { return created_; }

 private:
  void Initialise(const PublicKey& reader_key);
  bool AgreeLogKey(const PublicKey& reader_key, std::uint8_t writer_public[64]);
  bool StartDeflate();

  const bool encrypt_;
  const bool compress_;
  const std::int32_t key_index_;
  const std::uint32_t segment_limit_;
  bool ready_ = false;
  std::uint32_t created_ = 0;
  std::uint8_t key_[32] = {};
  Header header_{};
  Trailer trailer_{};
  std::unique_ptr<FlushDeflater> deflater_;
  std::uint8_t carry_[8] = {};
  std::size_t carry_size_ = 0;
  std::uint32_t segment_bytes_ = 0;
};

}  // namespace base::log_crypt
