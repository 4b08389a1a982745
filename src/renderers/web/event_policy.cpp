// The application object's handling of what pages and the browser raise: the page scripts, the
// messages pages post (control messages and page data), messages to pages, the selection and its
// copy, and the policy that keeps a view a piece of the overlay rather than a browser tab (no new
// windows, no permissions, no browser shortcuts), process failures, navigation results and cursors.
#include <algorithm>

#include "base/log.h"
#include "base/text.h"
#include "host/app.h"
#include "platform/clipboard.h"
#include "qos/sink.h"
#include "renderers/web/scripts/page_scripts.h"

namespace vyo::host {
namespace {

using web::ControlKind;
using web::HResult;
using web::PageScript;

// A PageMessage frame carries the view id and the length before the JSON.
constexpr size_t kMaxPageMessageBytes = kMaxPayload - 8;
// Lines about dropped page messages a process writes at most.
constexpr int32_t kPageMessageDropLogBudget = 8;
// URIs longer than this are cut in log lines.
constexpr size_t kMaxLoggedUriBytes = 2048;
// Frames a page's activity may put into the overlay queue only while this many places are free:
// what a page causes is dropped rather than allowed to fill the queue (which ends the host).
constexpr size_t kPageFrameHeadroom = 64;

std::string Hex(HResult hr) { return StringPrintf("%x", static_cast<uint32_t>(hr)); }

std::string LoggedUri(const std::string& uri) {
  return uri.size() <= kMaxLoggedUriBytes ? uri : uri.substr(0, kMaxLoggedUriBytes) + "...";
}

std::u16string Script(PageScript script) { return std::u16string(web::PageScriptText(script)); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Page scripts

void WebViewHostApp::AddPageScriptsLocked(ViewState& view) {
  if (!view.webview || view.scripts_added) return;
  std::vector<PageScript> scripts = {PageScript::kAdaptiveScale, PageScript::kDirtyReporting, PageScript::kImeFocus,
                                     PageScript::kNativeDragGuard, PageScript::kSelectionCopy};
  if (windowed_) scripts.push_back(PageScript::kWindowedFocus);
  bool first = true;
  for (PageScript script : scripts) {
    const std::u16string text = Script(script);
    const HResult hr = view.webview->AddScriptToExecuteOnDocumentCreated(text);
    if (first) view.scripts_added = web::Succeeded(hr);
    first = false;
    view.webview->ExecuteScript(text);
  }
}

void WebViewHostApp::RunPageScriptsLocked(ViewState& view) {
  if (!view.webview) return;
  std::vector<PageScript> scripts = {PageScript::kDirtyReporting, PageScript::kImeFocus, PageScript::kNativeDragGuard,
                                     PageScript::kSelectionCopy};
  if (windowed_) scripts.push_back(PageScript::kWindowedFocus);
  for (PageScript script : scripts) view.webview->ExecuteScript(Script(script));
}

void WebViewHostApp::RunAdaptiveScaleScriptLocked(ViewState& view) {
  if (view.webview) view.webview->ExecuteScript(Script(PageScript::kAdaptiveScale));
}

// ---------------------------------------------------------------------------------------------
// Page messages

bool WebViewHostApp::SendPageDrivenMessage(uint32_t type, const std::vector<uint8_t>& payload) {
  // A page must not be able to end the host by flooding the overlay: its frames are dropped, like
  // log lines, while the queue is nearly full.
  if (writer_ == nullptr) return false;
  if (writer_->queued() + kPageFrameHeadroom >= kSendQueueLimit) {
    if (page_message_drop_logs_ < kPageMessageDropLogBudget) {
      ++page_message_drop_logs_;
      HostLogf(LogLevel::kWarning, "page-driven frame dropped, type=%u, queue full", type);
    }
    return false;
  }
  return SendToOverlay(type, payload);
}

void WebViewHostApp::SendSelectionChanged(uint32_t view_id, bool has_selection) {
  SendPageDrivenMessage(kSelectionChanged, Encode(SelectionChangedMsg{view_id, has_selection ? 1u : 0u}));
}

void WebViewHostApp::SendInputFocusChanged(uint32_t view_id, bool state) {
  SendPageDrivenMessage(kInputFocusChanged, Encode(InputFocusChangedMsg{view_id, state ? 1u : 0u}));
}

bool WebViewHostApp::IsManagedPopupView(uint32_t /*view_id*/) {
  // The popup manager answers this once it exists; until then no view belongs to a popup.
  return false;
}

void WebViewHostApp::OnWebMessageReceived(uint32_t view_id, const web::WebMessage& message) {
  const size_t size = std::max(message.json.size(), message.text ? message.text->size() : 0);
  if (size > kMaxPageMessageBytes) {
    if (page_message_drop_logs_ < kPageMessageDropLogBudget) {
      ++page_message_drop_logs_;
      SendLog(StringPrintf("page message too large, dropped, view_id=%u, bytes=%llu", view_id,
                           static_cast<unsigned long long>(size)));
    }
    return;
  }
  if (message.text && !message.text->empty() && (*message.text)[0] == '\x01') {
    HandleControlMessage(view_id, *message.text);
    return;
  }
  bool module_view = false;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    ViewState* view = FindViewLocked(view_id);
    if (view == nullptr) return;
    module_view = view->owner_module != 0;
  }
  switch (web::RoutePageMessage(message.json.empty(), IsManagedPopupView(view_id), module_view)) {
    case web::MessageRoute::kDrop:
      return;
    case web::MessageRoute::kModuleHost:
      // The module host routes (view id, JSON) to the module that owns the view; until it exists
      // nothing receives a module view's page data.
      return;
    case web::MessageRoute::kOverlay:
      SendPageDrivenMessage(kPageMessage, Encode(PageMessageMsg{view_id, message.json}));
      return;
  }
}

void WebViewHostApp::HandleControlMessage(uint32_t view_id, const std::string& text) {
  const web::ControlMessage control = web::ClassifyControlMessage(text);
  switch (control.kind) {
    case ControlKind::kInputReassert:
      suppress_page_focus_reports_ = false;
      input_focus_.ForceInputFocus(view_id);
      // Windowed presentation: the keyboard arbitration makes the view its keyboard target (or
      // brings the overlay window to the foreground with the reason "input_reassert").
      return;
    case ControlKind::kInputFocus:
      if (suppress_page_focus_reports_ && control.focus_on) return;
      input_focus_.HandleInputFocusMessage(view_id, text);
      return;
    case ControlKind::kSelection:
      selection_store_.Set(view_id, Utf8ToUtf16(control.selection));
      return;
    case ControlKind::kReleaseFocus:
      // Windowed presentation: the keyboard arbitration hands the foreground back to the game with
      // the reason "page_release_focus" (or keeps the release pending for 800 ms).
      return;
    case ControlKind::kNone:
      return;
    case ControlKind::kDirtyFull:
    case ControlKind::kDirtyRect:
    case ControlKind::kOther:
      HandleDirtyMessage(view_id, control);
      return;
  }
}

void WebViewHostApp::HandleDirtyMessage(uint32_t view_id, const web::ControlMessage& message) {
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  ViewState* view = FindViewLocked(view_id);
  if (view == nullptr) return;
  // Capture supervision checks here that a view reporting changes still delivers frames.
  const bool gated =
      view->full_frame_mode || view->live_mode || view->full_until != 0 || view->full_refresh || view->hit_mask_ready;
  web::ApplyDirtyMessage(view->dirty, gated, message);
}

void WebViewHostApp::PostWebMessageToView(uint32_t view_id, const std::string& json) {
  if (json.empty()) return;
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  ViewState* view = FindViewLocked(view_id);
  if (view == nullptr || !view->webview) return;
  const HResult hr = view->webview->PostWebMessageAsJson(json);
  if (web::Failed(hr)) SendLog(StringPrintf("PostWebMessageAsJson failed, view_id=%u, hr=0x%s", view_id, Hex(hr).c_str()));
  if (json.find("vyo-ime") != std::string::npos) return;
  // Other messages: capture supervision checks a view that has shown no frame 8 s after its capture
  // started.
}

void WebViewHostApp::CopySelectionToClipboard(uint32_t view_id) {
  const std::u16string text = selection_store_.Get(view_id);
  if (text.empty()) return;
  // The clipboard belongs to the hidden host window (the windowed overlay window stands in for it
  // once windowed presentation has its own window).
  const intptr_t owner = host_window_ ? host_window_->Handle() : 0;
  switch (platform::SetClipboardText(owner, text)) {
    case platform::ClipboardResult::kOk:
      SendLog(StringPrintf("CopySelectionToClipboard view_id=%u chars=%llu", view_id,
                           static_cast<unsigned long long>(text.size())));
      break;
    case platform::ClipboardResult::kOpenFailed:
      SendLog("CopySelectionToClipboard OpenClipboard failed");
      break;
    case platform::ClipboardResult::kSetFailed:
      SendLog("CopySelectionToClipboard SetClipboardData failed");
      break;
    case platform::ClipboardResult::kAllocFailed:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Event policy

void WebViewHostApp::OnNewWindowRequested(uint32_t view_id, web::NewWindowArgs& args) {
  args.handled = true;
  const std::string uri = Utf16ToUtf8(args.uri);
  SendLog(StringPrintf("NewWindowRequested blocked, view_id=%u, uri=", view_id) + LoggedUri(uri));
  if (uri.empty()) return;
  if (IsManagedPopupView(view_id)) {
    if (!web::IsNavigableWebContentUri(uri)) {
      SendLog(StringPrintf("NewWindowRequested uri refused, view_id=%u, uri=", view_id) + LoggedUri(uri));
      return;
    }
    // The popup manager opens the URI in the popup's content view.
    return;
  }
  bool module_view = false;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    if (ViewState* view = FindViewLocked(view_id)) module_view = view->owner_module != 0;
  }
  if (module_view) {
    // The module host hands the owning module web::NewWindowMessage(uri).
    return;
  }
}

void WebViewHostApp::OnPermissionRequested(uint32_t view_id, web::PermissionArgs& args) {
  args.deny = true;
  SendLog(StringPrintf("PermissionRequested denied, view_id=%u, kind=%d", view_id, args.kind));
}

void WebViewHostApp::OnAcceleratorKeyPressed(uint32_t view_id, web::AcceleratorArgs& args) {
  const uint32_t message = web::AcceleratorWindowMessage(args.kind);
  if (message == 0) return;
  const uint32_t modifiers = keyboard_modifiers_ ? keyboard_modifiers_() : 0;
  if (web::IsCopyAccelerator(args.virtual_key, modifiers) && selection_store_.Has(view_id)) {
    args.handled = true;
    args.browser_enabled = false;
    if ((message == 0x100 || message == 0x104) && !args.was_down) CopySelectionToClipboard(view_id);
    return;
  }
  if (!web::IsBlockedBrowserAccelerator(message, args.virtual_key, modifiers)) return;
  args.handled = true;
  args.browser_enabled = false;
  if (accelerator_block_logs_ < 4) {
    ++accelerator_block_logs_;
    SendLog(StringPrintf("webview accelerator blocked, view_id=%u, msg=0x%x, vk=%u, modifiers=%u", view_id, message,
                         args.virtual_key, modifiers));
  }
}

void WebViewHostApp::OnProcessFailed(uint32_t view_id, int32_t kind) {
  // Kinds: 0 browser process exited, 1 the view's renderer exited, others (a frame's renderer,
  // utility, GPU ...) leave the view's content in place.
  const bool view_lost = kind == 0 || kind == 1;
  if (view_lost) {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    if (ViewState* view = FindViewLocked(view_id)) {
      // Frame publishing clears the view's texture and frame flags here.
      view->web_failed = true;
    }
  }
  if (view_lost) SendToOverlay(kViewStatus, Encode(ViewStatusMsg{view_id, 1}));
  qos::Report(43, {kind, 0, static_cast<int32_t>(view_id), 1});
  // The module host is told (view id, state 3, reason 1) for a module's view.
  SendLog(StringPrintf("WebView2 process failed, view_id=%u, kind=%d", view_id, kind));
  if (!view_lost) return;
  input_focus_.ClearInputFocus(view_id);
  selection_store_.Clear(view_id);
  // The popup manager drops a popup whose content became invalid.
  if (kind == 0) RecreateEnvironmentAfterBrowserExit();
}

void WebViewHostApp::RecreateEnvironmentAfterBrowserExit() {
  // Every view of the environment reports the same exit: the first one starts a new environment
  // (not counted against the recreation budget, which is for environments that fail to work).
  if (!environment_ || env_creating_) return;
  SendLog("WebView2 browser process exited, environment recreate begin");
  environment_.reset();
  if (!CreateEnvironment()) SendLog("WebView2 environment recreate failed to start");
}

void WebViewHostApp::OnNavigationStarting(uint32_t /*view_id*/, const web::NavigationStartingArgs& /*args*/) {
  // Only popups care: the popup manager decides whether the navigation starts new content, and
  // then the view's parked frame, analysis and texture are reset so that no old content shows.
}

void WebViewHostApp::OnDOMContentLoaded(uint32_t /*view_id*/, uint64_t /*navigation_id*/) {
  // Only popups care: the popup manager shows a popup once its content is ready.
}

void WebViewHostApp::OnNavigationCompleted(uint32_t view_id, const web::NavigationCompletedArgs& args) {
  std::u16string url;
  uint32_t started = 0;
  const uint32_t now = clock_.TickMs();
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    if (ViewState* view = FindViewLocked(view_id)) {
      url = view->url;
      started = view->nav_start_tick;
      view->nav_complete_tick = now;
    }
  }
  ++navigations_completed_;
  qos::Report(41,
              {args.success ? 0 : args.web_error_status, started == 0 ? 0 : static_cast<int32_t>(now - started),
               static_cast<int32_t>(view_id)},
              {web::TelemetryHostPart(Utf16ToUtf8(url))});
  // The popup manager accounts the completion first; an event it consumes ends here.
  // The module host is told (view id, state 2, status) for a module's view that is no popup chrome.
  input_focus_.ClearInputFocus(view_id);
  selection_store_.Clear(view_id);
  if (!args.success) return;
  std::lock_guard<std::recursive_mutex> lock(views_lock_);
  ViewState* view = FindViewLocked(view_id);
  if (view == nullptr || !view->webview) return;
  view->web_failed = false;  // working content again (after a failed browser process, say)
  RunPageScriptsLocked(*view);
  // Windowed presentation shows the view here.
}

void WebViewHostApp::OnCursorChanged(uint32_t view_id) {
  if (windowed_) return;  // the system shows the cursor over the host's own window
  uint32_t cursor = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(views_lock_);
    ViewState* view = FindViewLocked(view_id);
    if (view == nullptr || !view->webview || web::Failed(view->webview->GetSystemCursorId(&cursor))) return;
  }
  SendPageDrivenMessage(kCursorChanged, Encode(CursorChangedMsg{view_id, cursor}));
}

}  // namespace vyo::host
