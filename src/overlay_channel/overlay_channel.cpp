#include "overlay_channel/overlay_channel.h"

#include <utility>

namespace vyo::host {
namespace {

// Frames a page's activity may put into the queue only while this many places are free.
constexpr size_t kPageFrameHeadroom = 64;
// Lines about dropped page-driven frames a process writes at most.
constexpr int32_t kDropLogBudget = 8;
// Worker log lines kept at most between two main-loop passes.
constexpr size_t kWorkerLogLimit = 128;

}  // namespace

OverlayChannel::OverlayChannel(platform::Clock& clock) : clock_(clock) {}

OverlayChannel::~OverlayChannel() {
  // Without an orderly Stop (a failed start-up): the writer's destructor cancels and joins.
  writer_.reset();
  pipe_.reset();
}

bool OverlayChannel::Open(std::unique_ptr<platform::PipeServer> pipe, const std::function<bool()>& parent_gone) {
  if (!pipe) return false;
  struct Context {
    const std::function<bool()>* gone;
  } context{&parent_gone};
  const bool connected = pipe->WaitForClient(
      [](void* c) {
        const auto* ctx = static_cast<Context*>(c);
        return *ctx->gone && (*ctx->gone)();
      },
      &context);
  if (!connected) return false;
  const uint32_t limit = pipe->MaxMessageSize();
  if (limit < kMaxPayload) {
    max_payload_ = limit;
    HostLogf(LogLevel::kWarning, "pipe message limit below 1 MiB, limit=%u", limit);
  }
  Attach(std::move(pipe));
  return true;
}

void OverlayChannel::Attach(std::unique_ptr<platform::PipeServer> pipe) {
  pipe_ = std::move(pipe);
  writer_ = std::make_unique<PipeWriter>(pipe_.get(), &pipe_write_lock_, clock_);
  writer_->Start();
  std::lock_guard<std::mutex> lock(notice_mutex_);
  if (notice_pending_ && SendToOverlay(kEnvironmentResult, Encode(pending_notice_))) notice_pending_ = false;
}

bool OverlayChannel::SendToOverlay(uint32_t type, const std::vector<uint8_t>& payload, const SourceLocation& where) {
  return writer_ != nullptr && writer_->Send(type, payload.data(), payload.size(), where);
}

void OverlayChannel::SendLog(const std::string& text, const SourceLocation& where) {
  if (writer_ && writer_->connected() &&
      writer_->Send(kHostLog, reinterpret_cast<const uint8_t*>(text.data()), text.size(), where)) {
    return;  // the writer puts it into the local log when it sends it
  }
  HostLogAt(where, LogLevel::kTrace, "%s", text.c_str());
}

void OverlayChannel::QueueWorkerLog(std::string text, const SourceLocation& where) {
  std::lock_guard<std::mutex> lock(worker_log_mutex_);
  if (worker_log_lines_.size() >= kWorkerLogLimit) return;
  worker_log_lines_.push_back(WorkerLine{std::move(text), where});
}

void OverlayChannel::FlushWorkerLogs() {
  std::vector<WorkerLine> lines;
  {
    std::lock_guard<std::mutex> lock(worker_log_mutex_);
    lines.swap(worker_log_lines_);
  }
  for (const auto& line : lines) SendLog(line.text, line.where);
}

bool OverlayChannel::SendDroppable(uint32_t type, const uint8_t* bytes, size_t length, const char* source) {
  if (SendIfRoom(type, bytes, length)) return true;
  if (writer_ != nullptr && drop_logs_.fetch_add(1) < kDropLogBudget) {
    HostLogf(LogLevel::kWarning, "%s frame dropped, type=%u, queue full", source, type);
  }
  return false;
}

bool OverlayChannel::HasRoom() const {
  return writer_ != nullptr && writer_->queued() + writer_->reserved() + kPageFrameHeadroom < kSendQueueLimit;
}

bool OverlayChannel::ReservePlaces(uint32_t count) {
  return writer_ != nullptr && writer_->Reserve(count, kPageFrameHeadroom);
}

void OverlayChannel::ReleasePlaces(uint32_t count) {
  if (writer_ != nullptr) writer_->Release(count);
}

bool OverlayChannel::SendIfRoom(uint32_t type, const uint8_t* bytes, size_t length) {
  return HasRoom() && writer_->Send(type, bytes, length);
}

void OverlayChannel::SendEnvironmentNotice(const EnvironmentResultMsg& message) {
  std::lock_guard<std::mutex> lock(notice_mutex_);
  if (SendToOverlay(kEnvironmentResult, Encode(message))) return;
  notice_pending_ = true;
  pending_notice_ = message;
}

bool OverlayChannel::CanSend() const { return writer_ != nullptr && writer_->connected() && !writer_->write_failed(); }

PumpResult OverlayChannel::Pump(const std::function<bool(uint32_t, const std::vector<uint8_t>&)>& dispatch) {
  if (!pipe_) return {};
  return PumpPipeFrames(*pipe_, clock_, max_payload_, dispatch);
}

void OverlayChannel::Stop(const std::function<void()>& on_stuck) {
  if (writer_) {
    // Frames already queued (the last log lines, ViewDestroyed of a closing module) get a short,
    // bounded chance to reach a healthy overlay before the queue is discarded.
    if (writer_->connected() && !writer_->write_failed()) writer_->WaitUntilIdle(200);
    writer_->Stop(2000, on_stuck);
  }
  {
    std::lock_guard<std::mutex> lock(pipe_write_lock_);
    if (pipe_) pipe_->Close();
  }
  // The stopped writer and the closed pipe stay until the channel goes: a send from another
  // thread now finds a writer that refuses it, never a freed one.
}

}  // namespace vyo::host
