// The page policy: page messages, messages to pages, the selection and its copy, and the event
// policy of views (see page_policy.h).
#include "renderers/web/page_policy.h"

#include <algorithm>

#include "base/log.h"
#include "base/text.h"
#include "platform/clipboard.h"
#include "protocol/protocol.h"
#include "qos/events.h"

namespace vyo::web {
namespace {

using host::ViewState;
using host::ViewsLock;

// A PageMessage frame carries the view id and the length before the JSON.
constexpr size_t kMaxPageMessageBytes = host::kMaxPayload - 8;
// Lines about dropped page messages a process writes at most.
constexpr int32_t kPageMessageDropLogBudget = 8;
// URIs longer than this are cut in log lines.
constexpr size_t kMaxLoggedUriBytes = 2048;

std::string LoggedUri(const std::string& uri) {
  return uri.size() <= kMaxLoggedUriBytes ? uri : uri.substr(0, kMaxLoggedUriBytes) + "...";
}

}  // namespace

PagePolicy::PagePolicy(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                       host::OverlayChannel& overlay, WebViewManager& web, capture::IDirtyReports& dirty_reports,
                       host::HostCounters& counters, IPagePolicyDelegate& delegate)
    : clock_(clock),
      settings_(settings),
      views_(views),
      overlay_(overlay),
      web_(web),
      dirty_reports_(dirty_reports),
      counters_(counters),
      delegate_(delegate) {}

void PagePolicy::OnViewDestroyed(uint32_t view_id) {
  input_focus_.ClearInputFocus(view_id);
  selection_store_.Clear(view_id);
}

// ---------------------------------------------------------------------------------------------
// Page messages

void PagePolicy::SendSelectionChanged(uint32_t view_id, bool has_selection) {
  overlay_.SendPageDriven(host::kSelectionChanged, host::Encode(host::SelectionChangedMsg{view_id, has_selection ? 1u : 0u}));
}

void PagePolicy::SendInputFocusChanged(uint32_t view_id, bool state) {
  overlay_.SendPageDriven(host::kInputFocusChanged, host::Encode(host::InputFocusChangedMsg{view_id, state ? 1u : 0u}));
}

bool PagePolicy::IsManagedPopupView(uint32_t /*view_id*/) {
  // No view belongs to a managed popup in this host.
  return false;
}

void PagePolicy::OnWebMessageReceived(uint32_t view_id, const WebMessage& message) {
  const size_t size = std::max(message.json.size(), message.text ? message.text->size() : 0);
  if (size > kMaxPageMessageBytes) {
    if (page_message_drop_logs_ < kPageMessageDropLogBudget) {
      ++page_message_drop_logs_;
      overlay_.SendLog(StringPrintf("page message too large, dropped, view_id=%u, bytes=%llu", view_id,
                           static_cast<unsigned long long>(size)));
    }
    return;
  }
  if (message.text && !message.text->empty() && (*message.text)[0] == '\x01') {
    HandleControlMessage(view_id, *message.text);
    return;
  }
  const std::optional<host::ViewFacts> view = views_.Facts(view_id);
  if (!view) return;
  const bool module_view = view->owner_module != 0;
  switch (RoutePageMessage(message.json.empty(), IsManagedPopupView(view_id), module_view)) {
    case MessageRoute::kDrop:
      return;
    case MessageRoute::kModuleHost:
      delegate_.OnModulePageMessage(view_id, message.json);
      return;
    case MessageRoute::kOverlay:
      overlay_.SendPageDriven(host::kPageMessage, host::Encode(host::PageMessageMsg{view_id, message.json}));
      return;
  }
}

void PagePolicy::HandleControlMessage(uint32_t view_id, const std::string& text) {
  const ControlMessage control = ClassifyControlMessage(text);
  switch (control.kind) {
    case ControlKind::kInputReassert:
      input_focus_.ForceInputFocus(view_id);
      return;
    case ControlKind::kInputFocus:
      input_focus_.HandleInputFocusMessage(view_id, text);
      return;
    case ControlKind::kSelection:
      selection_store_.Set(view_id, Utf8ToUtf16(control.selection));
      return;
    case ControlKind::kReleaseFocus:  // only windowed keyboard arbitration acts on it
    case ControlKind::kNone:
      return;
    case ControlKind::kDirtyFull:
    case ControlKind::kDirtyRect:
    case ControlKind::kOther:
      HandleDirtyMessage(view_id, control);
      return;
  }
}

void PagePolicy::HandleDirtyMessage(uint32_t view_id, const ControlMessage& message) {
  if (const std::optional<capture::DirtyReport> report = DirtyReportOf(message)) {
    dirty_reports_.OnDirtyReport(view_id, *report);
  }
}

void PagePolicy::PostWebMessageToView(uint32_t view_id, const std::string& json) {
  if (json.empty()) return;
  const std::shared_ptr<IWebView> wv = web_.WebViewOf(view_id);
  if (!wv) return;
  const HResult hr = wv->PostWebMessageAsJson(json);
  if (Failed(hr)) {
    overlay_.SendLog(StringPrintf("PostWebMessageAsJson failed, view_id=%u, hr=0x%s", view_id, HrHex(hr).c_str()));
  }
  if (json.find("vyo-ime") != std::string::npos) return;
  // Other messages: capture supervision checks a view that has shown no frame 8 s after its capture
  // started.
}

void PagePolicy::CopySelectionToClipboard(uint32_t view_id) {
  const std::u16string text = selection_store_.Get(view_id);
  if (text.empty()) return;
  // The clipboard belongs to the hidden host window (the windowed overlay window stands in for it
  // once windowed presentation has its own window).
  switch (platform::SetClipboardText(clipboard_owner_, text)) {
    case platform::ClipboardResult::kOk:
      overlay_.SendLog(StringPrintf("CopySelectionToClipboard view_id=%u chars=%llu", view_id,
                           static_cast<unsigned long long>(text.size())));
      break;
    case platform::ClipboardResult::kOpenFailed:
      overlay_.SendLog("CopySelectionToClipboard OpenClipboard failed");
      break;
    case platform::ClipboardResult::kSetFailed:
      overlay_.SendLog("CopySelectionToClipboard SetClipboardData failed");
      break;
    case platform::ClipboardResult::kAllocFailed:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Event policy

void PagePolicy::OnNewWindowRequested(uint32_t view_id, NewWindowArgs& args) {
  args.handled = true;
  const std::string uri = Utf16ToUtf8(args.uri);
  overlay_.SendLog(StringPrintf("NewWindowRequested blocked, view_id=%u, uri=", view_id) + LoggedUri(uri));
  if (uri.empty()) return;
  if (IsManagedPopupView(view_id)) {
    if (!IsNavigableWebContentUri(uri)) {
      overlay_.SendLog(StringPrintf("NewWindowRequested uri refused, view_id=%u, uri=", view_id) + LoggedUri(uri));
      return;
    }
    return;
  }
  const std::optional<host::ViewFacts> view = views_.Facts(view_id);
  const bool module_view = view && view->owner_module != 0;
  // A module's page asked for a window: the owning module hears of it as a page message.
  if (module_view) {
    delegate_.OnModulePageMessage(view_id, "{\"type\":\"__vyo_new_window\",\"uri\":\"" + EscapeJsonString(uri) + "\"}");
  }
}

void PagePolicy::OnPermissionRequested(uint32_t view_id, PermissionArgs& args) {
  args.deny = true;
  overlay_.SendLog(StringPrintf("PermissionRequested denied, view_id=%u, kind=%d", view_id, args.kind));
}

void PagePolicy::OnAcceleratorKeyPressed(uint32_t view_id, AcceleratorArgs& args) {
  const uint32_t message = AcceleratorWindowMessage(args.kind);
  if (message == 0) return;
  const uint32_t modifiers = delegate_.KeyboardModifiers();
  if (IsCopyAccelerator(args.virtual_key, modifiers) && selection_store_.Has(view_id)) {
    args.handled = true;
    args.browser_enabled = false;
    if ((message == 0x100 || message == 0x104) && !args.was_down) CopySelectionToClipboard(view_id);
    return;
  }
  if (!IsBlockedBrowserAccelerator(message, args.virtual_key, modifiers)) return;
  args.handled = true;
  args.browser_enabled = false;
  if (accelerator_block_logs_ < 4) {
    ++accelerator_block_logs_;
    overlay_.SendLog(StringPrintf("webview accelerator blocked, view_id=%u, msg=0x%x, vk=%u, modifiers=%u", view_id, message,
                         args.virtual_key, modifiers));
  }
}

void PagePolicy::OnProcessFailed(uint32_t view_id, int32_t kind) {
  // Kinds: 0 browser process exited, 1 the view's renderer exited, others (a frame's renderer,
  // utility, GPU ...) leave the view's content in place.
  const bool view_lost = kind == 0 || kind == 1;
  const auto code = host::ViewStatusCode::kBrowserProcessFailed;
  if (view_lost) {
    web_.SetFailed(view_id, true);
    overlay_.SendToOverlay(host::kViewStatus, host::Encode(host::ViewStatus(view_id, code)));
  }
  qos::Report(qos::ViewFailureEvent(kind, view_id, static_cast<uint32_t>(code)));
  if (view_lost) delegate_.OnModuleViewEvent(view_id, kModuleViewFailed, 1);
  overlay_.SendLog(StringPrintf("WebView2 process failed, view_id=%u, kind=%d", view_id, kind));
  if (!view_lost) return;
  input_focus_.ClearInputFocus(view_id);
  selection_store_.Clear(view_id);
  if (kind == 0) web_.RecreateEnvironmentAfterBrowserExit();
}

void PagePolicy::OnNavigationStarting(uint32_t view_id, const NavigationStartingArgs& /*args*/) {
  // Every navigation, the page's own as well as the host's: what the old document set up for its
  // frames (dirty reports, analysis) is not carried over to the new one.
  delegate_.OnPageNavigating(view_id);
}

void PagePolicy::OnDOMContentLoaded(uint32_t /*view_id*/, uint64_t /*navigation_id*/) {
  // Nothing to do: no view here waits for its content before it is shown.
}

void PagePolicy::OnNavigationCompleted(uint32_t view_id, const NavigationCompletedArgs& args) {
  const std::optional<host::ViewState> view = views_.Snapshot(view_id);
  const std::u16string url = view ? view->url : std::u16string();
  const uint32_t started = web_.NavigationStartTick(view_id);
  const uint32_t now = clock_.TickMs();
  ++counters_.navigations_completed;
  qos::Report(qos::NavigationCompletedEvent(args.success ? 0 : args.web_error_status, started == 0 ? 0 : now - started,
                                            view_id, TelemetryHostPart(Utf16ToUtf8(url))));
  delegate_.OnModuleViewEvent(view_id, kModuleViewNavigated, args.success ? 0u : static_cast<uint32_t>(args.web_error_status));
  input_focus_.ClearInputFocus(view_id);
  selection_store_.Clear(view_id);
  if (!args.success) return;
  if (!web_.WebViewOf(view_id)) return;
  web_.SetFailed(view_id, false);  // working content again (after a failed browser process, say)
  web_.RunPageScripts(view_id);
}

void PagePolicy::OnCursorChanged(uint32_t view_id) {
  if (settings_.windowed) return;  // the system shows the cursor over the host's own window
  const std::shared_ptr<IWebView> wv = web_.WebViewOf(view_id);
  uint32_t cursor = 0;
  if (!wv || Failed(wv->GetSystemCursorId(&cursor))) return;
  overlay_.SendPageDriven(host::kCursorChanged, host::Encode(host::CursorChangedMsg{view_id, cursor}));
}

}  // namespace vyo::web
