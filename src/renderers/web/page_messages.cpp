#include "renderers/web/page_messages.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace vyo::web {
namespace {

constexpr std::string_view kReassert = "\x01vyo-input-reassert";
constexpr std::string_view kInputFocusPrefix = "\x01vyo-input-focus ";
constexpr std::string_view kSelectionPrefix = "\x01vyo-sel ";
constexpr std::string_view kReleaseFocus = "\x01vyo-release-focus";
constexpr std::string_view kDirtyFullPrefix = "\x01vyo-dirty-full";
constexpr std::string_view kDirtyPrefix = "\x01vyo-dirty ";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool ParseFourInts(std::string_view text, int32_t out[4]) {
  size_t p = 0;
  for (int i = 0; i < 4; ++i) {
    while (p < text.size() && IsSpace(text[p])) ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    const size_t digits_start = p;
    int64_t value = 0;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
      value = value * 10 + (text[p] - '0');
      // One past the largest magnitude is enough to know the number is out of range.
      if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
      ++p;
    }
    if (p == digits_start) return false;
    if (negative) value = -value;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return false;
    out[i] = static_cast<int32_t>(value);
  }
  return true;
}

ControlMessage ClassifyControlMessage(std::string_view m) {
  ControlMessage result;
  if (m.empty() || m[0] != '\x01') return result;
  if (m == kReassert) {
    result.kind = ControlKind::kInputReassert;
  } else if (StartsWith(m, kInputFocusPrefix)) {
    result.kind = ControlKind::kInputFocus;
    result.focus_on = m.size() > kInputFocusPrefix.size() && m[kInputFocusPrefix.size()] == '1';
  } else if (StartsWith(m, kSelectionPrefix)) {
    result.kind = ControlKind::kSelection;
    if (m.size() >= 12 && m[9] == '1' && m[10] == ' ') result.selection = std::string(m.substr(11));
  } else if (m == kReleaseFocus) {
    result.kind = ControlKind::kReleaseFocus;
  } else if (StartsWith(m, kDirtyFullPrefix)) {
    result.kind = ControlKind::kDirtyFull;
  } else if (StartsWith(m, kDirtyPrefix)) {
    int32_t v[4] = {};
    if (ParseFourInts(m.substr(kDirtyPrefix.size()), v) && v[2] > 0 && v[3] > 0) {
      result.kind = ControlKind::kDirtyRect;
      result.x = v[0];
      result.y = v[1];
      result.w = v[2];
      result.h = v[3];
    } else {
      result.kind = ControlKind::kOther;
    }
  } else {
    result.kind = ControlKind::kOther;
  }
  return result;
}

std::optional<capture::DirtyReport> DirtyReportOf(const ControlMessage& message) {
  capture::DirtyReport report;
  if (message.kind == ControlKind::kDirtyFull) {
    report.full = true;
    return report;
  }
  if (message.kind != ControlKind::kDirtyRect || message.w <= 0 || message.h <= 0) return std::nullopt;
  report.x = message.x;
  report.y = message.y;
  report.w = message.w;
  report.h = message.h;
  return report;
}

bool ApplyDirtyMessage(capture::DirtyState& state, bool gated, const ControlMessage& message) {
  const std::optional<capture::DirtyReport> report = DirtyReportOf(message);
  return report && capture::ApplyDirtyReport(state, gated, *report);
}

// ---- SelectionStore

void SelectionStore::SetChangeCallback(ChangeCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = std::move(callback);
}

void SelectionStore::Set(uint32_t view_id, std::u16string text) {
  if (text.size() > kMaxSelectionChars) {
    size_t cut = kMaxSelectionChars;
    const char16_t last = text[cut - 1];
    if (last >= 0xD800 && last <= 0xDBFF) --cut;  // keep surrogate pairs whole
    text.resize(cut);
  }
  bool had = false, has = false;
  ChangeCallback callback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = texts_.find(view_id);
    had = it != texts_.end();
    has = !text.empty();
    if (has) {
      texts_[view_id] = std::move(text);
    } else if (had) {
      texts_.erase(it);
    }
    callback = callback_;
  }
  if (had != has && callback) callback(view_id, has);
}

std::u16string SelectionStore::Get(uint32_t view_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = texts_.find(view_id);
  return it == texts_.end() ? std::u16string() : it->second;
}

bool SelectionStore::Has(uint32_t view_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_.count(view_id) != 0;
}

// ---- InputFocusTracker

void InputFocusTracker::SetCallbacks(Filter filter, Send send) {
  std::lock_guard<std::mutex> lock(mutex_);
  filter_ = std::move(filter);
  send_ = std::move(send);
}

bool InputFocusTracker::HandleInputFocusMessage(uint32_t view_id, std::string_view message) {
  if (!StartsWith(message, kInputFocusPrefix)) return false;
  const int32_t change = (message.size() > kInputFocusPrefix.size() && message[kInputFocusPrefix.size()] == '1') ? 1 : -1;
  bool before = false, after = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = counts_.find(view_id);
    const int32_t old_count = it == counts_.end() ? 0 : it->second;
    const int32_t new_count =
        std::max<int32_t>(0, old_count == std::numeric_limits<int32_t>::max() && change > 0 ? old_count
                                                                                             : old_count + change);
    before = old_count > 0;
    after = new_count > 0;
    if (new_count > 0) {
      counts_[view_id] = new_count;
    } else if (it != counts_.end()) {
      counts_.erase(it);
    }
  }
  if (before != after) Report(view_id, after);
  return true;
}

bool InputFocusTracker::ForceInputFocus(uint32_t view_id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (counts_.count(view_id) != 0) return false;
    counts_[view_id] = 1;
  }
  Report(view_id, true);
  return true;
}

void InputFocusTracker::ClearInputFocus(uint32_t view_id) {
  bool had = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    had = counts_.erase(view_id) != 0;
  }
  if (had) Report(view_id, false);
}

void InputFocusTracker::ClearAllInputFocus() {
  std::vector<uint32_t> views;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : counts_) views.push_back(entry.first);  // ascending: the map is ordered
    counts_.clear();
  }
  for (uint32_t id : views) Report(id, false);
}

bool InputFocusTracker::HasInputFocus(uint32_t view_id) const { return Count(view_id) > 0; }

int32_t InputFocusTracker::Count(uint32_t view_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = counts_.find(view_id);
  return it == counts_.end() ? 0 : it->second;
}

void InputFocusTracker::Report(uint32_t view_id, bool state) {
  Filter filter;
  Send send;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    filter = filter_;
    send = send_;
  }
  if (filter && !filter(view_id, state)) return;
  if (send) send(view_id, state);
}

// ---- Text rules

std::string EscapeJsonString(std::string_view utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(utf8.size() + 8);
  for (const char c : utf8) {
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          out += "\\u00";
          out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0xF]);
        } else {
          out.push_back(c);
        }
      }
    }
  }
  return out;
}

uint32_t AcceleratorWindowMessage(int32_t kind) {
  switch (kind) {
    case 0: return 0x100;
    case 1: return 0x101;
    case 2: return 0x104;
    case 3: return 0x105;
    default: return 0;
  }
}

bool IsCopyAccelerator(uint32_t vk, uint32_t modifiers) {
  return (modifiers & kModCtrl) != 0 && (modifiers & (kModShift | kModAlt)) == 0 && (vk == 0x43 || vk == 0x2D);
}

bool IsBlockedBrowserAccelerator(uint32_t message, uint32_t vk, uint32_t modifiers) {
  if (message != 0x100 && message != 0x101 && message != 0x104 && message != 0x105) return false;
  // F3, F5, F6, F7, F11, F12 and the browser keys, whatever the modifiers.
  if (vk == 0x72 || vk == 0x74 || vk == 0x75 || vk == 0x76 || vk == 0x7A || vk == 0x7B) return true;
  if (vk >= 0xA6 && vk <= 0xAC) return true;
  const bool ctrl = (modifiers & kModCtrl) != 0;
  if (ctrl) {
    switch (vk) {
      case 0x30: case 'D': case 'F': case 'G': case 'H': case 'J': case 'N': case 'O': case 'P': case 'R':
      case 'S': case 'T': case 'U': case 'W': case 0x60: case 0x6B: case 0x6D: case 0xBB: case 0xBD:
        return true;
      case 'C': case 'I':
        // Copy and plain Ctrl+I stay with the page; with Shift they open developer tools.
        return (modifiers & kModShift) != 0;
      default:
        break;
    }
  }
  if ((modifiers & kModAlt) != 0 && (vk == 0x24 || vk == 0x25 || vk == 0x27)) return true;
  return false;
}

std::string TelemetryHostPart(std::string_view url) {
  // The scheme ends at the first ':'; only "scheme://" has a host part after it.
  const size_t colon = url.find(':');
  if (colon == std::string_view::npos) return std::string();
  if (url.substr(colon, 3) != "://") return std::string(url.substr(0, colon));
  std::string_view host = url.substr(colon + 3);
  host = host.substr(0, host.find_first_of("/?#"));
  if (const size_t at = host.rfind('@'); at != std::string_view::npos) host = host.substr(at + 1);
  return std::string(host);
}

bool IsNavigableWebContentUri(std::string_view uri) {
  if (uri == "about:blank") return true;
  const size_t colon = uri.find(':');
  if (colon == std::string_view::npos) return false;
  std::string scheme;
  for (char c : uri.substr(0, colon)) scheme.push_back(Lower(c));
  return scheme == "http" || scheme == "https";
}

std::string NewWindowMessage(std::string_view uri) {
  return "{\"type\":\"__vyo_new_window\",\"uri\":\"" + EscapeJsonString(uri) + "\"}";
}

MessageRoute RoutePageMessage(bool empty, bool managed_popup, bool module_view) {
  if (empty || managed_popup) return MessageRoute::kDrop;
  return module_view ? MessageRoute::kModuleHost : MessageRoute::kOverlay;
}

}  // namespace vyo::web
