// Page messages: the control messages the injected scripts post (texts beginning with U+0001),
// the dirty reports they make, the per-view selection and input-focus records, and the small
// text rules of the web view event policy (JSON escaping, blocked browser accelerators, the host
// part of a URL for telemetry, which URIs from web content may be navigated).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>

#include "capture/dirty_reports.h"

namespace vyo::web {

// ---- Control messages

enum class ControlKind {
  kNone,           // not a control message: page data
  kInputReassert,  // "vyo-input-reassert"
  kInputFocus,     // "vyo-input-focus 1" / "vyo-input-focus 0" (anything but "1" counts as off)
  kSelection,      // "vyo-sel 1 <text>" / "vyo-sel 0"
  kReleaseFocus,   // "vyo-release-focus"
  kDirtyFull,      // "vyo-dirty-full"
  kDirtyRect,      // "vyo-dirty x y w h" with w > 0 and h > 0
  kOther,          // any other text beginning with U+0001: changes nothing
};

struct ControlMessage {
  ControlKind kind = ControlKind::kNone;
  bool focus_on = false;  // kInputFocus
  std::string selection;  // kSelection: the selected text (UTF-8), empty for none
  int32_t x = 0, y = 0, w = 0, h = 0;  // kDirtyRect
};

// Classifies a page message given as UTF-8 (U+0001 is the byte 0x01).
ControlMessage ClassifyControlMessage(std::string_view message);

// Reads "%d %d %d %d" (whitespace-separated decimal integers, each within the 32-bit range) from
// the start of `text`. False when any of the four is missing or out of range.
bool ParseFourInts(std::string_view text, int32_t out[4]);

// ---- Dirty regions reported by pages

// The report a dirty control message makes (nullopt for any other message, and for a rectangle
// without area).
std::optional<capture::DirtyReport> DirtyReportOf(const ControlMessage& message);

// Applies a dirty control message to `state` (see capture::ApplyDirtyReport).
bool ApplyDirtyMessage(capture::DirtyState& state, bool gated, const ControlMessage& message);

// ---- Selection store

// The selected text of each view (UTF-16, at most kMaxSelectionChars units); an entry exists only
// while a view has a selection. The change callback runs, outside the store's lock, only when a
// view starts or stops having a selection.
class SelectionStore {
 public:
  static constexpr size_t kMaxSelectionChars = 8192;
  using ChangeCallback = std::function<void(uint32_t view_id, bool has_selection)>;

  explicit SelectionStore(ChangeCallback callback = nullptr) : callback_(std::move(callback)) {}
  void SetChangeCallback(ChangeCallback callback);
  // An empty text removes the view's selection. Longer texts are cut to kMaxSelectionChars units
  // (never inside a surrogate pair).
  void Set(uint32_t view_id, std::u16string text);
  std::u16string Get(uint32_t view_id) const;
  void Clear(uint32_t view_id) { Set(view_id, std::u16string()); }
  bool Has(uint32_t view_id) const;

 private:
  mutable std::mutex mutex_;
  std::map<uint32_t, std::u16string> texts_;
  ChangeCallback callback_;
};

// ---- Input focus reports

// How many focus-on reports each view has outstanding; only positive counts are kept. A view that
// goes from none to some (or back) is reported through the send callback, if the filter lets it.
// Callbacks run outside the tracker's lock.
class InputFocusTracker {
 public:
  using Filter = std::function<bool(uint32_t view_id, bool state)>;
  using Send = std::function<void(uint32_t view_id, bool state)>;

  InputFocusTracker() = default;
  InputFocusTracker(Filter filter, Send send) : filter_(std::move(filter)), send_(std::move(send)) {}
  void SetCallbacks(Filter filter, Send send);
  // Whether `message` is an input-focus message (then it was counted).
  bool HandleInputFocusMessage(uint32_t view_id, std::string_view message);
  // Raises a count of 0 to 1 (reporting it); false when the view already had a count.
  bool ForceInputFocus(uint32_t view_id);
  void ClearInputFocus(uint32_t view_id);
  void ClearAllInputFocus();
  bool HasInputFocus(uint32_t view_id) const;
  int32_t Count(uint32_t view_id) const;

 private:
  void Report(uint32_t view_id, bool state);

  mutable std::mutex mutex_;
  std::map<uint32_t, int32_t> counts_;
  Filter filter_;
  Send send_;
};

// ---- Text rules of the event policy

// JSON string escaping, byte by byte over UTF-8: \b \t \n \f \r \" \\, other bytes below 0x20 as
// \u00XX (lower-case hex); everything else, slash and multi-byte sequences included, unchanged.
std::string EscapeJsonString(std::string_view utf8);

// Modifier bits.
constexpr uint32_t kModAlt = 1, kModCtrl = 2, kModMeta = 4, kModShift = 8;

// Window message of a key event kind (0 key down, 1 key up, 2 system key down, 3 system key up);
// 0 for any other kind.
uint32_t AcceleratorWindowMessage(int32_t kind);
// Ctrl (without Shift and Alt) with C or Insert.
bool IsCopyAccelerator(uint32_t virtual_key, uint32_t modifiers);
// Browser shortcuts that a view never acts on (reload, find, print, zoom, developer tools,
// history navigation, ...). `message` is the key's window message.
bool IsBlockedBrowserAccelerator(uint32_t message, uint32_t virtual_key, uint32_t modifiers);

// The host part of a URL for telemetry: for "scheme://..." the text after "://" up to the first
// "/", "?" or "#", without any user information (up to the last "@"); for any other URL only its
// scheme (the text before the first ":"; empty when there is none).
std::string TelemetryHostPart(std::string_view url);

// Whether a URI that came from web content may be navigated: http and https (any letter case) and
// exactly about:blank. Everything else (the host's private schemes, file:, UNC paths, script and
// data URLs) is refused.
bool IsNavigableWebContentUri(std::string_view uri);

// The page message a module's view gets for a blocked new window:
// {"type":"__vyo_new_window","uri":"<the URI, JSON-escaped>"}.
std::string NewWindowMessage(std::string_view uri);

// Where page data goes: nowhere for empty JSON and for the views of managed popups, to the module
// host for a module's views, otherwise to the overlay.
enum class MessageRoute { kDrop, kModuleHost, kOverlay };
MessageRoute RoutePageMessage(bool empty, bool managed_popup, bool module_view);

}  // namespace vyo::web
