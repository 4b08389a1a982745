#include "renderers/web/web_environment.h"

#include <optional>

#include "base/log.h"
#include "base/text.h"
#include "protocol/protocol.h"
#include "qos/events.h"

namespace vyo::web {
namespace {

// The browser arguments every environment is created with: a 32 MiB disk cache and three browser
// features switched off.
constexpr char kBrowserArguments[] =
    "--disk-cache-size=33554432 --disable-features=SpareRendererForSitePerProcess,MultipleSpareRenderers,"
    "AudioServiceOutOfProcess";

std::string HrForm(const std::string& text, HResult hr) { return text + ", hr=0x" + HrHex(hr); }

}  // namespace

WebEnvironment::WebEnvironment(platform::Clock& clock, host::OverlayChannel& overlay, IWebEnvironmentClient& client)
    : clock_(clock), overlay_(overlay), client_(client), link_(std::make_shared<WebEnvironment*>(this)) {}

WebEnvironment::~WebEnvironment() { Shutdown(); }

void WebEnvironment::SetRuntime(std::unique_ptr<IWebRuntime> runtime, std::unique_ptr<IUserDataFs> fs) {
  runtime_ = std::move(runtime);
  user_data_fs_ = std::move(fs);
}

void WebEnvironment::Shutdown() {
  *link_ = nullptr;
  environment_.reset();
  runtime_.reset();
}

bool WebEnvironment::Load() {
  start_tick_ = clock_.TickMs();
  if (!runtime_) {
    ReportLoaderFailure("load_loader");
    return false;
  }
  switch (runtime_->Load()) {
    case IWebRuntime::LoadResult::kNotFound:
      ReportLoaderFailure("load_loader");
      return false;
    case IWebRuntime::LoadResult::kNoEntryPoint:
      loader_loaded_ = true;
      ReportLoaderFailure("resolve_export");
      return false;
    case IWebRuntime::LoadResult::kLoaded:
      break;
  }
  loader_loaded_ = true;
  return Create();
}

void WebEnvironment::ReportLoaderFailure(const char* stage) {
  const uint32_t elapsed = clock_.TickMs() - start_tick_;
  qos::Report(qos::EnvironmentEvent(kFail, elapsed, stage));
  NotifyOverlay(kFail, elapsed, stage);
}

std::string WebEnvironment::AvailableBrowserVersion() {
  return (loader_loaded_ && runtime_) ? runtime_->GetAvailableBrowserVersion() : std::string();
}

bool WebEnvironment::Create() {
  if (!loader_loaded_ || !runtime_) return false;
  start_tick_ = clock_.TickMs();
  if (user_data_dir_.empty() && user_data_fs_) {
    UserDataDirectories dirs(*user_data_fs_, [this](const std::string& line) { overlay_.SendLog(line); });
    user_data_dir_ = dirs.Select();
    dirs.PurgeStale(user_data_dir_);
  }
  creating_ = true;
  std::weak_ptr<WebEnvironment*> link = link_;
  const HResult hr = runtime_->CreateEnvironment(
      user_data_dir_, kBrowserArguments, [link](HResult result, std::shared_ptr<IWebEnvironment> env) {
        auto environment = link.lock();
        if (environment && *environment) (*environment)->OnCreated(result, std::move(env));
      });
  if (Failed(hr)) {
    creating_ = false;
    const uint32_t elapsed = clock_.TickMs() - start_tick_;
    qos::Report(qos::EnvironmentEvent(hr, elapsed, "create_env"));
    overlay_.SendLog(HrForm("CreateCoreWebView2EnvironmentWithOptions", hr));
    NotifyOverlay(hr, elapsed, "create_env");
    return false;
  }
  return true;
}

void WebEnvironment::OnCreated(HResult hr, std::shared_ptr<IWebEnvironment> environment) {
  const uint32_t elapsed = clock_.TickMs() - start_tick_;
  qos::Report(qos::EnvironmentEvent(hr, elapsed, AvailableBrowserVersion()));
  creating_ = false;
  NotifyOverlay(hr, elapsed, nullptr);
  if (Succeeded(hr) && environment) {
    overlay_.SendLog("OnEnvironmentCreated success");
    environment_ = std::move(environment);  // the old environment (if any) goes only now
  } else {
    retry_tick_ = clock_.TickMs();
    if (retry_tick_ == 0) retry_tick_ = 1;
    overlay_.SendLog(HrForm("OnEnvironmentCreated failed", Succeeded(hr) ? kUnexpected : hr));
  }
  // Views waited for this outcome: they ask on the new environment, or, when a recreation failed,
  // on the one still held.
  if (environment_) client_.OnEnvironmentOutcome();
}

void WebEnvironment::NotifyOverlay(HResult hr, uint32_t cost_ms, const char* stage) {
  if (overlay_notified_) return;
  overlay_notified_ = true;
  const std::string version = AvailableBrowserVersion();
  const std::string stage_text = stage != nullptr ? stage : "";
  uint32_t result = 0;
  if (stage_text == "load_loader") {
    result = 1;
  } else if (stage_text == "resolve_export") {
    result = 2;
  } else if (Failed(hr) && version.empty()) {
    result = 3;
  }
  overlay_.SendLog(StringPrintf("NotifyOverlayWebView2Env result=%u hr=0x%s cost=%u ver=%s", result,
                                HrHex(hr).c_str(), cost_ms, version.c_str()));
  overlay_.SendEnvironmentNotice(host::EnvironmentResultMsg{result, hr, cost_ms, version});
}

bool WebEnvironment::Recreate(bool private_dir) {
  if (creating_) return false;
  if (private_dir) {
    if (!SwitchToPrivateUserDataDir()) return false;
  } else {
    if (recreate_budget_ < 1) return false;
    --recreate_budget_;
  }
  overlay_.SendLog(private_dir ? "WebView2 environment recreate begin (private user data dir)"
                               : "WebView2 environment recreate begin");
  // The held environment stays until the new one has arrived (OnCreated swaps).
  if (Create()) return true;
  overlay_.SendLog("WebView2 environment recreate failed to start");
  return false;
}

void WebEnvironment::RecreateAfterBrowserExit() {
  // Every view of the environment reports the same exit: the first one starts a new environment
  // (not counted against the recreation budget, which is for environments that fail to work).
  if (!environment_ || creating_) return;
  overlay_.SendLog("WebView2 browser process exited, environment recreate begin");
  environment_.reset();
  if (!Create()) overlay_.SendLog("WebView2 environment recreate failed to start");
}

bool WebEnvironment::RetryDue(uint32_t now, uint32_t delay_ms) {
  if (environment_ || creating_ || now - retry_tick_ < delay_ms) return false;
  retry_tick_ = now == 0 ? 1 : now;
  return true;
}

bool WebEnvironment::SwitchToPrivateUserDataDir() {
  if (using_private_dir_ || user_data_dir_.empty() || !user_data_fs_) return false;
  UserDataDirectories dirs(*user_data_fs_, [this](const std::string& line) { overlay_.SendLog(line); });
  const std::optional<std::u16string> candidate = dirs.PrivateCandidate(user_data_dir_);
  if (!candidate) return false;
  user_data_dir_ = *candidate;
  using_private_dir_ = true;
  private_dir_requested_ = false;
  client_.OnPrivateUserDataDir();
  return true;
}

}  // namespace vyo::web
