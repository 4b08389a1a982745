// The application object over a fake pipe and a manual clock, without the rest of initialisation,
// with helpers that read back what it sent to the overlay.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_pipe.h"
#include "fakes/manual_clock.h"
#include "host/app.h"

namespace vyo::testing {

struct AppHarness : ::testing::Test {
  ManualClock clock;
  std::unique_ptr<host::WebViewHostApp> app = std::make_unique<host::WebViewHostApp>(clock);
  FakePipe* pipe = nullptr;

  void ConnectPipe() {
    auto owned = std::make_unique<FakePipe>();
    pipe = owned.get();
    app->AttachPipeForTesting(std::move(owned));
  }
  // Host messages written so far (after the writer has caught up).
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Sent() {
    app->pipe_writer()->WaitUntilIdle(5000);
    return WrittenFrames(*pipe);
  }
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Sent(uint32_t type) {
    auto all = Sent();
    all.erase(std::remove_if(all.begin(), all.end(), [&](const auto& f) { return f.first != type; }), all.end());
    return all;
  }
  std::vector<std::string> Logs() {
    std::vector<std::string> logs;
    for (auto& [type, payload] : Sent(host::kHostLog)) logs.emplace_back(payload.begin(), payload.end());
    return logs;
  }
  bool Logged(const std::string& line) {
    const auto logs = Logs();
    return std::find(logs.begin(), logs.end(), line) != logs.end();
  }
  host::ViewState View(uint32_t id) { return app->SnapshotView(id).value(); }
};

}  // namespace vyo::testing
