#include "renderers/cdp/cdp_view.h"

#include <utility>

#include "base/text.h"
#include "renderers/cdp/cdp_input.h"
#include "renderers/cdp/view_core.h"

namespace vyo::web::cdp {

CdpView::CdpView(std::shared_ptr<ViewCore> core) : core_(std::move(core)) {}

CdpView::~CdpView() {
  core_->Close();
}

HResult CdpView::SetDefaultScriptDialogsEnabled(bool enabled) {
  return core_->SetScriptDialogsEnabled(enabled);
}

HResult CdpView::SetDevToolsEnabled(bool enabled) {
  return core_->SetHeadlessOnlySetting(enabled);
}

HResult CdpView::SetDefaultContextMenusEnabled(bool enabled) {
  return core_->SetHeadlessOnlySetting(enabled);
}

HResult CdpView::SetBrowserAcceleratorKeysEnabled(bool enabled) {
  return core_->SetHeadlessOnlySetting(enabled);
}

HResult CdpView::GetUserAgent(std::u16string* user_agent) {
  return core_->GetUserAgent(user_agent);
}

HResult CdpView::SetUserAgent(const std::u16string& user_agent) {
  return core_->SetUserAgent(user_agent);
}

HResult CdpView::InsertText(const std::string& utf8) {
  return core_->CallMethod("Input.insertText", BuildInsertTextJson(utf8));
}

HResult CdpView::DispatchKeyEvent(const KeyEvent& event) {
  return core_->CallMethod("Input.dispatchKeyEvent", BuildKeyEventJson(event));
}

HResult CdpView::SetFocusEmulationEnabled(bool enabled, Done done) {
  // A protocol error is a failure of the call.
  return core_->Send("Emulation.setFocusEmulationEnabled", Json{{"enabled", enabled}},
                     [done = std::move(done)](bool ok, const Json&) {
                       if (done) done(ok ? kOk : kFail);
                     });
}

HResult CdpView::EnableNetworkEvents() {
  return core_->Send("Network.enable", Json::object());
}

HResult CdpView::SetHttpCacheDisabled(bool disabled) {
  return core_->Send("Network.setCacheDisabled", Json{{"cacheDisabled", disabled}});
}

HResult CdpView::SetRawPixelBounds() {
  return core_->closed() ? kUnexpected : kOk;
}

HResult CdpView::SetRasterizationScale(double scale) {
  return core_->SetRasterizationScale(scale);
}

HResult CdpView::SetAllowExternalDrop(bool allow) {
  return core_->SetHeadlessOnlySetting(allow);
}

HResult CdpView::SetBounds(int32_t width, int32_t height) {
  return core_->SetBounds(width, height);
}

HResult CdpView::SetZoomFactor(double zoom) {
  return core_->SetZoom(zoom);
}

HResult CdpView::SetVisible(bool visible) {
  if (core_->closed()) return kUnexpected;
  return visible ? kOk : kNotImplemented;
}

HResult CdpView::SetDefaultBackgroundColor(uint32_t argb) {
  return core_->SetBackground(argb);
}

HResult CdpView::MoveFocus() {
  return core_->Send("Page.bringToFront", Json::object());
}

HResult CdpView::SendMouseInput(int32_t kind, uint32_t virtual_keys, int32_t mouse_data, int32_t x, int32_t y) {
  return core_->SendMouseInput(kind, virtual_keys, mouse_data, x, y);
}

void CdpView::SetEventSink(IWebViewEvents* sink) {
  core_->SetSink(sink);
}

HResult CdpView::AddEventHandler(WebEvent event) {
  return core_->AddHandler(event);
}

HResult CdpView::RemoveEventHandler(WebEvent event) {
  return core_->RemoveHandler(event);
}

HResult CdpView::AddScriptToExecuteOnDocumentCreated(const std::u16string& script) {
  return core_->Send("Page.addScriptToEvaluateOnNewDocument", Json{{"source", Utf16ToUtf8(script)}});
}

HResult CdpView::ExecuteScript(const std::u16string& script) {
  return core_->Send("Runtime.evaluate", Json{{"expression", Utf16ToUtf8(script)}});
}

HResult CdpView::Navigate(const std::u16string& uri) {
  return core_->Navigate(uri);
}

HResult CdpView::PostWebMessageAsJson(const std::string& json) {
  return core_->PostWebMessage(json);
}

HResult CdpView::AddWebResourceRequestedFilter(const std::u16string& pattern) {
  return core_->AddFilter(pattern);
}

HResult CdpView::RemoveWebResourceRequestedFilter(const std::u16string& pattern) {
  return core_->RemoveFilter(pattern);
}

HResult CdpView::GetSystemCursorId(uint32_t* cursor_id) {
  if (cursor_id == nullptr) return kInvalidArg;
  *cursor_id = core_->cursor_id();
  return kOk;
}

HResult CdpView::GetBrowserProcessId(uint32_t* pid) {
  if (pid == nullptr) return kInvalidArg;
  *pid = core_->BrowserPid();
  return kOk;
}

HResult CdpView::SetMemoryUsageTargetLow(bool /*low*/) {
  return kNotImplemented;
}

void CdpView::Close() {
  core_->Close();
}

ViewCore& CdpView::core() {
  return *core_;
}

HResult CdpView::CallDevToolsProtocolMethod(const std::string& method, const std::string& params_json) {
  return core_->CallMethod(method, params_json);
}

}  // namespace vyo::web::cdp
