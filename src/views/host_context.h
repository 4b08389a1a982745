// What every view subsystem reads about the host as a whole: its settings from the command line
// (filled in by start-up before anything runs) and the counters the exit telemetry reports.
#pragma once
#include <atomic>
#include <cstdint>

namespace vyo::host {

struct HostSettings {
  // Windowed presentation: views live in one overlay window instead of their own windows.
  bool windowed = false;
  uint32_t parent_pid = 0;
  // The platform has windows (Windows): each view gets its own off-screen window.
  bool window_system = false;
};

struct HostCounters {
  std::atomic<uint32_t> views_created{0};
  std::atomic<uint32_t> navigations_completed{0};
  std::atomic<uint32_t> set_focus_count{0};
  std::atomic<uint32_t> peak_view_count{0};
};

}  // namespace vyo::host
