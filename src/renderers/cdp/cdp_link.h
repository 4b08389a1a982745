// Inside the DevTools backend: what the capture port needs of a view made by the runtime (its
// browser's screencast taps, its session, the way to the main thread and to its page).
#pragma once
#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "renderers/cdp/screencast_taps.h"
#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

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
