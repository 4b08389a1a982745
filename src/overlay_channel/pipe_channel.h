// The overlay channel on the host's side: the writer thread with its bounded queue, and the bounded
// reader that the main loop calls.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/log.h"
#include "platform/clock.h"
#include "platform/pipe.h"

namespace vyo::host {

constexpr size_t kSendQueueLimit = 512;

class PipeWriter {
 public:
  // `pipe` and `pipe_write_lock` outlive the writer. `pipe_write_lock` is held around each frame
  // write and around closing the pipe.
  PipeWriter(platform::PipeServer* pipe, std::mutex* pipe_write_lock, platform::Clock& clock);
  ~PipeWriter();
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

  // Starts the writer thread; only the first call has an effect.
  void Start();

  // Queues one frame (SendToOverlay). False when the writer is not running, has failed, is
  // stopping, the payload is larger than 1 MiB, or the queue is full. A full queue drops the frame
  // and, unless it is a log line or a hit-mask heartbeat, marks the channel failed. A log line is
  // written to the local log, with `where` as its origin, when it is sent or discarded.
  bool Send(uint32_t type, const uint8_t* payload, size_t length,
            const SourceLocation& where = SourceLocation::Current());

  // Stops the writer (StopPipeWriter). The text of log frames still queued goes to the local log.
  // When the thread does not end within `stop_timeout_ms` although its write was cancelled every
  // 20 ms, `on_stuck` runs (it is expected not to return).
  void Stop(uint32_t stop_timeout_ms, const std::function<void()>& on_stuck);

  // Waits until every queued frame has been written (or the writer failed); false on time-out.
  bool WaitUntilIdle(uint32_t timeout_ms);

  // Places of the queue held for frames to be queued later (OverlayChannel::ReservePlaces): granted
  // while the queue, every place held and `headroom` fit the queue. Frames that may be dropped (log
  // lines, hit-mask heartbeats) are not queued into held places, so a frame whose place is held finds
  // room. False when the writer is not running, has failed or is stopping.
  bool Reserve(size_t count, size_t headroom);
  void Release(size_t count);
  size_t reserved() const;

  bool connected() const { return connected_.load() != 0; }
  // A write failed or a frame had to be dropped: the main loop stops on this.
  bool write_failed() const { return write_failed_.load() != 0; }
  // The failure was the overlay going away (broken pipe), not a fault of the channel.
  bool peer_gone() const { return peer_gone_.load() != 0; }
  bool writing() const { return writing_.load() != 0; }
  uint32_t write_start_tick() const { return write_start_tick_.load(); }
  uint32_t last_write_tick() const { return last_write_tick_.load(); }
  size_t queued() const;

 private:
  // A frame as written, and where the code that queued it is (for log lines).
  struct QueuedFrame {
    std::vector<uint8_t> bytes;
    SourceLocation where;
    bool header_sent = false;  // a direct write got the header out; the payload is still due
  };
  void Run();
  // Writes what is left of `frame`, blocking; the caller holds the pipe lock.
  bool WriteFrameLocked(const QueuedFrame& frame, bool* broken);
  // The direct write of Send: the caller holds the pipe lock and has marked the writer busy.
  void SendDirect(QueuedFrame frame, std::unique_lock<std::mutex>& pipe_lock);
  void LogSent(const QueuedFrame& frame);
  void LogDiscarded(std::deque<QueuedFrame>& frames);

  platform::PipeServer* pipe_;
  std::mutex* pipe_write_lock_;
  platform::Clock& clock_;

  std::atomic<int32_t> connected_{0};
  std::atomic<int32_t> write_failed_{0};
  std::atomic<int32_t> peer_gone_{0};
  std::atomic<int32_t> writing_{0};
  std::atomic<uint32_t> write_start_tick_{0};
  std::atomic<uint32_t> last_write_tick_{0};

  mutable std::mutex queue_mutex_;
  std::condition_variable queue_cv_;
  std::deque<QueuedFrame> queue_;
  size_t reserved_ = 0;  // places held, under queue_mutex_
  bool stopping_ = false;
  std::thread thread_;
  std::atomic<bool> thread_done_{false};
};

// Result of one PumpPipe pass.
enum class PumpStop {
  kNone,       // keep running
  kClosed,     // the overlay closed its end ("pipe_closed")
  kMalformed,  // unreadable or malformed frame: stop without a message
};

struct PumpResult {
  int frames = 0;
  PumpStop stop = PumpStop::kNone;
};

// Reads and dispatches the frames that have arrived: at most 64 frames or 4 ms per call.
// `dispatch` receives each frame; it returns false when the command stopped the host.
// `max_payload` is the largest payload accepted (1 MiB, or less where the pipe cannot carry it).
PumpResult PumpPipeFrames(platform::PipeServer& pipe, platform::Clock& clock, uint32_t max_payload,
                          const std::function<bool(uint32_t type, const std::vector<uint8_t>& payload)>& dispatch);

}  // namespace vyo::host
