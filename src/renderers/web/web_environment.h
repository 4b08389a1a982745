// WebEnvironment: the web runtime's loader and the one shared environment of the host. It loads the
// runtime, chooses the user data directory, creates the environment (telling the overlay once how
// the first attempt went), recreates it within its budget or in a private directory, and replaces
// it after the browser process exited. The web view manager asks it for the environment when a view
// needs a controller and is told when an attempt has an outcome.
//
// Main thread only. Answers of the runtime that arrive after Shutdown do nothing.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "renderers/web/user_data_dir.h"
#include "renderers/web/web_runtime.h"

namespace vyo::web {

// What the environment tells the web view manager (main thread).
class IWebEnvironmentClient {
 public:
  virtual ~IWebEnvironmentClient() = default;
  // An environment creation ended (a new environment, or a failure with the old one still held):
  // views that wait for a controller may ask now.
  virtual void OnEnvironmentOutcome() = 0;
  // The user data directory changed to a private one: views that gave up may try again.
  virtual void OnPrivateUserDataDir() = 0;
};

class WebEnvironment {
 public:
  WebEnvironment(platform::Clock& clock, host::OverlayChannel& overlay, IWebEnvironmentClient& client);
  ~WebEnvironment();
  WebEnvironment(const WebEnvironment&) = delete;
  WebEnvironment& operator=(const WebEnvironment&) = delete;

  // The runtime and file system used from Load on; the composition root chooses them.
  void SetRuntime(std::unique_ptr<IWebRuntime> runtime, std::unique_ptr<IUserDataFs> fs);
  // Loads the runtime and starts creating the environment; a failure is reported to the overlay.
  bool Load();
  // A new environment (the held one stays until it arrives): within the recreation budget, or in a
  // private user data directory.
  bool Recreate(bool private_dir);
  // After the browser process exited: a new environment, not counted against the budget.
  void RecreateAfterBrowserExit();
  // When no environment is held, whether a new attempt is due (at most every `delay_ms`).
  bool RetryDue(uint32_t now, uint32_t delay_ms);
  // The runtime's answer that the profile is held elsewhere: the next recreation goes private.
  void NoteProfileInUse() {
    if (!using_private_dir_) private_dir_requested_ = true;
  }
  // Late answers find the environment gone; the environment and the runtime go.
  void Shutdown();

  std::string AvailableBrowserVersion();
  const std::shared_ptr<IWebEnvironment>& environment() const { return environment_; }
  bool creating() const { return creating_; }
  const std::u16string& user_data_dir() const { return user_data_dir_; }
  bool using_private_dir() const { return using_private_dir_; }
  bool private_dir_requested() const { return private_dir_requested_; }
  int32_t recreate_budget() const { return recreate_budget_; }

 private:
  bool Create();
  void OnCreated(HResult hr, std::shared_ptr<IWebEnvironment> environment);
  void ReportLoaderFailure(const char* stage);
  void NotifyOverlay(HResult hr, uint32_t cost_ms, const char* stage);
  bool SwitchToPrivateUserDataDir();

  platform::Clock& clock_;
  host::OverlayChannel& overlay_;
  IWebEnvironmentClient& client_;
  // What the runtime's callbacks hold: cleared by Shutdown.
  std::shared_ptr<WebEnvironment*> link_;
  std::unique_ptr<IWebRuntime> runtime_;
  std::unique_ptr<IUserDataFs> user_data_fs_;
  bool loader_loaded_ = false;
  std::shared_ptr<IWebEnvironment> environment_;
  bool creating_ = false;
  int32_t recreate_budget_ = 1;
  uint32_t retry_tick_ = 0;
  uint32_t start_tick_ = 0;
  bool overlay_notified_ = false;
  bool private_dir_requested_ = false;
  std::u16string user_data_dir_;
  bool using_private_dir_ = false;
};

}  // namespace vyo::web
