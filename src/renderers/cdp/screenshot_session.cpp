#include "renderers/cdp/screenshot_session.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace vyo::web::cdp {

using Json = nlohmann::json;

ScreenshotSession::ScreenshotSession(ViewLink link, uint32_t interval_ms)
    : link_(std::move(link)), interval_ms_(interval_ms) {}

ScreenshotSession::~ScreenshotSession() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  if (timer_.joinable()) timer_.join();
  link_.taps->Erase(link_.session);
}

bool ScreenshotSession::Start(capture::FrameCallback on_frame, capture::EndCallback on_end) {
  state_->on_frame = std::move(on_frame);
  state_->send = link_.send;
  // The screencast taps also tell a screenshot session that its page went away.
  link_.taps->Set(
      link_.session, [](const ScreencastFrameRef&) {}, std::move(on_end));
  std::weak_ptr<State> weak = state_;
  Poster post = link_.post;
  const uint32_t interval = std::max<uint32_t>(interval_ms_, 1);
  timer_ = std::thread([weak, post, interval] {
    for (;;) {
      auto state = weak.lock();
      if (!state) return;
      std::unique_lock<std::mutex> lock(state->mutex);
      state->wake.wait_for(lock, std::chrono::milliseconds(interval), [&] { return state->stopping; });
      if (state->stopping) return;
      lock.unlock();
      post([weak] {
        if (auto s = weak.lock()) Request(s);
      });
    }
  });
  return true;
}

capture::CaptureSource ScreenshotSession::source() const {
  return capture::CaptureSource::kWindow;
}

void ScreenshotSession::Kick() {}

void ScreenshotSession::Request(const std::shared_ptr<State>& state) {
  if (state->in_flight) return;
  std::weak_ptr<State> weak = state;
  state->in_flight =
      state->send("Page.captureScreenshot", Json{{"format", "png"}}, [weak](bool ok, const Json& answer) {
        auto s = weak.lock();
        if (!s) return;
        const auto data = answer.find("data");
        std::vector<uint8_t> png;
        if (!ok || data == answer.end() || !data->is_string() ||
            !Base64Decode(data->get_ref<const std::string&>(), &png)) {
          s->in_flight = false;
          return;
        }
        // The frame is "in the pool" until the host releases it (on the main thread, posted).
        s->on_frame(capture::EncodedFrame(std::move(png), capture::FrameAlpha::kStraight, 0, 0, [weak] {
          if (auto held = weak.lock()) held->in_flight = false;
        }));
      });
}

}  // namespace vyo::web::cdp
