// The DevTools backend of the web runtime port: a Chromium-family browser started with its
// DevTools pipe and driven over the DevTools protocol.
//
// Threads: every call is made on the host's main thread, and every completion and event reaches
// the host through the poster it gives (its main-thread queue). Per browser, one I/O thread reads
// and decodes the pipe and one writes it; they only post work.
//
// Lifetimes: an environment is one browser process; it and each view made from it share that
// browser, which ends (and is reaped, with every helper process it started) when the last of them
// is gone. Closing or dropping a view closes its target. Work still queued for objects the host
// dropped finds them gone and does nothing, except that a paused resource request is always let
// through and a pending `done` always runs (with a failure).
//
// Ending the runtime ends every browser it started, even those still referenced (by views, by
// work in the queue): Browser.close, a bounded wait (2 s, shared by all of them), then the kill
// of whatever is left of each browser's process group, and the join of its threads. Completions
// still waiting are posted with a failure before it returns; after it has returned nothing made
// by the runtime posts again, so the host may destroy its queue next.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "renderers/web/web_runtime.h"

namespace vyo::web::cdp {

struct RuntimeOptions {
  // Start browsers without windows (--headless=new). Without it the browser opens its own windows.
  bool headless = true;
  // Where to look for the browser after the VYO_BROWSER variable; nullopt = the usual install
  // locations of the platform.
  std::optional<std::vector<std::string>> browser_locations;
  // How long a starting browser may take to answer before the environment fails.
  uint32_t startup_timeout_ms = 20000;
};

class Browser;
class MainLink;

// The port's runtime: finds the browser and starts one per environment.
class CdpRuntime final : public IWebRuntime {
 public:
  CdpRuntime(Poster post, RuntimeOptions options);

  // Every browser this runtime started ends with it, whoever still holds a reference (a view in
  // its setup, a completion not yet run): each is asked to close, given a shared, bounded moment,
  // then what is left of it is killed and its threads are joined. Completions still waiting are
  // posted with a failure; then the link to the main thread is closed, so nothing made here posts
  // to the host's queue once this returns (the host may destroy the queue next).
  ~CdpRuntime() override;

  LoadResult Load() override;

  std::string GetAvailableBrowserVersion() override;

  HResult CreateEnvironment(const std::u16string& user_data_dir, const std::string& browser_arguments,
                            std::function<void(HResult, std::shared_ptr<IWebEnvironment>)> done) override;

 private:
  std::string FindBrowser() const;

  // The folder is held by another browser: an environment without a browser, whose view requests
  // fail with kInvalidState.
  void HandHeld(const std::function<void(HResult, std::shared_ptr<IWebEnvironment>)>& done);

  std::shared_ptr<MainLink> link_;
  RuntimeOptions options_;
  std::string executable_;
  std::string version_;
  std::set<std::shared_ptr<Browser>> starting_;
  // Every browser started, to be ended with the runtime.
  std::vector<std::weak_ptr<Browser>> browsers_;
  // Cleared when the runtime goes, so that a late start-up answer leaves the runtime alone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

 public:
  CdpRuntime(const CdpRuntime&) = delete;
  CdpRuntime& operator=(const CdpRuntime&) = delete;
};

std::unique_ptr<IWebRuntime> CreateRuntime(Poster post_to_main);
std::unique_ptr<IWebRuntime> CreateRuntime(Poster post_to_main, RuntimeOptions options);

// Diagnostics for tools and tests, on the main thread, for objects made by this runtime.
// The ids of the browser's page targets; `done` runs on the main thread (empty on failure).
// False (and `done` will not run) when `environment` is not one of ours or has no browser.
bool ListPageTargets(IWebEnvironment& environment, std::function<void(std::vector<std::string>)> done);
// The target id of a view (empty when `view` is not one of ours).
std::string TargetIdOf(IWebView& view);
// Any protocol method by name with JSON parameters, sent to a view's page (its answer is not
// reported); kNoInterface when `view` is not one of ours, kInvalidArg for parameters that are not
// a JSON object.
HResult CallDevToolsProtocolMethod(IWebView& view, const std::string& method, const std::string& params_json);
// How many commands of the environment's browser still wait for their answer.
size_t PendingReplies(IWebEnvironment& environment);

}  // namespace vyo::web::cdp
