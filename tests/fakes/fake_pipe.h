// A scripted pipe server: a test queues incoming messages, reads what was written, and can make
// writes block, fail or report a broken pipe.
#pragma once
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/pipe.h"

namespace vyo::testing {

class FakePipe final : public platform::PipeServer {
 public:
  enum class WriteMode { kOk, kBlock, kFail, kBroken };

  // Incoming side.
  void PushMessage(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    incoming_.push_back(std::move(bytes));
  }
  void CloseIncoming() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }

  // Outgoing side.
  void SetWriteMode(WriteMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
    cv_.notify_all();
  }
  std::vector<std::vector<uint8_t>> Written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  size_t WrittenCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_.size();
  }
  bool WaitBlocked(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return blocked_; });
  }
  int reads() const { return reads_; }

  bool WaitForClient(bool (*)(void*), void*) override { return true; }
  platform::PipeResult Peek(uint32_t* available) override {
    std::lock_guard<std::mutex> lock(mutex_);
    *available = 0;
    if (!incoming_.empty()) {
      *available = static_cast<uint32_t>(incoming_.front().size());
      return platform::PipeResult::kOk;
    }
    return closed_ ? platform::PipeResult::kBroken : platform::PipeResult::kOk;
  }
  platform::PipeResult ReadMessage(void* buffer, uint32_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++reads_;
    if (incoming_.empty()) return platform::PipeResult::kFailed;
    std::vector<uint8_t> msg = std::move(incoming_.front());
    incoming_.pop_front();
    if (msg.size() != size) return platform::PipeResult::kFailed;
    if (size != 0) std::memcpy(buffer, msg.data(), size);
    return platform::PipeResult::kOk;
  }
  platform::PipeResult WriteMessage(const void* data, uint32_t size) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (mode_ == WriteMode::kBlock) {
      blocked_ = true;
      cv_.notify_all();
      cv_.wait(lock, [this] { return mode_ != WriteMode::kBlock || cancel_; });
      blocked_ = false;
      if (cancel_) {
        cancel_ = false;
        return platform::PipeResult::kFailed;
      }
    }
    if (mode_ == WriteMode::kFail) return platform::PipeResult::kFailed;
    if (mode_ == WriteMode::kBroken) return platform::PipeResult::kBroken;
    const auto* p = static_cast<const uint8_t*>(data);
    written_.emplace_back(p, p + size);
    return platform::PipeResult::kOk;
  }
  void CancelWrite() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (blocked_) cancel_ = true;
    cv_.notify_all();
  }
  void Close() override {}
  uint32_t MaxMessageSize() const override { return 0x100000; }
  intptr_t NativeHandle() const override { return -1; }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::vector<uint8_t>> incoming_;
  std::vector<std::vector<uint8_t>> written_;
  WriteMode mode_ = WriteMode::kOk;
  bool closed_ = false;
  bool blocked_ = false;
  bool cancel_ = false;
  int reads_ = 0;
};

// Queues one frame (header message and, when non-empty, payload message) onto a fake pipe.
inline void PushFrame(FakePipe& pipe, uint32_t type, const std::vector<uint8_t>& payload, uint32_t version = 1) {
  std::vector<uint8_t> header(16);
  const uint32_t fields[4] = {0x57563254, version, type, static_cast<uint32_t>(payload.size())};
  for (int f = 0; f < 4; ++f)
    for (int i = 0; i < 4; ++i) header[static_cast<size_t>(4 * f + i)] = static_cast<uint8_t>(fields[f] >> (8 * i));
  pipe.PushMessage(header);
  if (!payload.empty()) pipe.PushMessage(payload);
}

// The frames written to a fake pipe as (type, payload) pairs: each header message, followed by its
// payload message when the header's length is not 0.
inline std::vector<std::pair<uint32_t, std::vector<uint8_t>>> WrittenFrames(FakePipe& pipe) {
  auto u32 = [](const std::vector<uint8_t>& m, size_t at) {
    return static_cast<uint32_t>(m[at]) | (static_cast<uint32_t>(m[at + 1]) << 8) |
           (static_cast<uint32_t>(m[at + 2]) << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
  };
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
  const auto written = pipe.Written();
  for (size_t i = 0; i < written.size(); ++i) {
    std::vector<uint8_t> payload;
    if (u32(written[i], 12) != 0 && i + 1 < written.size()) payload = written[i + 1];
    out.emplace_back(u32(written[i], 8), payload);
    if (!payload.empty()) ++i;
  }
  return out;
}

}  // namespace vyo::testing
