#include "renderers/cdp/screencast_taps.h"

#include <chrono>
#include <utility>

namespace vyo::web::cdp {
namespace {

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

void ScreencastTaps::Set(const std::string& session, FrameHandler on_frame, std::function<void()> on_end) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[session] = Entry{std::make_shared<FrameHandler>(std::move(on_frame)), std::move(on_end)};
}

void ScreencastTaps::Erase(const std::string& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(session);
}

bool ScreencastTaps::Route(std::string_view message) {
  // Cheap refusal first: only frame events are large and carry this method.
  if (message.size() < 64 || message.find("Page.screencastFrame") == std::string_view::npos) return false;
  ScreencastFrameRef frame;
  if (!FindScreencastFrame(message, &frame)) return false;
  std::shared_ptr<FrameHandler> handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(frame.session);
    if (it != entries_.end()) handler = it->second.on_frame;
  }
  if (handler) (*handler)(frame);
  return true;
}

uint64_t ScreencastTaps::Withhold(const std::string& session) {
  const double until = WallSeconds() + kMaxWithheld;
  std::lock_guard<std::mutex> lock(mutex_);
  Gate& gate = gates_[session];
  gate.withheld = true;
  gate.withheld_until = until;
  return ++gate.withholding;
}

void ScreencastTaps::Admit(const std::string& session, uint64_t withholding, double not_before) {
  std::function<void()> refresh;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Gate& gate = gates_[session];
    if (gate.withholding != withholding) return;  // withheld again since: that one decides
    gate.withheld = false;
    gate.not_before = not_before;
    refresh = gate.refresh;
  }
  if (refresh) refresh();
}

void ScreencastTaps::SetRefresh(const std::string& session, std::function<void()> refresh) {
  std::lock_guard<std::mutex> lock(mutex_);
  gates_[session].refresh = std::move(refresh);
}

bool ScreencastTaps::Admits(const std::string& session, double timestamp) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = gates_.find(session);
  if (it == gates_.end()) return true;
  Gate& gate = it->second;
  if (gate.withheld) {
    if (WallSeconds() < gate.withheld_until) return false;
    gate.withheld = false;  // nothing confirmed in time: frames flow again
    gate.not_before = 0;
  }
  return timestamp == 0 || timestamp >= gate.not_before;
}

void ScreencastTaps::End(const std::string& session) {
  std::function<void()> on_end;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(session);
    if (it == entries_.end()) return;
    on_end = std::move(it->second.on_end);
    entries_.erase(it);
  }
  if (on_end) on_end();
  Forget(session);
}

void ScreencastTaps::Forget(const std::string& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  gates_.erase(session);
}

}  // namespace vyo::web::cdp
