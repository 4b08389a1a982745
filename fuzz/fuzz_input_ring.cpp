// The input ring as an overlay may leave it: arbitrary bytes as the ring's memory (indices and
// records), drained by the host's ring reader into the input router, which sends pointer input,
// keys and text to fake web views. The application object is made once; every
// input replaces the whole ring.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fakes/fake_pipe.h"
#include "fakes/fake_web_runtime.h"
#include "fakes/manual_clock.h"
#include "fakes/test_backends.h"
#include "host/app.h"
#include "protocol/shared_memory_layout.h"
#include "shared_channels/channels.h"

namespace {

using namespace vyo;

struct Host {
  testing::ManualClock clock;
  std::unique_ptr<host::WebViewHostApp> app;
  std::vector<uint8_t> ring = std::vector<uint8_t>(host::kInputRingSize);

  Host() {
    app = std::make_unique<host::WebViewHostApp>(clock, testing::TestBackends());
    app->overlay().Attach(std::make_unique<testing::FakePipe>());
    // Web views 1 to 3 (one of them zoomed), and nothing under other ids.
    for (uint32_t id = 1; id <= 3; ++id) {
      app->view_service().EnsureView(id, 200, 100, true, u"");
      auto wv = std::make_shared<testing::FakeWebView>();
      web::ViewWebState& web = *app->web().Find(id);
      web.webview = wv;
      if (id == 3) web.zoom_factor = 1.5;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Host* host = new Host();  // lives for the whole run
  std::vector<uint8_t>& ring = host->ring;
  // The input lays out the ring from its start (indices first); the rest of the ring is zero.
  std::memset(ring.data(), 0, ring.size());
  std::memcpy(ring.data(), data, size < ring.size() ? size : ring.size());
  host::InputRing reader(ring.data());
  host->app->input().BeginInputStage();
  bool more = false, corrupt = false;
  reader.Drain([&](const host::InputRecord& record) { host->app->input().OnInputRecord(record); }, &more, &corrupt);
  host->app->input().OnDrainEnd();
  host->app->input().FlushPendingPointerMoves();
  host->clock.AdvanceMs(16);
  return 0;
}
