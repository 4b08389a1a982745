#include "qos/events.h"

#include <utility>

#include "qos/sink.h"

namespace vyo::qos {
namespace {

QosEvent Make(EventKind kind, std::vector<int32_t> ints, std::vector<std::string> strs = {}) {
  QosEvent e;
  e.kind = static_cast<int32_t>(kind);
  e.ints = std::move(ints);
  e.strs = std::move(strs);
  return e;
}

int32_t I(uint32_t v) { return static_cast<int32_t>(v); }

}  // namespace

QosEvent StartupEvent(uint32_t result, const char* word, uint32_t elapsed_ms, uint32_t os_major, uint32_t os_minor,
                      uint32_t os_build, int32_t dpi_mode, uint32_t parent_pid) {
  return Make(EventKind::kStartup,
              {I(result), I(elapsed_ms), I(os_major * 100 + os_minor), I(os_build), dpi_mode, I(parent_pid)}, {word});
}

QosEvent ExitStatsEvent(int32_t run_ms, uint32_t views_created, uint32_t navigations_completed,
                        uint32_t set_focus_count, uint32_t peak_view_count) {
  return Make(EventKind::kExitStats,
              {run_ms, I(views_created), I(navigations_completed), I(set_focus_count), I(peak_view_count)});
}

QosEvent ExitEvent(uint32_t exit_code, int32_t run_ms, const std::string& reason) {
  return Make(EventKind::kExit, {I(exit_code), run_ms}, {reason});
}

QosEvent EnvironmentEvent(int32_t hr, uint32_t elapsed_ms, const std::string& text) {
  return Make(EventKind::kEnvironment, {hr, I(elapsed_ms)}, {text});
}

QosEvent ViewCreatedEvent(bool texture_missing, uint32_t elapsed_ms, uint32_t view_id, int32_t width, int32_t height) {
  return Make(EventKind::kViewCreated, {texture_missing ? 1 : 0, I(elapsed_ms), I(view_id), width, height});
}
QosEvent NativeButtonCreatedEvent(bool failed, uint32_t elapsed_ms, uint32_t view_id, int32_t width, int32_t height) {
  return Make(EventKind::kViewCreated, {failed ? 1 : 0, I(elapsed_ms), I(view_id), width, height}, {"button"});
}

QosEvent NavigationCompletedEvent(int32_t status, uint32_t elapsed_ms, uint32_t view_id, const std::string& host_part) {
  return Make(EventKind::kNavigationCompleted, {status, I(elapsed_ms), I(view_id)}, {host_part});
}

QosEvent MountEvent(bool failed, uint32_t elapsed_ms, uint32_t view_id, const std::string& text) {
  return Make(EventKind::kMount, {failed ? 1 : 0, I(elapsed_ms), I(view_id)}, {text});
}

QosEvent ViewFailureEvent(int32_t code, uint32_t view_id, uint32_t status_code) {
  return Make(EventKind::kViewFailure, {code, 0, I(view_id), I(status_code)});
}

void Report(QosEvent event) { QosReporter::Instance().Report(std::move(event)); }

}  // namespace vyo::qos
