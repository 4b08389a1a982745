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

std::unique_ptr<IWebRuntime> CreateRuntime(Poster post_to_main);
std::unique_ptr<IWebRuntime> CreateRuntime(Poster post_to_main, RuntimeOptions options);

// Diagnostics for tools and tests, on the main thread, for objects made by this runtime.
// The ids of the browser's page targets; `done` runs on the main thread (empty on failure).
// False (and `done` will not run) when `environment` is not one of ours or has no browser.
bool ListPageTargets(IWebEnvironment& environment, std::function<void(std::vector<std::string>)> done);
// The target id of a view (empty when `view` is not one of ours).
std::string TargetIdOf(IWebView& view);
// How many commands of the environment's browser still wait for their answer.
size_t PendingReplies(IWebEnvironment& environment);

}  // namespace vyo::web::cdp
