// A process whose watchdog really ends it: "stall" (a main loop that never progresses with two
// input records waiting), "stall_logger_held" (the same, with an asynchronous logger whose queue
// lock another thread holds for good), "parent PID" (the same loop, its parent being PID) and
// "sleep MS".
// It writes its report into log/ beside itself.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "watchdog/watchdog.h"

namespace {

using namespace vyo;

struct StuckLoop final : watchdog::WatchdogSource {
  uint32_t stage_tick;
  std::unique_ptr<platform::ProcessWatch> parent;
  uint32_t parent_pid = 0;
  explicit StuckLoop(uint32_t tick) : stage_tick(tick) {}
  int32_t Stage() override { return 2; }
  uint32_t StageTick() override { return stage_tick; }
  int32_t Detail() override { return 7; }
  int32_t FrameCounter() override { return 1; }
  uint32_t InputDrained() override { return 0; }
  int32_t InputPending() override { return 2; }
  bool PipeWriting() override { return false; }
  uint32_t PipeWriteStartTick() override { return 0; }
  bool ParentWatched() override { return parent != nullptr; }
  bool ParentExited() override { return parent && parent->HasExited(); }
  uint32_t ParentPid() override { return parent_pid; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (mode == "sleep" && argc >= 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
    return 0;
  }
  platform::Clock& clock = platform::SystemClock();
  StuckLoop source(clock.TickMs());
  watchdog::Thresholds t;
  std::atomic<bool> held{false};
  if (mode == "stall") {
    t.main_loop_input_ms = 600;  // short, so the test does not wait 8 s
  } else if (mode == "stall_logger_held") {
    t.main_loop_input_ms = 600;
    base::LoggingOptions options;
    options.encrypt = false;
    options.memory_log = false;
    options.synchronous = false;
    if (!base::InitLogging("FenyraOverlayHost", options)) return 6;
    std::thread([&held] {
      auto lock = base::logger::Instance().HoldQueueLockForTesting();
      if (!lock.owns_lock()) std::_Exit(7);
      held = true;
      for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }).detach();
    while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } else if (mode == "parent" && argc >= 3) {
    source.parent_pid = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    source.parent = platform::ProcessWatch::Open(source.parent_pid);
    if (!source.parent) return 3;
  } else {
    return 2;
  }
  watchdog::StallReportWriter writer(platform::ExecutableDirectory(), watchdog::HostStallLog());
  watchdog::Watchdog dog(clock, source, writer, platform::CurrentProcessId(), {}, t);
  if (!dog.Start()) return 4;
  std::this_thread::sleep_for(std::chrono::seconds(20));
  return 5;  // the watchdog should have ended the process long before
}
