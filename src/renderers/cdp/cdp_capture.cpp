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
#include "renderers/cdp/screencast_session.h"
#include "renderers/cdp/screenshot_session.h"

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

namespace {

// The port: sessions over the link of a view made by this backend's runtime.
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
