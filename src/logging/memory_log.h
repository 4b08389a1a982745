// The memory log: a fixed-size memory-mapped file that always holds the latest records. Layout:
// the 150-byte LogCrypt header, a ring of 3,145,728 processed record bytes, the 12-byte trailer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/log_crypt.h"

namespace vyo::platform {
class MappedLogFile;
}

namespace base {

inline constexpr std::size_t kMemoryLogCapacity = 0x300000;  // 3,145,728
inline constexpr std::size_t kMemoryLogFileSize =
    log_crypt::kHeaderSize + kMemoryLogCapacity + log_crypt::kTrailerSize;  // 3,145,890

// Ring arithmetic over a caller's buffer of `capacity` bytes. A chunk of `capacity` bytes or more is
// dropped; a chunk that fits before the end is copied at the position; otherwise the rest of the
// ring is filled with spaces and the chunk starts again at offset 0.
class MemoryRing {
 public:
  enum class Append { kDropped, kWritten, kWrapped };
  MemoryRing(std::uint8_t* ring, std::size_t capacity) : ring_(ring), capacity_(capacity) {}
  Append Add(const std::uint8_t* data, std::size_t size);
  // Calls `sink` with the ring's content from oldest to newest (one or two pieces).
  template <typename Sink>
  void VisitInOrder(Sink&& sink) const {
    if (wrapped_) sink(ring_ + position_, capacity_ - position_);
    sink(ring_, position_);
  }
  std::size_t position() const { return position_; }
  bool wrapped() const { return wrapped_; }
  std::size_t capacity() const { return capacity_; }

 private:
  std::uint8_t* ring_;
  std::size_t capacity_;
  std::size_t position_ = 0;
  bool wrapped_ = false;
};

class MemoryLog {
 public:
  ~MemoryLog();
  // Opens (creating when needed) the ring file at `path` and starts an empty ring; every step is
  // checked. False when the memory log cannot be used; it is then closed.
  bool Open(const std::u16string& path, bool encrypt, const log_crypt::PublicKey* reader_key = nullptr);
  void Close();
  bool is_open() const;
  // Appends one record line; false when the memory log is closed, the record was dropped, or the
  // lock could not be had within `timeout_ms` (negative: wait as long as it takes).
  bool Append(std::string_view line, int timeout_ms = -1);
  // Writes header, the ring from oldest to newest and the trailer into `target` (truncated first).
  // Bytes still held back by the cipher are padded out and added to the ring first, so the dump
  // holds every record written so far.
  bool DumpToFile(const std::u16string& target);
  // Writes the mapping to disk and touches the file's last-write time.
  void Flush();

 private:
  mutable std::timed_mutex lock_;
  std::unique_ptr<vyo::platform::MappedLogFile> file_;
  std::unique_ptr<log_crypt::LogCrypt> crypt_;
  std::unique_ptr<MemoryRing> ring_;
  std::string scratch_;
};

}  // namespace base
