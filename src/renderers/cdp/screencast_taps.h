// The screencast taps let the browser's reader thread hand frame messages to capture sessions
// without building a JSON tree of them, and hold back frames drawn before a view's background was
// in force.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "renderers/cdp/cdp_capture.h"

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

  // Frames drawn before a view's background colour was in force are not delivered (they show the
  // page over the browser's opaque default). Withhold: from now on the session's frames are
  // withheld (still acknowledged), for at most kMaxWithheld, so that a view whose navigation never
  // commits does not freeze; returns the withholding's number. Admit(number): unless the session
  // was withheld again since, frames drawn at `not_before` or later (seconds since the epoch, the
  // frame's own time; frames without a time as well) are delivered again, and the session's
  // refresh is run so that the page's current picture comes as a fresh frame.
  static constexpr double kMaxWithheld = 5.0;
  uint64_t Withhold(const std::string& session);
  void Admit(const std::string& session, uint64_t withholding, double not_before);
  // What asks the browser for a fresh frame of the session (set by its capture session; null
  // removes it).
  void SetRefresh(const std::string& session, std::function<void()> refresh);
  // Whether a frame of the session drawn at `timestamp` is delivered. Any thread.
  bool Admits(const std::string& session, double timestamp);
  // The session is gone for good: its gate goes too (End does this as well).
  void Forget(const std::string& session);

 private:
  struct Entry {
    std::shared_ptr<FrameHandler> on_frame;
    std::function<void()> on_end;
  };
  struct Gate {
    bool withheld = false;
    double withheld_until = 0;
    uint64_t withholding = 0;
    double not_before = 0;
    std::function<void()> refresh;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::map<std::string, Gate> gates_;  // by session, kept apart from the handlers' entries
};

}  // namespace vyo::web::cdp
