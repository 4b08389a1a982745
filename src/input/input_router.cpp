#include "input/input_router.h"

#include <vector>

#include "base/log.h"
#include "protocol/protocol.h"

namespace vyo::host {
namespace {

constexpr uint32_t kStatsWindowMs = 5000;
constexpr uint32_t kCtrl = 2, kAlt = 1;

bool IsPointerKind(uint32_t msg) { return (msg >= 0x200 && msg <= 0x20E) || msg == kMouseLeave; }
bool IsKeyKind(uint32_t msg) {
  return msg == kKeyDown || msg == kKeyUp || msg == kChar || msg == kSysKeyDown || msg == kSysKeyUp || msg == kSysChar;
}

}  // namespace

InputRouter::InputRouter(platform::Clock& clock, const HostSettings& settings, ViewRegistry& views,
                         OverlayChannel& overlay,
                         web::WebViewManager& web, web::PagePolicy& pages, std::unique_ptr<IKeyboardLayout> layout,
                         IInputRouterDelegate& delegate)
    : clock_(clock),
      settings_(settings),
      views_(views),
      overlay_(overlay),
      web_(web),
      pages_(pages),
      layout_(std::move(layout)),
      delegate_(delegate) {}

// ---------------------------------------------------------------------------------------------
// Drain and flush

void InputRouter::OnInputRecord(const InputRecord& raw) {
  const InputEvent record = ParseInputRecord(raw);
  ++stats_.records;
  if (++batch_ > stats_.largest_batch) stats_.largest_batch = batch_;
  if (record.msg == kCoalescedCustom) {
    pending_custom_[record.view_id] = record;
    return;
  }
  if (record.msg == kMouseMove) {
    auto [it, inserted] = pending_pointer_moves_.insert_or_assign(record.view_id, record);
    if (!inserted) ++stats_.coalesced_moves;
    return;
  }
  // Anything else keeps its place after the view's earlier move and custom record.
  if (auto it = pending_pointer_moves_.find(record.view_id); it != pending_pointer_moves_.end()) {
    const InputEvent move = it->second;
    pending_pointer_moves_.erase(it);
    DispatchInputEvent(move);
  }
  if (auto it = pending_custom_.find(record.view_id); it != pending_custom_.end()) {
    const InputEvent custom = it->second;
    pending_custom_.erase(it);
    DispatchInputEvent(custom);
  }
  DispatchInputEvent(record);
}

void InputRouter::OnDrainEnd() {
  batch_ = 0;
  std::map<uint32_t, InputEvent> custom;
  custom.swap(pending_custom_);
  for (const auto& [id, record] : custom) DispatchInputEvent(record);
}

void InputRouter::FlushPendingPointerMoves() {
  if (pending_pointer_moves_.empty()) return;
  std::map<uint32_t, InputEvent> moves;
  moves.swap(pending_pointer_moves_);
  for (const auto& [id, record] : moves) DispatchInputEvent(record);
}

void InputRouter::BeginInputStage() {
  const uint32_t now = clock_.TickMs();
  if (stats_window_start_ != 0 && now - stats_window_start_ < kStatsWindowMs) return;
  stats_window_start_ = now == 0 ? 1 : now;
  const Stats kept = stats_;
  stats_ = Stats{};
  stats_.largest_batch = kept.largest_batch;
  stats_.last_failure_hr = kept.last_failure_hr;
  stats_.last_missing_view = kept.last_missing_view;
  stats_.last_no_controller_view = kept.last_no_controller_view;
}

void InputRouter::OnViewDestroyed(uint32_t view_id) {
  pending_high_surrogate_.erase(view_id);
  held_.erase(view_id);
}

void InputRouter::ReleasePressedButtons(uint32_t view_id) {
  const auto it = held_.find(view_id);
  if (it == held_.end()) return;
  const HeldButtons held = it->second;
  held_.erase(it);
  const std::shared_ptr<web::IWebView> webview = web_.WebViewOf(view_id);
  if (!webview) return;
  // Each held button goes up in turn; what stays held is told with each release.
  uint32_t remaining = held.buttons;
  const struct {
    uint32_t bit;
    int32_t kind, data;
  } releases[] = {{0x1, 0x202, 0}, {0x2, 0x205, 0}, {0x10, 0x208, 0}, {0x20, 0x20C, 1}, {0x40, 0x20C, 2}};
  for (const auto& r : releases) {
    if ((held.buttons & r.bit) == 0) continue;
    remaining &= ~r.bit;
    webview->SendMouseInput(r.kind, remaining, r.data, held.x, held.y);
  }
}

// ---------------------------------------------------------------------------------------------
// Dispatch

void InputRouter::DispatchInputEvent(const InputEvent& record) {
  const std::optional<ViewFacts> view = views_.Facts(record.view_id);
  if (!view) {
    const size_t view_count = views_.Count();
    // A button-up over a view that is gone still ends a native button's press.
    if (settings_.windowed && IsPointerKind(record.msg)) TrackNativeButtonPointer(0, record.msg, record.wparam);
    ++stats_.view_missing;
    stats_.last_missing_view = record.view_id;
    if (view_missing_logs_ > 0) {
      --view_missing_logs_;
      overlay_.SendLog(StringPrintf("input dropped, reason=view_missing, view_id=%u, msg=0x%x, point=%d,%d, local_views=%u",
                                    record.view_id, record.msg, record.x, record.y,
                                    static_cast<unsigned>(view_count)));
    }
    return;
  }
  const bool native = view->kind == ViewKind::kNative;
  const std::shared_ptr<web::IWebView> webview = web_.WebViewOf(record.view_id);
  if (IsPointerKind(record.msg)) {
    if (settings_.windowed) {
      TrackNativeButtonPointer(native ? record.view_id : 0, record.msg, record.wparam);
      if (native) return;  // native buttons never receive injected input
    }
    InjectPointerEvent(webview, record);
    return;
  }
  if (record.msg >= 0x10001 && record.msg <= 0x10004) {
    if (record.msg == kInsertText) InsertText(webview, record);
    return;
  }
  if (IsKeyKind(record.msg)) DispatchKeyEvent(webview, record);
}

void InputRouter::InjectPointerEvent(const std::shared_ptr<web::IWebView>& webview, const InputEvent& record) {
  if (!webview) {
    ++stats_.no_controller;
    stats_.last_no_controller_view = record.view_id;
    if (no_controller_logs_ > 0) {
      --no_controller_logs_;
      overlay_.SendLog(StringPrintf("input dropped, reason=no_controller, view_id=%u, msg=0x%x, point=%d,%d, has_webview=0",
                                    record.view_id, record.msg, record.x, record.y));
    }
    return;
  }
  const uint32_t keys = static_cast<uint32_t>(record.wparam & 0x7F);
  const uint32_t high = static_cast<uint32_t>((record.wparam >> 16) & 0xFFFF);
  int32_t data = 0;
  if (record.msg == 0x20A || record.msg == 0x20E) data = static_cast<int16_t>(high);
  if (record.msg == 0x20B || record.msg == 0x20C || record.msg == 0x20D) data = static_cast<int32_t>(high);
  const web::HResult hr = webview->SendMouseInput(static_cast<int32_t>(record.msg), keys, data, record.x, record.y);
  if (web::Succeeded(hr)) {
    ++stats_.mouse_sent;
    const uint32_t buttons = keys & (0x1 | 0x2 | 0x10 | 0x20 | 0x40);
    if (buttons != 0) {
      held_[record.view_id] = HeldButtons{buttons, record.x, record.y};
    } else {
      held_.erase(record.view_id);
    }
    return;
  }
  ++stats_.mouse_failed_in_window;
  stats_.last_failure_hr = hr;
  if (mouse_failure_logs_ > 0) {
    --mouse_failure_logs_;
    overlay_.SendLog(StringPrintf(
        "SendMouseInput failed, view_id=%u, msg=0x%x, kind=%u, point=%d,%d, hr=0x%s, failed_in_window=%u",
        record.view_id, record.msg, record.msg, record.x, record.y, HrHex(hr).c_str(), stats_.mouse_failed_in_window));
  }
}

void InputRouter::InsertText(const std::shared_ptr<web::IWebView>& webview, const InputEvent& record) {
  if (!webview || record.text_length == 0 || record.text.empty()) return;
  const web::HResult hr = webview->InsertText(InsertedText(record.text));
  if (web::Failed(hr)) overlay_.SendLog("Input.insertText, hr=0x" + HrHex(hr));
}

void InputRouter::DispatchKeyEvent(const std::shared_ptr<web::IWebView>& webview, const InputEvent& record) {
  if (!webview) return;
  const uint32_t vk = static_cast<uint32_t>(record.wparam & 0xFFFFFFFF);
  if (IsCopyShortcut(record.msg, record.wparam, record.modifiers)) {
    if (record.msg == kKeyDown || record.msg == kSysKeyDown) pages_.CopySelectionToClipboard(record.view_id);
    return;
  }
  // Ctrl+Alt is AltGr: what it types is text, never a browser shortcut.
  const bool alt_gr = (record.modifiers & (kCtrl | kAlt)) == (kCtrl | kAlt);
  if (!alt_gr && web::IsBlockedBrowserAccelerator(record.msg, vk, record.modifiers)) return;
  std::u16string text;
  const std::u16string* joined = nullptr;
  if (record.msg == kChar || record.msg == kSysChar) {
    // A character outside the basic plane arrives as two records: join the halves per view.
    const char16_t unit = static_cast<char16_t>(vk & 0xFFFF);
    auto pending = pending_high_surrogate_.find(record.view_id);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      pending_high_surrogate_[record.view_id] = unit;
      return;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF && pending != pending_high_surrogate_.end()) {
      text = {pending->second, unit};
      joined = &text;
    }
    if (pending != pending_high_surrogate_.end()) pending_high_surrogate_.erase(pending);
  }
  if (alt_gr && (record.msg == kChar || record.msg == kSysChar)) {
    // The page would take a character with Ctrl held for a shortcut: what AltGr typed is inserted.
    const std::u16string typed = joined != nullptr ? *joined : std::u16string(1, static_cast<char16_t>(vk & 0xFFFF));
    if (typed.empty() || typed[0] == 0) return;
    const web::HResult hr = webview->InsertText(InsertedText(typed));
    if (web::Failed(hr)) overlay_.SendLog("Input.insertText, hr=0x" + HrHex(hr));
    return;
  }
  const std::optional<web::KeyEvent> event = BuildKeyEvent(*layout_, record, joined);
  if (!event) return;
  const web::HResult hr = webview->DispatchKeyEvent(*event);
  if (web::Failed(hr)) overlay_.SendLog("Input.dispatchKeyEvent, hr=0x" + HrHex(hr));
}

// ---------------------------------------------------------------------------------------------
// Native buttons (windowed presentation)

uint32_t InputRouter::TrackNativeButtonPointer(uint32_t view_id, uint32_t kind, uint64_t wparam) {
  using Code = NativeButtonEventCode;
  std::vector<std::pair<uint32_t, Code>> events;
  std::vector<std::pair<uint32_t, ButtonState>> states;
  uint32_t id = 0;
  {
    const std::optional<ViewFacts> view = views_.Facts(view_id);
    id = (view && view->kind == ViewKind::kNative) ? view_id : 0;
    const auto rest_state = [&](uint32_t button) {
      return button == hovered_native_button_ ? ButtonState::kHover : ButtonState::kNormal;
    };
    if (pressed_native_button_ != 0 && (kind == kMouseLeave || (kind == kMouseMove && (wparam & 1) == 0))) {
      const uint32_t pressed = pressed_native_button_;
      pressed_native_button_ = 0;
      states.emplace_back(pressed, rest_state(pressed));
      events.emplace_back(pressed, Code::kRelease);
    }
    if (kind == kMouseLeave) id = 0;  // leaving clears the hover
    if (id != hovered_native_button_) {
      const uint32_t previous = hovered_native_button_;
      hovered_native_button_ = id;
      if (previous != 0) {
        states.emplace_back(previous, previous == pressed_native_button_ ? ButtonState::kPressed : ButtonState::kNormal);
        events.emplace_back(previous, Code::kHoverLeave);
      }
      if (id != 0) {
        states.emplace_back(id, id == pressed_native_button_ ? ButtonState::kPressed : ButtonState::kHover);
        events.emplace_back(id, Code::kHoverEnter);
      }
    }
    if (kind == 0x202) {
      if (pressed_native_button_ != 0) {
        const uint32_t pressed = pressed_native_button_;
        pressed_native_button_ = 0;
        states.emplace_back(pressed, rest_state(pressed));
        events.emplace_back(pressed, Code::kRelease);
        if (id == pressed) events.emplace_back(id, Code::kClick);
      }
    } else if ((kind == 0x201 || kind == 0x203) && id != 0) {
      pressed_native_button_ = id;
      states.emplace_back(id, ButtonState::kPressed);
      events.emplace_back(id, Code::kPress);
    }
  }
  for (const auto& [button, state] : states) delegate_.OnButtonState(button, state);
  SendButtonEvents(events);
  return id;
}

void InputRouter::ResetWindowedPointer() {
  using Code = NativeButtonEventCode;
  std::vector<std::pair<uint32_t, Code>> events;
  std::vector<std::pair<uint32_t, ButtonState>> states;
  {
    if (pressed_native_button_ != 0) {
      const uint32_t pressed = pressed_native_button_;
      pressed_native_button_ = 0;
      states.emplace_back(pressed, pressed == hovered_native_button_ ? ButtonState::kHover : ButtonState::kNormal);
      events.emplace_back(pressed, Code::kRelease);
    }
    if (hovered_native_button_ != 0) {
      const uint32_t hovered = hovered_native_button_;
      hovered_native_button_ = 0;
      states.emplace_back(hovered, ButtonState::kNormal);
      events.emplace_back(hovered, Code::kHoverLeave);
    }
  }
  for (const auto& [button, state] : states) delegate_.OnButtonState(button, state);
  SendButtonEvents(events);
}

void InputRouter::SendButtonEvents(const std::vector<std::pair<uint32_t, NativeButtonEventCode>>& events) {
  for (const auto& [id, code] : events) {
    overlay_.SendToOverlay(kNativeButtonEventMsg, Encode(NativeButtonEventMsg{id, static_cast<uint32_t>(code)}));
  }
}

}  // namespace vyo::host
