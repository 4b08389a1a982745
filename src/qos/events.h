// The host's telemetry events (id 7081), one typed builder each, so that callers never assemble
// positional integer lists by hand.
#pragma once
#include <cstdint>
#include <string>

#include "qos/qos.h"

namespace vyo::qos {

enum class EventKind : int32_t {
  kStartup = 20,
  kEnvironment = 21,
  kCrash = 23,
  kExit = 24,
  kModuleLoad = 25,
  kModuleFault = 26,
  kViewCreated = 40,
  kNavigationCompleted = 41,
  kMount = 42,
  kViewFailure = 43,
  kExitStats = 44,
};

// Start-up: result (0 ok, 1 bad arguments, 2 initialisation failed) and its word.
QosEvent StartupEvent(uint32_t result, const char* word, uint32_t elapsed_ms, uint32_t os_major, uint32_t os_minor,
                      uint32_t os_build, int32_t dpi_mode, uint32_t parent_pid);
// Exit statistics and the exit itself.
QosEvent ExitStatsEvent(int32_t run_ms, uint32_t views_created, uint32_t navigations_completed,
                        uint32_t set_focus_count, uint32_t peak_view_count);
QosEvent ExitEvent(uint32_t exit_code, int32_t run_ms, const std::string& reason);
// The browser environment's outcome: its result, the time it took and a text (the failed stage or
// the browser version).
QosEvent EnvironmentEvent(int32_t hr, uint32_t elapsed_ms, const std::string& text);
QosEvent ViewCreatedEvent(bool texture_missing, uint32_t elapsed_ms, uint32_t view_id, int32_t width, int32_t height);
// The same kind for a native button, marked "button".
QosEvent NativeButtonCreatedEvent(bool failed, uint32_t elapsed_ms, uint32_t view_id, int32_t width, int32_t height);
QosEvent NavigationCompletedEvent(int32_t status, uint32_t elapsed_ms, uint32_t view_id, const std::string& host_part);
// A mount: `failed` with the failure detail, or success with "package" / "directory".
QosEvent MountEvent(bool failed, uint32_t elapsed_ms, uint32_t view_id, const std::string& text);
// A view's web content failed: `code` (failure kind or hr) and `status_code`, the ViewStatus code
// the overlay was sent.
QosEvent ViewFailureEvent(int32_t code, uint32_t view_id, uint32_t status_code);

// Hands an event to the reporter (any thread).
void Report(QosEvent event);

}  // namespace vyo::qos
