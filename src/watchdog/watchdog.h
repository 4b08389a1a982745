// The watchdog: a thread that samples the host's main loop and pipe writer twice a second and ends
// the process when the loop stopped making progress, a pipe write is stuck, or the parent process
// has gone while the loop is stuck. It reads only atomics of the host (through WatchdogSource) and
// takes none of the host's locks.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/crash_relay.h"
#include "watchdog/judgement.h"
#include "watchdog/stall_report.h"

namespace vyo::watchdog {

// What the watchdog reads. Every call must be a plain read of atomics or shared memory: the
// watchdog runs while the main thread or the pipe writer may be stuck anywhere.
class WatchdogSource {
 public:
  virtual ~WatchdogSource() = default;
  virtual int32_t Stage() = 0;
  virtual uint32_t StageTick() = 0;  // 0 until the main loop published a stage
  virtual int32_t Detail() = 0;
  virtual int32_t FrameCounter() = 0;
  // Input records the host has taken from the ring since start, counted by the host itself (never
  // read from the ring's memory, which the overlay can write); 0 without an input ring.
  virtual uint32_t InputDrained() = 0;
  virtual int32_t InputPending() = 0;
  virtual bool PipeWriting() = 0;
  virtual uint32_t PipeWriteStartTick() = 0;
  virtual bool ParentWatched() = 0;  // the parent process is open
  virtual bool ParentExited() = 0;
  virtual uint32_t ParentPid() = 0;
};

// Ends the process with an exit code; the default is platform::TerminateCurrentProcess. Tests
// inject one that records the code and returns.
using TerminateAction = std::function<void(uint32_t code)>;

class Watchdog {
 public:
  Watchdog(platform::Clock& clock, WatchdogSource& source, StallReportWriter& reports, uint32_t pid,
           TerminateAction terminate = {}, Thresholds thresholds = {});
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Takes the first sample and starts the thread. A thread that cannot start does not end the
  // process: false, with one log line, and the host runs without a watchdog.
  bool Start();
  // Shutdown began: from now on only the shutdown deadline is judged (a parent that exits during
  // an orderly shutdown is not a stall).
  void Disarm();
  // Stops and joins the thread.
  void Stop();

  // Takes the first sample (Start does this; tests driving Poll by hand call it).
  void Reset();
  // One sample and its judgement, acted on. The thread calls it after each wait.
  Verdict Poll();

  // The once-only report flag: true for the one caller that gets to report and terminate.
  bool ClaimReport();
  bool stall_reported() const { return stall_reported_.load() != 0; }
  // The pipe writer could not be stopped at shutdown: report "pipe_shutdown" (when the flag is
  // still free) and end the process with 0xE0010001.
  void ReportPipeShutdownStall();

  bool running() const { return thread_.joinable(); }

 private:
  void Run();
  void ReportAndTerminate(const char* reason, uint32_t no_progress_age, int32_t pending);
  void Terminate(uint32_t code);
  void LogReport();

  platform::Clock& clock_;
  WatchdogSource& source_;
  StallReportWriter& reports_;
  uint32_t pid_;
  TerminateAction terminate_;
  Thresholds thresholds_;

  std::atomic<int32_t> stall_reported_{0};
  std::atomic<int32_t> armed_{1};
  std::atomic<uint32_t> disarm_tick_{0};

  // Sampling state, touched only by the sampling thread (or a test driving Poll).
  int32_t previous_frame_ = 0;
  uint32_t previous_drained_ = 0;
  uint32_t last_progress_tick_ = 0;
  bool acted_ = false;

  // The report's log line and the log's end run on a thread started with the watchdog and are
  // waited for with a bound: the process ends whatever the logger does (a writer stuck holding
  // one of its locks, a heap lock held by the stuck thread).
  char report_line_[kStallLineBytes] = {};
  size_t report_line_size_ = 0;
  std::unique_ptr<platform::CrashRelay> log_relay_;

  std::mutex stop_lock_;
  std::condition_variable stop_cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vyo::watchdog
