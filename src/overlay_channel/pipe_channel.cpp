#include "overlay_channel/pipe_channel.h"

#include <string_view>

#include "base/lock_checks.h"
#include "base/log.h"
#include "protocol/protocol.h"
#include "protocol/wire.h"

namespace vyo::host {
namespace {

uint32_t FrameType(const std::vector<uint8_t>& frame) {
  return frame.size() >= kFrameHeaderSize ? LoadU32(frame.data() + 8) : 0;
}

std::string_view FramePayloadText(const std::vector<uint8_t>& frame) {
  if (frame.size() <= kFrameHeaderSize) return {};
  return std::string_view(reinterpret_cast<const char*>(frame.data() + kFrameHeaderSize),
                          frame.size() - kFrameHeaderSize);
}

// Log lines and hit-mask heartbeats may be lost without harm, and so may what pages cause (their
// data and selection notices): a page must never be able to end the host by filling the queue.
// Any other lost frame ends the host.
bool IsDroppable(uint32_t type) {
  return type == kHostLog || type == kHitMaskHeartbeat || type == kPageMessage || type == kSelectionChanged;
}

}  // namespace

PipeWriter::PipeWriter(platform::PipeServer* pipe, std::mutex* pipe_write_lock, platform::Clock& clock)
    : pipe_(pipe), pipe_write_lock_(pipe_write_lock), clock_(clock) {}

PipeWriter::~PipeWriter() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(queue_mutex_);
      stopping_ = true;
    }
    queue_cv_.notify_all();
    if (pipe_ != nullptr) pipe_->CancelWrite();
    thread_.join();
  }
}

void PipeWriter::Start() {
  int32_t expected = 0;
  if (!connected_.compare_exchange_strong(expected, 1)) return;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    stopping_ = false;
    queue_.clear();
  }
  write_failed_ = 0;
  peer_gone_ = 0;
  writing_ = 0;
  write_start_tick_ = 0;
  last_write_tick_ = clock_.TickMs();
  thread_done_ = false;
  thread_ = std::thread([this] { Run(); });
}

bool PipeWriter::Send(uint32_t type, const uint8_t* payload, size_t length, const SourceLocation& where) {
  CheckNoRegistryLock("send to the overlay");  // it takes the queue's lock, maybe writes the pipe
  if (connected_.load() == 0) return false;
  if (length > kMaxPayload) {
    // Refused here: the overlay would treat it as a malformed frame and stop reading.
    HostLogf(LogLevel::kWarning, "pipe frame refused, type=%u, length=%zu", type, length);
    return false;
  }
  if (write_failed_.load() != 0) return false;
  std::vector<uint8_t> frame = BuildFrame(type, payload, static_cast<uint32_t>(length));
  std::unique_lock<std::mutex> lock(queue_mutex_);
  if (stopping_) return false;
  const bool droppable = IsDroppable(type);
  // A heartbeat still waiting in the queue is replaced by the newer one: an overlay that does not
  // read for a while finds one heartbeat waiting, not a queue full of them that leaves no room for
  // frames that must not be dropped.
  if (type == kHitMaskHeartbeat) {
    for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) {
      if (it->header_sent || FrameType(it->bytes) != kHitMaskHeartbeat) continue;
      it->bytes = std::move(frame);
      it->where = where;
      return true;
    }
  }
  // A frame that may be dropped leaves the held places free; one that must not be dropped may use
  // the whole queue.
  if (queue_.size() + (droppable ? reserved_ : 0) >= kSendQueueLimit) {
    if (!droppable) write_failed_ = 1;
    return false;
  }
  if (queue_.empty() && writing_.load() == 0) {
    // Nothing ahead of this frame: it goes out at once when the pipe takes it without waiting,
    // which spares the writer thread's wake-up. The pipe lock is only tried, never waited for.
    std::unique_lock<std::mutex> pipe_lock(*pipe_write_lock_, std::try_to_lock);
    if (pipe_lock.owns_lock()) {
      writing_ = 1;
      write_start_tick_ = clock_.TickMs();
      lock.unlock();
      SendDirect(QueuedFrame{std::move(frame), where}, pipe_lock);
      return true;
    }
  }
  queue_.push_back(QueuedFrame{std::move(frame), where});
  lock.unlock();
  queue_cv_.notify_one();
  return true;
}

void PipeWriter::SendDirect(QueuedFrame queued, std::unique_lock<std::mutex>& pipe_lock) {
  const std::vector<uint8_t>& frame = queued.bytes;
  const uint32_t length = static_cast<uint32_t>(frame.size() - kFrameHeaderSize);
  int sent = 0;
  const platform::PipeResult r =
      pipe_ == nullptr ? platform::PipeResult::kFailed
                       : pipe_->TryWriteFrame(frame.data(), kFrameHeaderSize, frame.data() + kFrameHeaderSize, length,
                                              &sent);
  const int parts = length != 0 ? 2 : 1;
  if (r == platform::PipeResult::kOk && sent < parts) {
    // The pipe is full: the rest goes first in the queue, taken while the pipe lock is still held,
    // so the writer thread (which takes the pipe lock before the queue) continues exactly here.
    queued.header_sent = sent > 0;
    {
      std::lock_guard<std::mutex> lock(queue_mutex_);
      queue_.push_front(std::move(queued));
      writing_ = 0;
    }
    pipe_lock.unlock();
    queue_cv_.notify_one();
    return;
  }
  pipe_lock.unlock();
  if (r != platform::PipeResult::kOk) {
    if (r == platform::PipeResult::kBroken) peer_gone_ = 1;
    write_failed_ = 1;
  } else {
    last_write_tick_ = clock_.TickMs();
  }
  writing_ = 0;
  LogSent(queued);
}

bool PipeWriter::Reserve(size_t count, size_t headroom) {
  if (connected_.load() == 0 || write_failed_.load() != 0) return false;
  std::lock_guard<std::mutex> lock(queue_mutex_);
  if (stopping_ || queue_.size() + reserved_ + count + headroom > kSendQueueLimit) return false;
  reserved_ += count;
  return true;
}

void PipeWriter::Release(size_t count) {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  reserved_ = reserved_ >= count ? reserved_ - count : 0;
}

size_t PipeWriter::reserved() const {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  return reserved_;
}

size_t PipeWriter::queued() const {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  return queue_.size();
}

bool PipeWriter::WaitUntilIdle(uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (write_failed_.load() != 0 || (queued() == 0 && writing_.load() == 0)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void PipeWriter::Run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(queue_mutex_);
      queue_cv_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (stopping_) break;
    }
    // The pipe lock comes before the queue: a sender writing directly holds it, and the rest of its
    // frame is at the front of the queue by the time this thread gets it.
    std::unique_lock<std::mutex> pipe_lock(*pipe_write_lock_);
    QueuedFrame frame;
    {
      std::lock_guard<std::mutex> lock(queue_mutex_);
      if (stopping_) break;
      if (queue_.empty()) continue;
      frame = std::move(queue_.front());
      queue_.pop_front();
      // Marked under the lock so that an empty queue never hides a frame in hand.
      write_start_tick_ = clock_.TickMs();
      writing_ = 1;
    }
    bool broken = false;
    const bool ok = WriteFrameLocked(frame, &broken);
    pipe_lock.unlock();
    writing_ = 0;
    if (!ok) {
      if (broken) peer_gone_ = 1;
      write_failed_ = 1;
      // Nothing will drain the queue any more: keep the log lines it holds.
      std::deque<QueuedFrame> rest;
      {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        rest.swap(queue_);
      }
      LogSent(frame);
      LogDiscarded(rest);
      break;
    }
    last_write_tick_ = clock_.TickMs();
    LogSent(frame);
  }
  thread_done_ = true;
}

bool PipeWriter::WriteFrameLocked(const QueuedFrame& queued, bool* broken) {
  const std::vector<uint8_t>& frame = queued.bytes;
  if (frame.size() < kFrameHeaderSize) return false;
  if (pipe_ == nullptr) return false;
  platform::PipeResult r = platform::PipeResult::kOk;
  if (!queued.header_sent) r = pipe_->WriteMessage(frame.data(), kFrameHeaderSize);
  if (r == platform::PipeResult::kOk) {
    const uint32_t length = LoadU32(frame.data() + 12);
    if (length != 0) {
      if (frame.size() - kFrameHeaderSize != length) return false;
      r = pipe_->WriteMessage(frame.data() + kFrameHeaderSize, length);
    }
  }
  *broken = r == platform::PipeResult::kBroken;
  return r == platform::PipeResult::kOk;
}

// A log line goes to the local log once the pipe has it (or it was given up), after the write, so
// that the local log's own work never delays the overlay's copy.
void PipeWriter::LogSent(const QueuedFrame& frame) {
  if (FrameType(frame.bytes) != kHostLog) return;
  const std::string_view text = FramePayloadText(frame.bytes);
  HostLogAt(frame.where, LogLevel::kTrace, "%.*s", static_cast<int>(text.size()), text.data());
}

void PipeWriter::LogDiscarded(std::deque<QueuedFrame>& frames) {
  for (const auto& frame : frames) LogSent(frame);
}

void PipeWriter::Stop(uint32_t stop_timeout_ms, const std::function<void()>& on_stuck) {
  int32_t expected = 1;
  if (!connected_.compare_exchange_strong(expected, 0)) return;
  std::deque<QueuedFrame> discarded;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    stopping_ = true;
    discarded.swap(queue_);
  }
  queue_cv_.notify_all();
  LogDiscarded(discarded);
  if (!thread_.joinable()) return;
  const uint32_t start = clock_.TickMs();
  while (!thread_done_.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (thread_done_.load()) break;
    if (pipe_ != nullptr) pipe_->CancelWrite();
    if (clock_.TickMs() - start >= stop_timeout_ms) {
      if (on_stuck) on_stuck();
      break;
    }
  }
  if (thread_done_.load()) {
    thread_.join();
  } else {
    thread_.detach();  // only reached when on_stuck returned; the process is going down
  }
}

PumpResult PumpPipeFrames(platform::PipeServer& pipe, platform::Clock& clock, uint32_t max_payload,
                          const std::function<bool(uint32_t, const std::vector<uint8_t>&)>& dispatch) {
  PumpResult result;
  const int64_t start = clock.PerfCounter();
  const int64_t frequency = clock.PerfFrequency();
  for (;;) {
    // The header is one message of exactly 16 bytes; any other size is a malformed frame. Looking
    // and taking are one step, so a frame costs the header read and the payload read only.
    uint8_t header_bytes[kFrameHeaderSize];
    bool got = false;
    const platform::PipeResult r = pipe.TryReadMessage(header_bytes, kFrameHeaderSize, &got);
    if (r != platform::PipeResult::kOk) {
      // Nothing taken: the overlay has closed its end. A message taken but unreadable or of the
      // wrong size: a malformed frame.
      result.stop = got ? PumpStop::kMalformed : PumpStop::kClosed;
      return result;
    }
    if (!got) return result;
    const FrameHeader header = DecodeFrameHeader(header_bytes);
    if (!IsValidFrameHeader(header) || header.length > max_payload) {
      result.stop = PumpStop::kMalformed;
      return result;
    }
    std::vector<uint8_t> payload(header.length);
    if (header.length != 0 &&
        pipe.ReadMessage(payload.data(), header.length) != platform::PipeResult::kOk) {
      result.stop = PumpStop::kMalformed;
      return result;
    }
    ++result.frames;
    if (!dispatch(header.type, payload)) return result;
    if (platform::PerfMillis(start, clock.PerfCounter(), frequency) >= 4) return result;
    if (result.frames >= 64) return result;
  }
}

}  // namespace vyo::host
