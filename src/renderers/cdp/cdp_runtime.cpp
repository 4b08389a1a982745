// The DevTools backend: one browser process per environment, one page target (attached with a
// flat session) per view.
//
// How the port maps onto the protocol:
// - Load finds the executable: $VYO_BROWSER when set (and only that one), else the usual install
//   locations.
// - An environment is a browser started with the DevTools pipe, the user data folder, the host's
//   arguments and the flags of a closed network. It is ready once Browser.getVersion answers.
//   When another live browser holds the folder (its singleton lock names a live process, or the
//   new browser exits with the "profile in use" status), the environment still comes up, without
//   a browser, and every view request on it fails with kInvalidState: the host then moves to its
//   private folder, as it would when the engine refuses a controller for a held folder.
// - A view is Target.createTarget("about:blank", in a window of its own: tabs of one window other
//   than the newest are hidden and draw nothing) + Target.attachToTarget(flatten).
// - Bounds and zoom: Emulation.setDeviceMetricsOverride with the layout viewport in CSS pixels
//   (raw pixels / (zoom × rasterization scale)) and deviceScaleFactor = zoom × rasterization
//   scale, which is what browser zoom is: the page lays out in width/zoom CSS pixels, renders at
//   the view's raw pixel size and sees devicePixelRatio = zoom.
// - Settings that have no browser UI to act on in headless mode (script dialogs, DevTools, context
//   menus, accelerator keys, external drop) are honoured when switched off: nothing exists to show
//   them, and script dialogs are dismissed as they open. Switching them on cannot be honoured
//   without windows and fails with kNotImplemented. With windows, the switched-off DevTools,
//   context menus, accelerator keys and external drop cannot be enforced over the protocol and
//   fail with kNotImplemented.
// - Events raised: process failure (Inspector.targetCrashed: kind 1, render process exited; the
//   browser's pipe closing: kind 0, browser process exited), navigation starting
//   (Page.frameStartedNavigating), navigation completed (lifecycle "load", or a failure from
//   Page.navigate / Network.loadingFailed of the main document, with the table of cdp_protocol.h),
//   DOM content loaded, new windows (Page.windowOpen + Target.targetCreated with this view as
//   opener), resource requests (Fetch.requestPaused) and web messages (below).
// - Not raised, so subscribing fails with kNotImplemented: permission requests (the protocol has
//   no event for a page asking for a permission; a headless browser answers such requests itself
//   without asking anyone), accelerator keys (a headless browser has no browser shortcuts: keys
//   reach the page only as the host injects them), and cursor changes (the input side derives
//   cursors from the page).
// - Keys and text: Input.dispatchKeyEvent and Input.insertText with the parameters built in
//   cdp_input.h from the port's typed events; focus emulation: Emulation.setFocusEmulationEnabled
//   (a protocol error fails it); the HTTP cache switch: Network.enable, Network.setCacheDisabled.
// - Web messages: every document gets window.chrome.webview from a shim added before any other
//   script (Page.addScriptToEvaluateOnNewDocument, and run in the current document). Its
//   postMessage calls a runtime binding with "s" + the string for a string, or "j" + the JSON text
//   for any other value; only calls from the main frame's own page context count. A string
//   arrives with `text` set and `json` its quoted JSON form; anything else with `json` only.
//   PostWebMessageAsJson evaluates, in the main frame, the shim's delivery function with the JSON
//   as a literal, which dispatches a "message" event on window.chrome.webview whose data is the
//   parsed value.
#include "renderers/cdp/cdp_runtime.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <utility>

#include "base/text.h"
#include "platform/process.h"
#include "renderers/cdp/browser.h"
#include "renderers/cdp/browser_process.h"
#include "renderers/cdp/cdp_environment.h"
#include "renderers/cdp/cdp_link.h"
#include "renderers/cdp/cdp_protocol.h"
#include "renderers/cdp/cdp_view.h"
#include "renderers/cdp/main_link.h"
#include "renderers/cdp/view_core.h"

namespace vyo::web::cdp {

CdpRuntime::CdpRuntime(Poster post, RuntimeOptions options)
    : link_(std::make_shared<MainLink>(std::move(post))), options_(std::move(options)) {}

CdpRuntime::~CdpRuntime() {
  *alive_ = false;
  std::vector<std::shared_ptr<Browser>> browsers;
  for (auto& weak : browsers_) {
    if (auto browser = weak.lock()) browsers.push_back(std::move(browser));
  }
  browsers_.clear();
  for (auto& browser : browsers) browser->RequestClose();
  const auto deadline = std::chrono::steady_clock::now() + kCloseWait;
  for (auto& browser : browsers) browser->Stop(deadline);
  starting_.clear();
  link_->Close();
}

IWebRuntime::LoadResult CdpRuntime::Load() {
  executable_ = FindBrowser();
  return executable_.empty() ? LoadResult::kNotFound : LoadResult::kLoaded;
}

std::string CdpRuntime::GetAvailableBrowserVersion() {
  if (version_.empty() && !executable_.empty()) version_ = ReadInstalledVersion(executable_);
  return version_;
}

HResult CdpRuntime::CreateEnvironment(const std::u16string& user_data_dir, const std::string& browser_arguments,
                                      std::function<void(HResult, std::shared_ptr<IWebEnvironment>)> done) {
  if (!done) return kInvalidArg;
  if (executable_.empty() && Load() != LoadResult::kLoaded) return kFileNotFound;
  const std::string dir = Utf16ToUtf8(user_data_dir);
  if (!dir.empty() && ProfileHolder(dir)) {
    HandHeld(done);
    return kOk;
  }
  std::vector<std::string> args;
  if (options_.headless) args.emplace_back("--headless=new");
  if (!dir.empty()) args.push_back("--user-data-dir=" + dir);
  for (const char* flag : {"--no-first-run", "--no-default-browser-check", "--disable-background-networking",
                           "--disable-component-update", "--disable-sync", "--disable-default-apps", "--disable-gpu",
                           // Every window a page asks for is a new-window request for the host to
                           // decide on, with or without a user gesture behind it.
                           "--disable-popup-blocking"}) {
    args.emplace_back(flag);
  }
  if (SandboxMustBeOff()) args.emplace_back("--no-sandbox");
  for (auto& arg : SplitArguments(browser_arguments)) args.push_back(std::move(arg));
  args.emplace_back("about:blank");

  std::string error;
  std::unique_ptr<BrowserProcess> process = BrowserProcess::Start(executable_, args, &error);
  if (!process) return kFail;
  auto browser = std::make_shared<Browser>(link_, std::move(process), options_.headless);
  starting_.insert(browser);
  std::erase_if(browsers_, [](const std::weak_ptr<Browser>& b) { return b.expired(); });
  browsers_.push_back(browser);
  std::weak_ptr<Browser> weak = browser;
  browser->Start(options_.startup_timeout_ms, [this, alive = alive_, weak, done](HResult hr) {
    auto b = weak.lock();
    if (!*alive) {
      done(Failed(hr) ? hr : kAbort, nullptr);
      return;
    }
    if (b) starting_.erase(b);
    if (hr == kInvalidState) {
      HandHeld(done);
      return;
    }
    if (Failed(hr) || !b) {
      done(Failed(hr) ? hr : kFail, nullptr);
      return;
    }
    if (version_.empty()) version_ = b->version();
    done(kOk, std::make_shared<CdpEnvironment>(b, link_, b->version()));
  });
  return kOk;
}

std::string CdpRuntime::FindBrowser() const {
  // A browser named by VYO_BROWSER is the only one considered: a deployment that points at one
  // never silently runs another.
  if (const std::optional<std::string> chosen = platform::GetEnv("VYO_BROWSER"); chosen && !chosen->empty()) {
    return IsExecutableFile(*chosen) ? *chosen : std::string();
  }
  const std::vector<std::string> locations =
      options_.browser_locations ? *options_.browser_locations : DefaultBrowserLocations();
  for (const auto& path : locations) {
    if (IsExecutableFile(path)) return path;
  }
  return {};
}

void CdpRuntime::HandHeld(const std::function<void(HResult, std::shared_ptr<IWebEnvironment>)>& done) {
  auto env = std::make_shared<CdpEnvironment>(nullptr, link_, GetAvailableBrowserVersion());
  link_->Post([done, env] { done(kOk, env); });
}

std::unique_ptr<IWebRuntime> CreateRuntime(Poster post_to_main) {
  return CreateRuntime(std::move(post_to_main), {});
}

std::unique_ptr<IWebRuntime> CreateRuntime(Poster post_to_main, RuntimeOptions options) {
  return std::make_unique<CdpRuntime>(std::move(post_to_main), std::move(options));
}

bool ListPageTargets(IWebEnvironment& environment, std::function<void(std::vector<std::string>)> done) {
  auto* env = dynamic_cast<CdpEnvironment*>(&environment);
  if (env == nullptr || env->browser() == nullptr || !done) return false;
  return env->browser()->Send("Target.getTargets", Json::object(), {}, [done](bool ok, const Json& answer) {
    std::vector<std::string> ids;
    const auto infos = answer.find("targetInfos");
    if (ok && infos != answer.end() && infos->is_array()) {
      for (const Json& info : *infos) {
        if (StringField(info, "type") == "page") ids.push_back(StringField(info, "targetId"));
      }
    }
    done(std::move(ids));
  });
}

bool LinkOf(IWebView& view, ViewLink* out) {
  auto* ours = dynamic_cast<CdpView*>(&view);
  if (ours == nullptr || ours->core().closed()) return false;
  ViewCore& core = ours->core();
  out->taps = core.browser().taps();
  out->session = core.session();
  out->post = core.browser().poster();
  std::weak_ptr<ViewCore> weak = core.weak_from_this();
  out->send = [weak](const std::string& method, Json params, std::function<void(bool, const Json&)> reply) {
    auto c = weak.lock();
    return c != nullptr && Succeeded(c->Send(method, std::move(params), std::move(reply)));
  };
  return true;
}

std::string TargetIdOf(IWebView& view) {
  auto* ours = dynamic_cast<CdpView*>(&view);
  return ours != nullptr ? ours->core().target() : std::string();
}

HResult CallDevToolsProtocolMethod(IWebView& view, const std::string& method, const std::string& params_json) {
  auto* ours = dynamic_cast<CdpView*>(&view);
  return ours != nullptr ? ours->CallDevToolsProtocolMethod(method, params_json) : kNoInterface;
}

size_t PendingReplies(IWebEnvironment& environment) {
  auto* env = dynamic_cast<CdpEnvironment*>(&environment);
  return env != nullptr && env->browser() != nullptr ? env->browser()->pending_replies() : 0;
}

}  // namespace vyo::web::cdp
