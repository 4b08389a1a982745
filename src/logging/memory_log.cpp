#include "logging/memory_log.h"

#include <chrono>
#include <cstring>

#include "platform/log_files.h"

namespace base {

MemoryRing::Append MemoryRing::Add(const std::uint8_t* data, std::size_t size) {
  if (size >= capacity_) return Append::kDropped;
  if (size == 0) return Append::kWritten;
  if (size <= capacity_ - position_) {
    std::memcpy(ring_ + position_, data, size);
    position_ += size;
    // A chunk that ends exactly at the end fills the ring: the next write starts at 0 and the
    // whole ring, read from the position, is in order.
    if (position_ == capacity_) {
      position_ = 0;
      wrapped_ = true;
    }
    return Append::kWritten;
  }
  std::memset(ring_ + position_, ' ', capacity_ - position_);
  std::memcpy(ring_, data, size);
  wrapped_ = true;
  position_ = size;
  return Append::kWrapped;
}

MemoryLog::~MemoryLog() { Close(); }

void MemoryLog::Close() {
  std::lock_guard<std::timed_mutex> guard(lock_);
  ring_.reset();
  crypt_.reset();
  file_.reset();
}

bool MemoryLog::is_open() const {
  std::lock_guard<std::timed_mutex> guard(lock_);
  return file_ != nullptr;
}

bool MemoryLog::Open(const std::u16string& path, bool encrypt, const log_crypt::PublicKey* reader_key) {
  std::lock_guard<std::timed_mutex> guard(lock_);
  ring_.reset();
  crypt_.reset();
  file_.reset();
  std::uint32_t error = 0;
  auto file = vyo::platform::MappedLogFile::Open(path, kMemoryLogFileSize, &error);
  if (file == nullptr) {
    vyo::platform::DebugOutput("memory log open failed, error=" + std::to_string(error));
    return false;
  }
  auto crypt = reader_key != nullptr ? std::make_unique<log_crypt::LogCrypt>(*reader_key, 0, encrypt, false)
                                     : std::make_unique<log_crypt::LogCrypt>(0, encrypt, false);
  if (!crypt->ready()) {
    vyo::platform::DebugOutput("memory log cipher is not ready");
    return false;
  }
  std::uint8_t* view = file->data();
  std::memcpy(view, crypt->header().data(), log_crypt::kHeaderSize);
  // Old ring content from an earlier run is cleared, so a reader never mixes two runs.
  std::memset(view + log_crypt::kHeaderSize, 0, kMemoryLogCapacity);
  std::memcpy(view + log_crypt::kHeaderSize + kMemoryLogCapacity, crypt->trailer().data(), log_crypt::kTrailerSize);
  ring_ = std::make_unique<MemoryRing>(view + log_crypt::kHeaderSize, kMemoryLogCapacity);
  crypt_ = std::move(crypt);
  file_ = std::move(file);
  return true;
}

bool MemoryLog::Append(std::string_view line, int timeout_ms) {
  std::unique_lock<std::timed_mutex> guard(lock_, std::defer_lock);
  if (timeout_ms < 0) {
    guard.lock();
  } else if (!guard.try_lock_for(std::chrono::milliseconds(timeout_ms))) {
    return false;
  }
  if (ring_ == nullptr) return false;
  // A record that cannot fit the ring is dropped before it is processed, so the bytes the cipher
  // holds back for the next record are kept.
  if (crypt_->UncompressedOutputSize(line.size()) >= kMemoryLogCapacity) return false;
  if (!crypt_->Process(line.data(), line.size(), scratch_, false)) return false;
  return ring_->Add(reinterpret_cast<const std::uint8_t*>(scratch_.data()), scratch_.size()) !=
         MemoryRing::Append::kDropped;
}

bool MemoryLog::DumpToFile(const std::u16string& target) {
  std::lock_guard<std::timed_mutex> guard(lock_);
  if (ring_ == nullptr) return false;
  std::uint32_t error = 0;
  auto out = vyo::platform::LogFile::Open(target, vyo::platform::LogFile::Mode::kCreateAlways, &error);
  if (out == nullptr) {
    vyo::platform::DebugOutput("DumpToFile Error: " + std::to_string(error));
    return false;
  }
  if (crypt_->carry_size() > 0 && crypt_->Process(nullptr, 0, scratch_, true)) {
    ring_->Add(reinterpret_cast<const std::uint8_t*>(scratch_.data()), scratch_.size());
  }
  bool ok = out->Write(crypt_->header().data(), log_crypt::kHeaderSize);
  ring_->VisitInOrder([&](const std::uint8_t* p, std::size_t n) {
    if (ok && n > 0) ok = out->Write(p, n);
  });
  ok = ok && out->Write(crypt_->trailer().data(), log_crypt::kTrailerSize) && out->Sync();
  return ok;
}

void MemoryLog::Flush() {
  std::lock_guard<std::timed_mutex> guard(lock_);
  if (file_ == nullptr) {
    vyo::platform::DebugOutput("Flush File Error: 0");
    return;
  }
  std::uint32_t error = 0;
  if (!file_->Flush(&error)) vyo::platform::DebugOutput("Flush File Error: " + std::to_string(error));
}

}  // namespace base
