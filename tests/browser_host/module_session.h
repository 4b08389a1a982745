// Browser tests with one plug-in module that opens a packaged page: the site and the module
// configuration are written, the host is started with them, and host messages and the views'
// textures are read as an overlay reads them.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "base/text.h"
#include "browser_host/browser_test_files.h"
#include "overlay_sim.h"
#include "platform/process.h"

namespace vyo::testing {

struct ModuleSession : ::testing::Test {
  static constexpr uint32_t kWait = 30000;
  std::filesystem::path work;
  std::unique_ptr<sim::OverlaySim> s;

  // Writes `page` as a packaged site and a configuration in which the module at `module_path`
  // (named `name`) is given "url=" + the site. Skips where packages cannot be made (Wine: no raw
  // key agreement, and no browser either).
  void Prepare(const std::string& tag, const std::string& page, const std::string& module_path,
               const std::string& name) {
    work = std::filesystem::temp_directory_path() / ("vyo_" + tag + "_" + std::to_string(platform::CurrentProcessId()));
    std::filesystem::remove_all(work);
    WriteFile(work / "site" / "index.html", page);
    const std::u16string url = PackSite(work / "site", work / "site.pkg");
#if defined(_WIN32)
    if (url.empty()) GTEST_SKIP() << "content packages cannot be made here";
#endif
    ASSERT_FALSE(url.empty());
    WriteFile(work / "modules.ini",
              "[module]\npath=" + module_path + "\nconfig=url=" + Utf16ToUtf8(url) + "\nname=" + name + "\n");
  }
  // Starts the host with the configuration: nullopt when it did not start, else whether it has a
  // browser.
  std::optional<bool> Start(const char* tag) {
    s = sim::OverlaySim::Create(tag);
    if (!s) return std::nullopt;
    std::vector<std::u16string> args = s->HostArgs();
    args.push_back(u"--module-config");
    args.push_back((work / "modules.ini").u16string());
    if (!s->StartHost(sim::OverlaySim::DefaultHostPath(), args) || !s->Connect(kWait)) return std::nullopt;
    const auto env = Received(host::kEnvironmentResult);
    if (!env) return std::nullopt;
    return host::DecodeEnvironmentResult(env->payload)->result != 1;
  }
  void TearDown() override {
    if (s) {
      s->CloseConnection();
      s->WaitExit(kWait);
    }
    if (!work.empty()) std::filesystem::remove_all(work);
  }
  // The first message of `type`, among those already received or arriving within the wait.
  std::optional<sim::HostMessage> Received(uint32_t type) {
    for (const auto& m : s->received()) {
      if (m.type == type) return m;
    }
    return s->WaitFor(type, kWait);
  }
  // Reads host messages and the views' textures (taking each frame and handing the texture back)
  // until `done` holds.
  bool PumpUntil(const std::function<bool()>& done, uint32_t timeout_ms = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      while (s->Next(0)) {
      }
      s->surface().Poll(false);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }
  bool HasOutput(const std::string& text) {
    for (const auto& m : s->received()) {
      if (m.type != host::kModuleOutput) continue;
      const auto out = host::DecodeModuleOutput(m.payload);
      if (out && out->text == text) return true;
    }
    return false;
  }
  bool WaitOutput(const std::string& text) { return PumpUntil([&] { return HasOutput(text); }); }
};

}  // namespace vyo::testing
