// The capture service over a fake capture port, a fake GPU, a fake pipe and the manual clock, as
// the capture tests set it up: what the service sends, and the texture it last made.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/lock_checks.h"
#include "base/text.h"
#include "capture/capture_service.h"
#include "fakes/fake_capture.h"
#include "fakes/fake_gpu.h"
#include "fakes/fake_main_wait.h"
#include "fakes/fake_pipe.h"
#include "fakes/manual_clock.h"
#include "fakes/view_registry_access.h"
#include "platform/process.h"
#include "protocol/protocol.h"

namespace vyo::capture {

// What each view shows, as the tests set it (none unless set).
struct FakeViewContent final : ICaptureDelegate {
  std::map<uint32_t, ViewContent> views;
  ViewContent ContentOf(uint32_t view_id) override {
    auto it = views.find(view_id);
    return it == views.end() ? ViewContent{} : it->second;
  }
};

struct CaptureFixture : ::testing::Test {
  // `tag` names the pipe (and so the DirtyMaps and hit masks) of this fixture's tests.
  explicit CaptureFixture(const char* tag)
      : pipe_name(Utf8ToUtf16(std::string(tag) + "." + std::to_string(platform::CurrentProcessId()))) {}

  testing::ManualClock clock;
  host::HostSettings settings;
  host::ViewRegistry views;
  host::OverlayChannel overlay{clock};
  host::MainThread main_thread;
  FakeViewContent content;
  testing::FakeGpuDevice gpu;
  platform::GpuDevice* gpu_in_use = &gpu;  // the device the service makes its textures on
  testing::FakeCapturePort* port = nullptr;
  testing::FakeMainWait* wait = nullptr;
  testing::FakePipe* pipe = nullptr;
  std::u16string pipe_name;
  std::unique_ptr<CaptureService> service;

  void SetUp() override {
    auto w = std::make_unique<testing::FakeMainWait>(clock);
    wait = w.get();
    main_thread.Attach(std::move(w));
    auto p = std::make_unique<testing::FakePipe>();
    pipe = p.get();
    overlay.Attach(std::move(p));
    Make({});
  }
  // The service over this fixture's fakes, with the cell analyzers given (the CPU one if none).
  void Make(CellAnalyzerFactory analyzers) {
    if (service) service->Shutdown();
    CaptureEngines engines;
    engines.gpu = [this] { return gpu_in_use; };
    auto cp = std::make_unique<testing::FakeCapturePort>();
    port = cp.get();
    engines.port = std::move(cp);
    engines.decode = &testing::FakeDecode;
    if (analyzers) engines.analyzers = std::move(analyzers);
    service = std::make_unique<CaptureService>(clock, settings, views, overlay, main_thread, content, std::move(engines));
    service->SetPipeName(pipe_name);
  }
  void TearDown() override {
    EXPECT_EQ(RegistryLockViolations(), 0u);  // no texture, copy or analysis under the registry's lock
    service->Shutdown();
    host::ViewRegistryTestAccess::RemoveAllViews(views);
    main_thread.Detach();
  }

  // Every frame written to the pipe so far.
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Sent() {
    overlay.writer()->WaitUntilIdle(5000);
    return testing::WrittenFrames(*pipe);
  }
  std::vector<std::string> Logs() {
    std::vector<std::string> out;
    for (auto& [type, payload] : Sent())
      if (type == host::kHostLog) out.emplace_back(payload.begin(), payload.end());
    return out;
  }
  bool Logged(const std::string& line) {
    const auto logs = Logs();
    return std::find(logs.begin(), logs.end(), line) != logs.end();
  }
  testing::FakeTexture& Tex() { return *gpu.textures.back(); }
  // The capture fields of a view the service knows.
  ViewCaptureState& Cap(uint32_t id) { return *service->Find(id); }
};

}  // namespace vyo::capture
