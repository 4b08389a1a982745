// Inside the DevTools backend: what the capture port needs of a view made by the runtime. The
// screencast taps let the browser's reader thread hand frame messages to capture sessions without
// building a JSON tree of them.
#pragma once
#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "renderers/web/cdp/cdp_capture.h"
#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

// Frame handlers by flat session id. Route runs on the reader thread; the rest on the main thread.
class ScreencastTaps {
 public:
  using FrameHandler = std::function<void(const ScreencastFrameRef& frame)>;
  void Set(const std::string& session, FrameHandler on_frame, std::function<void()> on_end);
  void Erase(const std::string& session);
  // The message, when it is a screencast frame of a tapped session, goes to its handler: true.
  // Frames of other sessions are consumed too (nobody wants them); other messages are not.
  bool Route(std::string_view message);
  // The session's source ended (its target or the browser went away).
  void End(const std::string& session);

 private:
  struct Entry {
    std::shared_ptr<FrameHandler> on_frame;
    std::function<void()> on_end;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

// A view's link to its browser, for the capture port (main thread).
struct ViewLink {
  std::shared_ptr<ScreencastTaps> taps;
  std::string session;
  Poster post;
  // Sends a method to the view's page; false when the view is closed. `reply` may be null.
  std::function<bool(const std::string& method, nlohmann::json params,
                     std::function<void(bool ok, const nlohmann::json& answer)> reply)>
      send;
};

// False when `view` is not a view of this runtime or is closed.
bool LinkOf(IWebView& view, ViewLink* out);

}  // namespace vyo::web::cdp
