// The port's view: an IWebView over a ViewCore. Closing or dropping it closes its page target.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

class ViewCore;

class CdpView final : public IWebView {
 public:
  explicit CdpView(std::shared_ptr<ViewCore> core);
  ~CdpView() override;
  CdpView(const CdpView&) = delete;
  CdpView& operator=(const CdpView&) = delete;

  HResult SetDefaultScriptDialogsEnabled(bool enabled) override;
  HResult SetDevToolsEnabled(bool enabled) override;
  HResult SetDefaultContextMenusEnabled(bool enabled) override;
  HResult SetBrowserAcceleratorKeysEnabled(bool enabled) override;
  HResult GetUserAgent(std::u16string* user_agent) override;
  HResult SetUserAgent(const std::u16string& user_agent) override;
  HResult InsertText(const std::string& utf8) override;
  HResult DispatchKeyEvent(const KeyEvent& event) override;
  HResult SetFocusEmulationEnabled(bool enabled, Done done) override;
  HResult EnableNetworkEvents() override;
  HResult SetHttpCacheDisabled(bool disabled) override;
  // Bounds are always raw pixels here: the device metrics are set from them.
  HResult SetRawPixelBounds() override;
  HResult SetRasterizationScale(double scale) override;
  HResult SetAllowExternalDrop(bool allow) override;
  HResult SetBounds(int32_t width, int32_t height) override;
  HResult SetZoomFactor(double zoom) override;
  // A page target is always shown; no protocol call hides one.
  HResult SetVisible(bool visible) override;
  HResult SetDefaultBackgroundColor(uint32_t argb) override;
  HResult MoveFocus() override;
  HResult SendMouseInput(int32_t kind, uint32_t virtual_keys, int32_t mouse_data, int32_t x, int32_t y) override;
  void SetEventSink(IWebViewEvents* sink) override;
  HResult AddEventHandler(WebEvent event) override;
  HResult RemoveEventHandler(WebEvent event) override;
  HResult AddScriptToExecuteOnDocumentCreated(const std::u16string& script) override;
  HResult ExecuteScript(const std::u16string& script) override;
  HResult Navigate(const std::u16string& uri) override;
  HResult PostWebMessageAsJson(const std::string& json) override;
  HResult AddWebResourceRequestedFilter(const std::u16string& pattern) override;
  HResult RemoveWebResourceRequestedFilter(const std::u16string& pattern) override;
  // The cursor derived after the last pointer move.
  HResult GetSystemCursorId(uint32_t* cursor_id) override;
  HResult GetBrowserProcessId(uint32_t* pid) override;
  HResult SetMemoryUsageTargetLow(bool /*low*/) override;
  void Close() override;

  ViewCore& core();
  // Any protocol method by name with JSON parameters, for tests and tools; the answer is not
  // reported.
  HResult CallDevToolsProtocolMethod(const std::string& method, const std::string& params_json);

 private:
  std::shared_ptr<ViewCore> core_;
};

}  // namespace vyo::web::cdp
