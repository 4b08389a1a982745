// OverlayChannel: the host's end of the pipe to the overlay. It owns the pipe and its writer
// thread, sends host messages (SendToOverlay), the log path (SendLog, and log lines of worker
// threads that the main loop forwards), frames that web pages cause (dropped rather than allowed to
// fill the queue), and the environment notice that waits for the writer. Its reader hands each
// arriving frame to the command dispatcher.
//
// Send operations may be called from any thread; Open, Attach, Pump and Stop belong to the main
// thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "overlay_channel/pipe_channel.h"
#include "platform/clock.h"
#include "platform/pipe.h"
#include "protocol/protocol.h"

namespace vyo::host {

class OverlayChannel {
 public:
  explicit OverlayChannel(platform::Clock& clock);
  ~OverlayChannel();
  OverlayChannel(const OverlayChannel&) = delete;
  OverlayChannel& operator=(const OverlayChannel&) = delete;

  // Waits for the overlay to connect to the created pipe (false when there is none); the wait ends
  // early, as a failure, when `parent_gone` says the overlay's process has ended. Then runs over
  // it (Attach).
  bool Open(std::unique_ptr<platform::PipeServer> pipe, const std::function<bool()>& parent_gone);
  // Runs over a connected pipe: the writer starts and a kept environment notice is sent.
  void Attach(std::unique_ptr<platform::PipeServer> pipe);
  platform::PipeServer* pipe() const { return pipe_.get(); }

  // Host messages (any thread). False when the frame was not queued.
  bool SendToOverlay(uint32_t type, const std::vector<uint8_t>& payload,
                     const SourceLocation& where = SourceLocation::Current());
  // The log path: a HostLog line for the overlay, which also reaches the local log (with the
  // caller's location) when the writer sends it; before the writer runs, after it stopped, or when
  // the queue refuses the line, it goes to the local log directly.
  void SendLog(const std::string& text, const SourceLocation& where = SourceLocation::Current());
  // Worker threads' log lines wait here (at most 128) until the main loop forwards them.
  void QueueWorkerLog(std::string text, const SourceLocation& where = SourceLocation::Current());
  void FlushWorkerLogs();
  // Frames a page, a module or a popup causes: dropped while the queue is nearly full, never failing
  // the writer, so that none of them can end the host by flooding the overlay. The drop is logged,
  // "<source> frame dropped", up to a budget shared by every source.
  bool SendDroppable(uint32_t type, const uint8_t* bytes, size_t length, const char* source);
  bool SendPageDriven(uint32_t type, const std::vector<uint8_t>& payload) {
    return SendDroppable(type, payload.data(), payload.size(), "page-driven");
  }
  // The same without a log line, for a caller that accounts the drop itself.
  bool SendIfRoom(uint32_t type, const uint8_t* bytes, size_t length);
  // Whether a droppable frame would be queued now: the queue, the places reserved and the headroom
  // kept for the main thread's own frames leave a place.
  bool HasRoom() const;
  // Places reserved (any thread) for frames to be sent later, from work posted to the main thread:
  // a reservation is granted only while the queue, every place already reserved and the headroom
  // fit the queue; frames that may be dropped do not take reserved places, so a frame whose place is
  // reserved, sent as one that must not be dropped, always finds room. False (nothing reserved) when
  // the writer cannot send or there is no room. The sender releases its places once it has sent.
  bool ReservePlaces(uint32_t count);
  void ReleasePlaces(uint32_t count);
  size_t reserved_places() const { return writer_ != nullptr ? writer_->reserved() : 0; }
  // The environment notice: sent now, or kept until the writer runs.
  void SendEnvironmentNotice(const EnvironmentResultMsg& message);

  // Whether frames can be queued at all (the writer runs and has not failed).
  bool CanSend() const;
  // The writer failed (the main loop stops), and whether because the overlay went away.
  bool write_failed() const { return writer_ != nullptr && writer_->write_failed(); }
  bool peer_gone() const { return writer_ != nullptr && writer_->peer_gone(); }
  PipeWriter* writer() const { return writer_.get(); }

  // Main thread: reads and dispatches what has arrived (PumpPipeFrames' bounds).
  PumpResult Pump(const std::function<bool(uint32_t type, const std::vector<uint8_t>& payload)>& dispatch);

  // Shutdown: queued frames get a bounded chance to reach a healthy overlay, the writer stops
  // (`on_stuck` runs when it cannot be stopped), and the pipe closes.
  void Stop(const std::function<void()>& on_stuck);

 private:
  platform::Clock& clock_;
  std::mutex pipe_write_lock_;
  std::unique_ptr<platform::PipeServer> pipe_;
  std::unique_ptr<PipeWriter> writer_;
  uint32_t max_payload_ = kMaxPayload;

  struct WorkerLine {
    std::string text;
    SourceLocation where;
  };
  std::mutex worker_log_mutex_;
  std::vector<WorkerLine> worker_log_lines_;

  std::mutex notice_mutex_;
  bool notice_pending_ = false;
  EnvironmentResultMsg pending_notice_;

  std::atomic<int32_t> drop_logs_{0};
};

}  // namespace vyo::host
