// The DevTools capture port. Screencast frames are found in the reader thread's message text
// (FindScreencastFrame), their base64 image decoded straight into the frame's buffer and handed to
// the session's callback on that thread; the acknowledgement that returns the frame to the
// browser's pool is posted to the main thread when the frame is released. Screenshots are polled
// on the main thread, one in flight, at the session's interval.
#include "renderers/cdp/cdp_capture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>

#include "renderers/cdp/cdp_link.h"

namespace vyo::web::cdp {

using Json = nlohmann::json;

namespace {

constexpr std::array<int8_t, 256> MakeTable() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
  return t;
}
constexpr std::array<int8_t, 256> kTable = MakeTable();

// The value of a JSON integer member `"name":123` inside `text`, searched from `from`.
bool IntMember(std::string_view text, std::string_view name, int64_t* out) {
  const std::string key = "\"" + std::string(name) + "\":";
  const size_t at = text.find(key);
  if (at == std::string_view::npos) return false;
  size_t p = at + key.size();
  bool negative = false;
  if (p < text.size() && text[p] == '-') {
    negative = true;
    ++p;
  }
  int64_t v = 0;
  size_t digits = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9' && digits < 18; ++p, ++digits) v = v * 10 + (text[p] - '0');
  if (digits == 0) return false;
  *out = negative ? -v : v;
  return true;
}

// A JSON number member (integer or decimal) truncated to int32.
bool NumberMember(std::string_view text, std::string_view name, int32_t* out) {
  int64_t v = 0;
  if (!IntMember(text, name, &v) || v < 0 || v > 1 << 20) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

// A JSON decimal member `"name":1712.5` (0 when absent or unreadable).
double DecimalMember(std::string_view text, std::string_view name) {
  const std::string key = "\"" + std::string(name) + "\":";
  const size_t at = text.find(key);
  if (at == std::string_view::npos) return 0;
  const char* begin = text.data() + at + key.size();
  double value = 0;
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
  return error == std::errc() && std::isfinite(value) ? value : 0;
}

}  // namespace

bool Base64Decode(std::string_view text, std::vector<uint8_t>* out) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return false;
  out->resize(text.size() / 4 * 3 + (text.size() % 4 == 0 ? 0 : text.size() % 4 - 1));
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  uint8_t* o = out->data();
  size_t i = 0;
  for (; i + 4 <= text.size(); i += 4) {
    const int32_t a = kTable[in[i]], b = kTable[in[i + 1]], c = kTable[in[i + 2]], d = kTable[in[i + 3]];
    if ((a | b | c | d) < 0) return false;
    const uint32_t v = (static_cast<uint32_t>(a) << 18) | (static_cast<uint32_t>(b) << 12) |
                       (static_cast<uint32_t>(c) << 6) | static_cast<uint32_t>(d);
    o[0] = static_cast<uint8_t>(v >> 16);
    o[1] = static_cast<uint8_t>(v >> 8);
    o[2] = static_cast<uint8_t>(v);
    o += 3;
  }
  const size_t rest = text.size() - i;
  if (rest >= 2) {
    const int32_t a = kTable[in[i]], b = kTable[in[i + 1]], c = rest == 3 ? kTable[in[i + 2]] : 0;
    if ((a | b | c) < 0) return false;
    const uint32_t v = (static_cast<uint32_t>(a) << 18) | (static_cast<uint32_t>(b) << 12) | (static_cast<uint32_t>(c) << 6);
    *o++ = static_cast<uint8_t>(v >> 16);
    if (rest == 3) *o++ = static_cast<uint8_t>(v >> 8);
  }
  return true;
}

bool FindScreencastFrame(std::string_view message, ScreencastFrameRef* out) {
  // The browser writes a frame event as {"method":"Page.screencastFrame","params":{"data":"<base64>",
  // "metadata":{<numbers>},"sessionId":<acknowledgement id>},"sessionId":"<flat session>"}. Only
  // that shape is taken: everything after the image is the browser's own numbers and ids. A
  // message that merely contains these words elsewhere (an answer carrying a page's object, say)
  // is left to the JSON path.
  static constexpr std::string_view kPrefix = R"({"method":"Page.screencastFrame","params":{"data":")";
  if (message.substr(0, kPrefix.size()) != kPrefix) return false;
  const size_t data_start = kPrefix.size();
  // The image is base64, which has no escapes: a backslash before the closing quote is not a frame.
  const size_t data_end = message.find_first_of("\"\\", data_start);
  if (data_end == std::string_view::npos || message[data_end] != '"') return false;
  // After the image the whole rest has one shape: the metadata (numbers only), the frame's id, the
  // flat session, and the end of the message.
  std::string_view tail = message.substr(data_end + 1);
  const auto take = [&tail](std::string_view literal) {
    if (tail.substr(0, literal.size()) != literal) return false;
    tail.remove_prefix(literal.size());
    return true;
  };
  if (!take(R"(,"metadata":{)")) return false;
  const size_t metadata_end = tail.find('}');
  if (metadata_end == std::string_view::npos) return false;
  const std::string_view metadata = tail.substr(0, metadata_end);
  if (metadata.find_first_of("{[\\") != std::string_view::npos) return false;
  tail.remove_prefix(metadata_end);
  if (!take(R"(},"sessionId":)")) return false;
  int64_t ack = 0;
  size_t digits = 0;
  for (; digits < tail.size() && digits < 18 && tail[digits] >= '0' && tail[digits] <= '9'; ++digits) {
    ack = ack * 10 + (tail[digits] - '0');
  }
  tail.remove_prefix(digits);
  if (digits == 0 || !take(R"(},"sessionId":")")) return false;
  const size_t session_end = tail.find('"');
  if (session_end == std::string_view::npos) return false;
  const std::string_view session = tail.substr(0, session_end);
  tail.remove_prefix(session_end);
  if (tail != R"("})" || session.find('\\') != std::string_view::npos) return false;
  out->session = std::string(session);
  out->ack_id = ack;
  out->device_width = out->device_height = 0;
  NumberMember(metadata, "deviceWidth", &out->device_width);
  NumberMember(metadata, "deviceHeight", &out->device_height);
  out->timestamp = DecimalMember(metadata, "timestamp");
  out->data = message.substr(data_start, data_end - data_start);
  return true;
}

// ---- taps

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

namespace {
double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}
}  // namespace

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

namespace {

// Visual source: the page's screencast.
class ScreencastSession final : public capture::ICaptureSession {
 public:
  ScreencastSession(ViewLink link, int32_t width, int32_t height) : link_(std::move(link)), width_(width), height_(height) {}
  ~ScreencastSession() override {
    link_.taps->SetRefresh(link_.session, nullptr);
    link_.taps->Erase(link_.session);
    link_.send("Page.stopScreencast", Json::object(), nullptr);
  }
  ScreencastSession(const ScreencastSession&) = delete;
  ScreencastSession& operator=(const ScreencastSession&) = delete;

  bool Start(capture::FrameCallback on_frame, capture::EndCallback on_end, bool silent) {
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

  capture::CaptureSource source() const override { return capture::CaptureSource::kVisual; }
  // A pointer move to the middle of the page makes it draw again.
  void Kick() override {
    link_.send("Input.dispatchMouseEvent",
               Json{{"type", "mouseMoved"}, {"x", width_ / 2}, {"y", height_ / 2}, {"button", "none"}}, nullptr);
  }

 private:
  ViewLink link_;
  int32_t width_, height_;
};

// Window source: screenshots of the page, one at a time, at most one per interval. A small timer
// thread only posts the next request to the main thread.
class ScreenshotSession final : public capture::ICaptureSession {
 public:
  ScreenshotSession(ViewLink link, uint32_t interval_ms) : link_(std::move(link)), interval_ms_(interval_ms) {}
  ~ScreenshotSession() override {
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->stopping = true;
    }
    state_->wake.notify_all();
    if (timer_.joinable()) timer_.join();
    link_.taps->Erase(link_.session);
  }
  ScreenshotSession(const ScreenshotSession&) = delete;
  ScreenshotSession& operator=(const ScreenshotSession&) = delete;

  bool Start(capture::FrameCallback on_frame, capture::EndCallback on_end) {
    state_->on_frame = std::move(on_frame);
    state_->send = link_.send;
    // The screencast taps also tell a screenshot session that its page went away.
    link_.taps->Set(link_.session, [](const ScreencastFrameRef&) {}, std::move(on_end));
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

  capture::CaptureSource source() const override { return capture::CaptureSource::kWindow; }
  void Kick() override {}

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    // Main thread.
    bool in_flight = false;  // a screenshot was asked for, or is held by the host
    capture::FrameCallback on_frame;
    decltype(ViewLink::send) send;
  };

  static void Request(const std::shared_ptr<State>& state) {
    if (state->in_flight) return;
    std::weak_ptr<State> weak = state;
    state->in_flight = state->send("Page.captureScreenshot", Json{{"format", "png"}}, [weak](bool ok, const Json& answer) {
      auto s = weak.lock();
      if (!s) return;
      const auto data = answer.find("data");
      std::vector<uint8_t> png;
      if (!ok || data == answer.end() || !data->is_string() || !Base64Decode(data->get_ref<const std::string&>(), &png)) {
        s->in_flight = false;
        return;
      }
      // The frame is "in the pool" until the host releases it (on the main thread, posted).
      s->on_frame(capture::EncodedFrame(std::move(png), capture::FrameAlpha::kStraight, 0, 0, [weak] {
        if (auto held = weak.lock()) held->in_flight = false;
      }));
    });
  }

  ViewLink link_;
  uint32_t interval_ms_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::thread timer_;
};

class CdpCapturePort final : public capture::ICapturePort {
 public:
  CdpCapturePort(Poster post, WebViewLookup views, CaptureOptions options)
      : post_(std::move(post)), views_(std::move(views)), options_(options) {}

  bool IsSupported(uint32_t view_id) override {
    ViewLink link;
    return Link(view_id, &link);
  }

  std::unique_ptr<capture::ICaptureSession> Start(uint32_t view_id, capture::CaptureSource source, int32_t width,
                                                  int32_t height, uint32_t interval_ms, capture::FrameCallback on_frame,
                                                  capture::EndCallback on_end) override {
    ViewLink link;
    if (!Link(view_id, &link) || width < 1 || height < 1) return nullptr;
    if (source == capture::CaptureSource::kVisual) {
      auto session = std::make_unique<ScreencastSession>(std::move(link), width, height);
      if (!session->Start(std::move(on_frame), std::move(on_end), options_.silent_screencast)) return nullptr;
      return session;
    }
    auto session = std::make_unique<ScreenshotSession>(std::move(link), interval_ms);
    if (!session->Start(std::move(on_frame), std::move(on_end))) return nullptr;
    return session;
  }

 private:
  bool Link(uint32_t view_id, ViewLink* link) {
    const std::shared_ptr<IWebView> view = views_ ? views_(view_id) : nullptr;
    return view && LinkOf(*view, link);
  }

  Poster post_;
  WebViewLookup views_;
  CaptureOptions options_;
};

}  // namespace

std::unique_ptr<capture::ICapturePort> CreateCapturePort(Poster post_to_main, WebViewLookup views,
                                                        CaptureOptions options) {
  return std::make_unique<CdpCapturePort>(std::move(post_to_main), std::move(views), options);
}

}  // namespace vyo::web::cdp
