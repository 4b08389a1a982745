// The web runtime port: what the host asks of a browser engine, modelled on the browser control it
// drives on Windows. Every call returns an HRESULT-style status; asynchronous results and events are
// delivered on the host's main thread (the runtime posts them there through the poster it is given).
//
// Implementations: the DevTools-protocol backend in cdp/ (a Chromium-family browser driven through
// a pipe) and the scripted fake in tests/fakes/.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vyo::web {

using HResult = int32_t;

constexpr HResult kOk = 0;
constexpr HResult kFail = static_cast<HResult>(0x80004005u);
constexpr HResult kUnexpected = static_cast<HResult>(0x8000FFFFu);
constexpr HResult kAbort = static_cast<HResult>(0x80004004u);
constexpr HResult kNoInterface = static_cast<HResult>(0x80004002u);
constexpr HResult kNotImplemented = static_cast<HResult>(0x80004001u);
constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057u);
constexpr HResult kBusy = static_cast<HResult>(0x800700AAu);           // resource in use
constexpr HResult kInvalidState = static_cast<HResult>(0x8007139Fu);   // e.g. profile held by another browser
constexpr HResult kFileNotFound = static_cast<HResult>(0x80070002u);

inline bool Succeeded(HResult hr) { return hr >= 0; }
inline bool Failed(HResult hr) { return hr < 0; }

// Posts a task to the main thread.
using Poster = std::function<void(std::function<void()>)>;
class IWebView;
// The web view of a view id (null when it has none), asked on the main thread.
using WebViewLookup = std::function<std::shared_ptr<IWebView>(uint32_t view_id)>;

// The view events a host can subscribe to, in the host's registration order.
enum class WebEvent {
  kWebMessageReceived,
  kProcessFailed,
  kNavigationStarting,
  kNavigationCompleted,
  kDomContentLoaded,
  kNewWindowRequested,
  kPermissionRequested,
  kCursorChanged,
  kAcceleratorKeyPressed,
  kWebResourceRequested,
};

// A web message posted by a page: `json` is the message as JSON; `text` is set when the page posted
// a string (the string itself, not its JSON form).
struct WebMessage {
  std::string json;
  std::optional<std::string> text;
  std::u16string source;
};

struct NavigationStartingArgs {
  uint64_t navigation_id = 0;
  std::u16string uri;
};
struct NavigationCompletedArgs {
  uint64_t navigation_id = 0;
  bool success = false;
  int32_t web_error_status = 0;  // 0 unknown; see the runtime's table
};
struct NewWindowArgs {
  std::u16string uri;
  bool handled = false;  // set by the handler: true blocks the window
};
struct PermissionArgs {
  int32_t kind = 0;
  bool deny = false;  // set by the handler
};
struct AcceleratorArgs {
  int32_t kind = 0;  // 0 key down, 1 key up, 2 system key down, 3 system key up
  uint32_t virtual_key = 0;
  bool was_down = false;    // from the physical key status
  bool handled = false;     // set by the handler
  bool browser_enabled = true;  // set by the handler: false switches the browser's handling off
};

struct WebResourceRequest {
  std::u16string uri;
  std::string method;
};
struct WebResourceResponse {
  int32_t status = 200;
  std::string reason;
  std::string headers;  // CR LF separated "Name: value" lines
  std::vector<uint8_t> body;
};

// A key event for a page, in the DOM's terms.
struct KeyEvent {
  enum class Type { kRawKeyDown, kKeyUp, kChar };
  Type type = Type::kRawKeyDown;
  uint32_t modifiers = 0;  // Alt 1, Ctrl 2, Meta 4, Shift 8
  // kChar: the text typed (UTF-8); the fields below it are for key-down and key-up events only.
  std::string text;
  std::string key;   // the DOM key (UTF-8); empty when the key has no name
  std::string code;  // the DOM code; empty when the key has none
  int32_t location = 0;  // 0 standard, 1 left, 2 right, 3 numeric keypad
  uint32_t windows_virtual_key_code = 0;
  uint32_t native_virtual_key_code = 0;
  bool auto_repeat = false;  // key-down: the key was already down
  bool is_keypad = false;
  bool is_system_key = false;  // pressed with Alt (the system-key messages)
};

// Receives a view's events on the main thread.
class IWebViewEvents {
 public:
  virtual ~IWebViewEvents() = default;
  virtual void OnWebMessageReceived(const WebMessage& message) = 0;
  virtual void OnProcessFailed(int32_t kind) = 0;
  virtual void OnNavigationStarting(const NavigationStartingArgs& args) = 0;
  virtual void OnNavigationCompleted(const NavigationCompletedArgs& args) = 0;
  virtual void OnDomContentLoaded(uint64_t navigation_id) = 0;
  virtual void OnNewWindowRequested(NewWindowArgs& args) = 0;
  virtual void OnPermissionRequested(PermissionArgs& args) = 0;
  virtual void OnCursorChanged() = 0;
  virtual void OnAcceleratorKeyPressed(AcceleratorArgs& args) = 0;
  // A request for a filtered URI. Returning nullopt lets the request go on normally.
  virtual std::optional<WebResourceResponse> OnWebResourceRequested(const WebResourceRequest& request) = 0;
};

// One view: a controller with its web view.
class IWebView {
 public:
  virtual ~IWebView() = default;

  // Settings. kNoInterface where the runtime does not offer the setting.
  virtual HResult SetDefaultScriptDialogsEnabled(bool enabled) = 0;
  virtual HResult SetDevToolsEnabled(bool enabled) = 0;
  virtual HResult SetDefaultContextMenusEnabled(bool enabled) = 0;
  virtual HResult SetBrowserAcceleratorKeysEnabled(bool enabled) = 0;
  virtual HResult GetUserAgent(std::u16string* user_agent) = 0;
  virtual HResult SetUserAgent(const std::u16string& user_agent) = 0;

  // Keyboard and text for the page; the status says whether the event went out (what the page
  // made of it is not reported). `InsertText` types UTF-8 text at the caret as one insertion.
  virtual HResult InsertText(const std::string& utf8) = 0;
  virtual HResult DispatchKeyEvent(const KeyEvent& event) = 0;
  // Focus emulation: the page behaves as focused (caret, focus events, IME) without native focus.
  // `done` runs later on the main thread with kOk once the browser has switched it, or a failing
  // status. A failing status returned here means `done` will not run.
  using Done = std::function<void(HResult hr)>;
  virtual HResult SetFocusEmulationEnabled(bool enabled, Done done) = 0;
  // The HTTP cache switch: network events for the page on (what the switch acts through), then the
  // cache off. Each status says whether the request was accepted.
  virtual HResult EnableNetworkEvents() = 0;
  virtual HResult SetHttpCacheDisabled(bool disabled) = 0;

  // Controller: raw-pixel bounds at rasterization scale 1, zoom, visibility, background.
  virtual HResult SetRawPixelBounds() = 0;
  virtual HResult SetRasterizationScale(double scale) = 0;
  virtual HResult SetAllowExternalDrop(bool allow) = 0;
  virtual HResult SetBounds(int32_t width, int32_t height) = 0;
  virtual HResult SetZoomFactor(double zoom) = 0;
  virtual HResult SetVisible(bool visible) = 0;
  virtual HResult SetDefaultBackgroundColor(uint32_t argb) = 0;
  virtual HResult MoveFocus() = 0;
  // A mouse event at (x, y) in the view's raw pixels: `kind` is the window message of the event
  // (0x200 move, 0x201 to 0x209 the left, right and middle buttons' down, up and double-click,
  // 0x20A wheel, 0x20B to 0x20D the X buttons, 0x20E horizontal wheel, 0x2A3 leave), `virtual_keys`
  // the MK_ bits, `mouse_data` the wheel delta or the X button's number.
  virtual HResult SendMouseInput(int32_t kind, uint32_t virtual_keys, int32_t mouse_data, int32_t x, int32_t y) = 0;

  // Events: the sink receives every event the view was subscribed to with AddEventHandler.
  virtual void SetEventSink(IWebViewEvents* sink) = 0;
  virtual HResult AddEventHandler(WebEvent event) = 0;
  virtual HResult RemoveEventHandler(WebEvent event) = 0;

  // Scripts: added for every future document, or run once in the current one.
  virtual HResult AddScriptToExecuteOnDocumentCreated(const std::u16string& script) = 0;
  virtual HResult ExecuteScript(const std::u16string& script) = 0;

  virtual HResult Navigate(const std::u16string& uri) = 0;
  virtual HResult PostWebMessageAsJson(const std::string& json) = 0;

  // Resource filters: requests whose URI matches `pattern` ("origin/*") reach OnWebResourceRequested.
  virtual HResult AddWebResourceRequestedFilter(const std::u16string& pattern) = 0;
  virtual HResult RemoveWebResourceRequestedFilter(const std::u16string& pattern) = 0;

  // Cursor, process and memory.
  virtual HResult GetSystemCursorId(uint32_t* cursor_id) = 0;
  virtual HResult GetBrowserProcessId(uint32_t* pid) = 0;
  virtual HResult SetMemoryUsageTargetLow(bool low) = 0;

  // Closes the view; later calls fail.
  virtual void Close() = 0;
};

// The shared environment: one browser instance with its user data folder.
class IWebEnvironment {
 public:
  virtual ~IWebEnvironment() = default;
  // Asks for a new view hosted in `parent_window` (0 where there are no windows). `done` runs later
  // on the main thread with the status and the view (null on failure). A failure status returned
  // here means `done` will not run. `still_wanted` (may be empty) is asked on the main thread when a
  // queued request's turn comes: false drops it without making a view (`done` then gets kAbort).
  virtual HResult CreateWebView(intptr_t parent_window, std::function<void(HResult, std::unique_ptr<IWebView>)> done,
                             std::function<bool()> still_wanted) = 0;
  virtual std::string BrowserVersion() = 0;
};

// The runtime "loader": finds the engine and creates environments.
class IWebRuntime {
 public:
  virtual ~IWebRuntime() = default;
  enum class LoadResult { kLoaded, kNotFound, kNoEntryPoint };
  virtual LoadResult Load() = 0;
  // Installed engine version, or empty.
  virtual std::string GetAvailableBrowserVersion() = 0;
  // Starts creating an environment. `done` runs later on the main thread. A failure status returned
  // here means `done` will not run.
  virtual HResult CreateEnvironment(const std::u16string& user_data_dir, const std::string& browser_arguments,
                                    std::function<void(HResult, std::shared_ptr<IWebEnvironment>)> done) = 0;
};

}  // namespace vyo::web
