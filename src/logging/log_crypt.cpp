#include "logging/log_crypt.h"

#include <cstring>
#include <ctime>

#include "logging/ec.h"
#include "logging/flush_deflater.h"
#include "platform/random.h"

namespace base::log_crypt {
namespace {

constexpr std::uint32_t kDelta = 0x9E3779B9;
constexpr int kCycles = 16;
constexpr int kKeyAttempts = 64;

std::uint32_t Load32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void Store32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

void Store16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

void TeaEncrypt16(std::uint8_t block[8], const std::uint8_t key[16]) {
  std::uint32_t y = Load32(block), z = Load32(block + 4);
  const std::uint32_t ka = Load32(key), kb = Load32(key + 4), kc = Load32(key + 8), kd = Load32(key + 12);
  std::uint32_t sum = 0;
  for (int i = 0; i < kCycles; ++i) {
    sum += kDelta;
    y += ((z << 4) + ka) ^ (z + sum) ^ ((z >> 5) + kb);
    z += ((y << 4) + kc) ^ (y + sum) ^ ((y >> 5) + kd);
  }
  Store32(block, y);
  Store32(block + 4, z);
}

void TeaDecrypt16(std::uint8_t block[8], const std::uint8_t key[16]) {
  std::uint32_t y = Load32(block), z = Load32(block + 4);
  const std::uint32_t ka = Load32(key), kb = Load32(key + 4), kc = Load32(key + 8), kd = Load32(key + 12);
  std::uint32_t sum = kDelta * static_cast<std::uint32_t>(kCycles);
  for (int i = 0; i < kCycles; ++i) {
    z -= ((y << 4) + kc) ^ (y + sum) ^ ((y >> 5) + kd);
    y -= ((z << 4) + ka) ^ (z + sum) ^ ((z >> 5) + kb);
    sum -= kDelta;
  }
  Store32(block, y);
  Store32(block + 4, z);
}

Header MakeHeader(bool encrypt, bool compress, std::uint32_t created, std::int32_t key_index,
                  const std::uint8_t* writer_public) {
  Header h{};
  Store16(h.data(), kHeaderMagicStart);
  h[2] = encrypt ? 1 : 0;
  h[3] = compress ? 1 : 0;
  Store32(h.data() + 4, created);
  Store32(h.data() + 8, 0);
  Store32(h.data() + 12, kHeaderVersion);
  Store32(h.data() + 16, static_cast<std::uint32_t>(key_index));
  if (writer_public != nullptr) std::memcpy(h.data() + 20, writer_public, 64);
  Store16(h.data() + 148, kHeaderMagicEnd);
  return h;
}

Trailer MakeTrailer(std::uint32_t created) {
  Trailer t{};
  Store16(t.data(), kTrailerMagicStart);
  Store32(t.data() + 2, created);
  Store32(t.data() + 6, 0);
  Store16(t.data() + 10, kTrailerMagicEnd);
  return t;
}

LogCrypt::LogCrypt(int key_index, bool encrypt, bool compress)
    : encrypt_(encrypt), compress_(compress), key_index_(key_index), segment_limit_(kSegmentBytes) {
  static const PublicKey kNoKey{};
  const bool index_ok = key_index >= 0 && key_index < kReaderKeyCount;
  Initialise(index_ok ? BuiltInReaderKey(key_index) : kNoKey);
}

LogCrypt::LogCrypt(const PublicKey& reader_key, int key_index, bool encrypt, bool compress,
                   std::uint32_t segment_bytes)
    : encrypt_(encrypt),
      compress_(compress),
      key_index_(key_index),
      segment_limit_(segment_bytes == 0 ? kSegmentBytes : segment_bytes) {
  Initialise(reader_key);
}

LogCrypt::~LogCrypt() { std::memset(key_, 0, sizeof key_); }

void LogCrypt::Initialise(const PublicKey& reader_key) {
  const std::time_t now = std::time(nullptr);
  created_ = now < 0 ? 0 : static_cast<std::uint32_t>(now);
  header_ = MakeHeader(encrypt_, compress_, created_, key_index_, nullptr);
  trailer_ = MakeTrailer(created_);
  ready_ = false;
  if (encrypt_) {
    if (key_index_ < 0 || key_index_ >= kReaderKeyCount) return;
    std::uint8_t writer_public[64];
    if (!AgreeLogKey(reader_key, writer_public)) return;
    std::memcpy(header_.data() + 20, writer_public, 64);
  }
  if (compress_ && !StartDeflate()) return;
  ready_ = true;
}

bool LogCrypt::AgreeLogKey(const PublicKey& reader_key, std::uint8_t writer_public[64]) {
  std::uint8_t scalar[32];
  bool have_pair = false;
  for (int attempt = 0; attempt < kKeyAttempts && !have_pair; ++attempt) {
    if (!vyo::platform::RandomBytes(scalar, sizeof scalar)) break;
    have_pair = EcPublicKey(scalar, writer_public);
  }
  const bool agreed = have_pair && EcSharedX(scalar, reader_key.data(), key_);
  // The private scalar is not kept.
  std::memset(scalar, 0, sizeof scalar);
  return agreed;
}

bool LogCrypt::StartDeflate() {
  deflater_ = std::make_unique<FlushDeflater>();
  return true;
}

std::size_t LogCrypt::UncompressedOutputSize(std::size_t size) const {
  if (!encrypt_) return size;
  return (carry_size_ + size) / 8 * 8;
}

bool LogCrypt::Process(const void* data, std::size_t size, std::string& out, bool flush) {
  out.clear();
  if (!ready_) return false;
  const auto* in = static_cast<const std::uint8_t*>(data);

  // The carry goes in front of this call's data.
  if (encrypt_) out.assign(reinterpret_cast<const char*>(carry_), carry_size_);
  carry_size_ = 0;

  if (compress_) {
    // Each call ends with a sync flush: the record is whole in the output (less the cipher's carry).
    const std::size_t produced = deflater_->CompressAndFlush(in, size, out);
    const std::uint64_t total = static_cast<std::uint64_t>(segment_bytes_) + produced;
    segment_bytes_ = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
  } else {
    out.append(reinterpret_cast<const char*>(in), size);
  }

  const bool boundary = segment_bytes_ > segment_limit_;
  if (encrypt_) {
    if (flush || boundary) {
      out.resize((out.size() + 7) / 8 * 8, '\0');
    } else {
      carry_size_ = out.size() % 8;
      std::memcpy(carry_, out.data() + (out.size() - carry_size_), carry_size_);
      out.resize(out.size() - carry_size_);
    }
    auto* bytes = reinterpret_cast<std::uint8_t*>(out.data());
    for (std::size_t i = 0; i < out.size(); i += 8) TeaEncrypt16(bytes + i, key_);
  }

  if (boundary) {
    segment_bytes_ = 0;
    out.append(reinterpret_cast<const char*>(trailer_.data()), trailer_.size());
    out.append(reinterpret_cast<const char*>(header_.data()), header_.size());
    if (compress_) {
      deflater_.reset();
      ready_ = StartDeflate();
    }
  }
  return true;
}

}  // namespace base::log_crypt
