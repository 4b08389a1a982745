#include "watchdog/watchdog.h"

#include <chrono>
#include <system_error>

#include "logging/log_format.h"
#include "platform/process.h"

namespace vyo::watchdog {
namespace {

constexpr int kLogTimeoutMs = 500;
// The log line and the log's end each give up after kLogTimeoutMs; past this bound the process ends
// without waiting for them.
constexpr uint32_t kLogRelayTimeoutMs = 1500;

}  // namespace

Watchdog::Watchdog(platform::Clock& clock, WatchdogSource& source, StallReportWriter& reports, uint32_t pid,
                   TerminateAction terminate, Thresholds thresholds)
    : clock_(clock),
      source_(source),
      reports_(reports),
      pid_(pid),
      terminate_(std::move(terminate)),
      thresholds_(thresholds) {
  reports_.Prepare(pid_);
  log_relay_ = std::make_unique<platform::CrashRelay>([this] { LogReport(); });
}

Watchdog::~Watchdog() { Stop(); }

void Watchdog::Reset() {
  previous_frame_ = source_.FrameCounter();
  previous_drained_ = source_.InputDrained();
  last_progress_tick_ = clock_.TickMs();
  acted_ = false;
}

bool Watchdog::Start() {
  if (thread_.joinable()) return true;
  {
    std::lock_guard<std::mutex> lock(stop_lock_);
    stop_ = false;
  }
  Reset();
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    reports_.log().WriteBounded(base::kLogError, std::string("[FenyraOverlayHost]watchdog thread not started, running without it, error=") + e.what(),
                                kLogTimeoutMs, __builtin_FILE(), __builtin_LINE(), __builtin_FUNCTION());
    return false;
  }
  return true;
}

void Watchdog::Disarm() {
  uint32_t now = clock_.TickMs();
  if (now == 0) now = 1;  // 0 means "not disarmed"
  disarm_tick_.store(now);
  armed_.store(0);
}

void Watchdog::Stop() {
  {
    std::lock_guard<std::mutex> lock(stop_lock_);
    stop_ = true;
  }
  stop_cv_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Watchdog::Run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(stop_lock_);
      if (stop_cv_.wait_for(lock, std::chrono::milliseconds(thresholds_.sample_interval_ms), [this] { return stop_; })) {
        return;
      }
    }
    if (Poll() != Verdict::kNone) return;  // the process is ending; there is nothing left to watch
  }
}

Verdict Watchdog::Poll() {
  if (acted_) return Verdict::kNone;
  Sample s;
  s.now = clock_.TickMs();
  const int32_t frame = source_.FrameCounter();
  const uint32_t drained = source_.InputDrained();
  s.pending = source_.InputPending();
  s.progressed = frame != previous_frame_ || drained != previous_drained_;
  s.stage_tick = source_.StageTick();
  s.last_progress_tick = last_progress_tick_;
  s.pipe_writing = source_.PipeWriting();
  s.pipe_write_start_tick = source_.PipeWriteStartTick();
  s.armed = armed_.load() != 0;
  s.disarm_tick = disarm_tick_.load();
  const Judgement j = Judge(s, thresholds_);
  // The parent is asked only when its answer matters (the loop is stuck).
  Judgement verdict = j;
  if (verdict.verdict == Verdict::kNone && s.armed && !s.progressed && s.stage_tick != 0) {
    s.parent_watched = source_.ParentWatched();
    s.parent_exited = s.parent_watched && source_.ParentExited();
    verdict = Judge(s, thresholds_);
  }
  if (s.progressed) last_progress_tick_ = s.now;
  previous_frame_ = frame;
  previous_drained_ = drained;

  switch (verdict.verdict) {
    case Verdict::kNone:
      return Verdict::kNone;
    case Verdict::kPipeWrite:
      if (!ClaimReport()) return Verdict::kNone;  // another report won the flag; go on watching
      ReportAndTerminate("pipe_write", verdict.age_ms, s.pending);
      break;
    case Verdict::kMainLoop:
      if (!ClaimReport()) return Verdict::kNone;
      ReportAndTerminate("main_loop", verdict.age_ms, s.pending);
      break;
    case Verdict::kShutdownOverdue:
      if (!ClaimReport()) return Verdict::kNone;
      ReportAndTerminate("shutdown", verdict.age_ms, s.pending);
      break;
    case Verdict::kParentGone:
      // No report; the flag still keeps a report in progress elsewhere from being cut short.
      if (!ClaimReport()) return Verdict::kNone;
      Terminate(kExitParentGone);
      break;
  }
  acted_ = true;
  return verdict.verdict;
}

bool Watchdog::ClaimReport() {
  int32_t expected = 0;
  return stall_reported_.compare_exchange_strong(expected, 1);
}

void Watchdog::ReportPipeShutdownStall() {
  if (ClaimReport()) {
    ReportAndTerminate("pipe_shutdown", 2000, 0);
    return;
  }
  // The watchdog is reporting a stall and will end the process; end it here too in case it cannot.
  Terminate(kExitStall);
}

void Watchdog::ReportAndTerminate(const char* reason, uint32_t no_progress_age, int32_t pending) {
  const uint32_t now = clock_.TickMs();
  const uint32_t stage_tick = source_.StageTick();
  StallInfo info;
  info.reason = reason;
  info.pid = pid_;
  info.stage = source_.Stage();
  info.detail = source_.Detail();
  info.stage_age_ms = stage_tick != 0 ? AgeMs(now, stage_tick) : 0;
  info.no_progress_age_ms = no_progress_age;
  info.pending = pending;
  info.parent_pid = source_.ParentPid();
  report_line_size_ = FormatStallLine(info, report_line_);
  if (report_line_size_ != 0) reports_.WriteFile(info.pid, std::string_view(report_line_, report_line_size_));
  if (log_relay_->started()) {
    log_relay_->RunAndWait(kLogRelayTimeoutMs);
  } else {
    LogReport();  // no thread to hand it to: the logger's own bounds apply
  }
  Terminate(kExitStall);
}

void Watchdog::LogReport() {
  if (report_line_size_ != 0) reports_.LogLine(std::string_view(report_line_, report_line_size_));
  reports_.FlushLog();
}

void Watchdog::Terminate(uint32_t code) {
  if (terminate_) {
    terminate_(code);
    return;
  }
  platform::TerminateCurrentProcess(code);
}

}  // namespace vyo::watchdog
