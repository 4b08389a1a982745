#include "renderers/cdp/screencast_session.h"

#include <memory>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace vyo::web::cdp {

using Json = nlohmann::json;

ScreencastSession::ScreencastSession(ViewLink link, int32_t width, int32_t height)
    : link_(std::move(link)), width_(width), height_(height) {}

ScreencastSession::~ScreencastSession() {
  link_.taps->SetRefresh(link_.session, nullptr);
  link_.taps->Erase(link_.session);
  link_.send("Page.stopScreencast", Json::object(), nullptr);
}

bool ScreencastSession::Start(capture::FrameCallback on_frame, capture::EndCallback on_end, bool silent) {
  // The acknowledgement is sent on the main thread through the view's link, whichever thread
  // releases the frame; a view gone by then needs none.
  auto send = std::make_shared<decltype(link_.send)>(link_.send);
  Poster post = link_.post;
  auto deliver = std::make_shared<capture::FrameCallback>(std::move(on_frame));
  ScreencastTaps* taps = link_.taps.get();  // owns the handler, so outlives it
  link_.taps->Set(
      link_.session,
      [send, post, deliver, silent, taps](const ScreencastFrameRef& ref) {
        const int64_t ack = ref.ack_id;
        auto release = [send, post, ack] {
          post([send, ack] { (*send)("Page.screencastFrameAck", Json{{"sessionId", ack}}, nullptr); });
        };
        std::vector<uint8_t> png;
        // A withheld frame (drawn before the background was in force), or one that cannot be
        // read, still goes back to the pool.
        if (silent || !taps->Admits(ref.session, ref.timestamp) || !Base64Decode(ref.data, &png)) {
          if (!silent) release();
          return;
        }
        (*deliver)(capture::EncodedFrame(std::move(png), capture::FrameAlpha::kPremultiplied, ref.device_width,
                                         ref.device_height, std::move(release)));
      },
      std::move(on_end));
  // A screencast started again sends the page's current picture at once, even when nothing on
  // the page changes.
  const Json params{{"format", "png"}, {"maxWidth", width_}, {"maxHeight", height_}, {"everyNthFrame", 1}};
  if (!silent) {
    link_.taps->SetRefresh(link_.session, [send, params] {
      (*send)("Page.stopScreencast", Json::object(), nullptr);
      (*send)("Page.startScreencast", params, nullptr);
    });
  }
  return link_.send("Page.startScreencast", params, nullptr);
}

capture::CaptureSource ScreencastSession::source() const {
  return capture::CaptureSource::kVisual;
}

void ScreencastSession::Kick() {
  link_.send("Input.dispatchMouseEvent",
             Json{{"type", "mouseMoved"}, {"x", width_ / 2}, {"y", height_ / 2}, {"button", "none"}}, nullptr);
}

}  // namespace vyo::web::cdp
