// The capture service over a fake capture port, a fake GPU and the manual clock: what reaches the
// texture and the DirtyMap, parking, holds, clears, resize settling, supervision and shutdown.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.h"
#include "capture/capture_fixture.h"
#include "fakes/fake_cell_analyzer.h"
#include "fakes/fake_web_runtime.h"
#include "platform/process.h"
#include "protocol/protocol.h"
#include "protocol/hit_mask_layout.h"
#include "protocol/texture_layout.h"
#include "protocol/wire.h"

namespace vyo::capture {
namespace {

using testing::FakeImage;

struct CaptureServiceTest : CaptureFixture {
  CaptureServiceTest() : CaptureFixture("captest") {}
  std::shared_ptr<testing::FakeWebView> webview = std::make_shared<testing::FakeWebView>();

  void AddView(uint32_t id, int32_t w, int32_t h, bool visible = true) {
    {
      std::lock_guard<host::ViewsLock> guard(views.lock());
      host::ViewState& v = host::ViewRegistryTestAccess::GetOrCreateLocked(views, id);
      v.width = w;
      v.height = h;
      v.visible = visible;
    }
    content.views[id].content = webview.get();
    service->OnViewCreated(id);
  }
  // The overlay reads whatever was published and gives the key back.
  bool OverlayReads() {
    if (!Tex().OverlayAcquire()) return false;
    Tex().OverlayRelease();
    return true;
  }
  // One main-loop pass: posted frames, then the capture stage.
  void Loop() {
    wait->PumpMessages(1000, 0);
    service->ServiceCaptures();
  }
  void Deliver(uint8_t r, uint8_t g, uint8_t b, uint8_t a, int32_t w = 64, int32_t h = 32) {
    ASSERT_NE(port->Current(), nullptr);
    port->Current()->Deliver(FakeImage(w, h, r, g, b, a));
    wait->PumpMessages(1000, 0);
  }
  host::DirtyUpdate Dirty(uint32_t id) {
    auto map = platform::SharedMemory::OpenExisting(host::DirtyMapName(pipe_name, id), host::kDirtyMapSize,
                                                    platform::MapAccess::kRead);
    return map ? host::ReadDirty(map->data()) : host::DirtyUpdate{0xFFFFFFFF};
  }
  uint32_t PixelBgra(int32_t x, int32_t y) {
    const uint8_t* p = Tex().pixels.data() + (size_t(y) * Tex().width + x) * 4;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  }
  std::vector<host::SharedTextureReadyMsg> Announced() {
    std::vector<host::SharedTextureReadyMsg> out;
    for (auto& [type, payload] : Sent())
      if (type == host::kSharedTextureReady) out.push_back(*host::DecodeSharedTextureReady(payload));
    return out;
  }
  // A started view whose blank clear the overlay has read.
  void StartedView(int32_t rate = 60) {
    AddView(1, 64, 32);
    views.With(1, [&](host::ViewState* v) { v->frame_rate = rate; });
    Loop();
    ASSERT_TRUE(OverlayReads());
  }
  void Set(const std::function<void(host::ViewState&)>& f) {
    views.With(1, [&](host::ViewState* v) { f(*v); });
  }
};

TEST_F(CaptureServiceTest, AViewGetsItsTextureAndASessionAndFramesArrivePremultipliedWithTheirDirtyBlock) {
  AddView(1, 64, 32);
  ASSERT_EQ(Announced().size(), 1u);
  EXPECT_EQ(Announced()[0].width, 64u);
  EXPECT_EQ(Announced()[0].format, 87u);
  EXPECT_EQ(Announced()[0].shared_handle, Tex().handle);
  EXPECT_EQ(Dirty(1).seq, 0u);
  EXPECT_EQ(Dirty(1).full, 1u);
  Loop();
  ASSERT_EQ(port->started.size(), 1u);
  EXPECT_EQ(port->started[0].source, CaptureSource::kVisual);
  EXPECT_EQ(port->started[0].width, 64);
  EXPECT_TRUE(Logged("GraphicsCapture started from visual, view_id=1"));
  // Before any content the texture is cleared once, described as a full update.
  EXPECT_EQ(Tex().clears, 1);
  EXPECT_EQ(Dirty(1).seq, 1u);
  ASSERT_TRUE(OverlayReads());
  // A screencast frame is premultiplied RGBA: only red and blue change places.
  Deliver(200, 100, 50, 64);
  EXPECT_EQ(PixelBgra(10, 10), 0x32'64'C8'40u);
  const host::DirtyUpdate d = Dirty(1);
  EXPECT_EQ(d.seq, 2u);
  EXPECT_EQ(d.full, 1u);
  EXPECT_EQ(d.w, 64);
  EXPECT_EQ(d.h, 32);
  EXPECT_EQ(Tex().key_word, host::kOverlayKey);  // released to the overlay
  EXPECT_EQ(port->Current()->outstanding(), 0);  // back to the pool
  overlay.FlushWorkerLogs();
  EXPECT_TRUE(Logged("GraphicsCapture frame copied, view_id=1"));
  EXPECT_EQ(service->TakeFirstFrameViews(), std::vector<uint32_t>{1});
}

TEST_F(CaptureServiceTest, TheLastFrameOfAChangeIsParkedWhileTheOverlayHoldsTheKeyAndPublishedAfter) {
  StartedView();
  Deliver(10, 0, 0, 255);
  // The overlay takes the key and keeps it: two more frames come, the newest is kept.
  ASSERT_TRUE(Tex().OverlayAcquire());
  clock.AdvanceMs(20);
  Deliver(20, 0, 0, 255);
  Deliver(30, 0, 0, 255);
  EXPECT_EQ(port->Current()->outstanding(), 1);  // the older of the two went back
  Loop();
  EXPECT_EQ(PixelBgra(0, 0) >> 8 & 0xFF, 10u);  // nothing published meanwhile
  Tex().OverlayRelease();
  clock.AdvanceMs(20);
  Loop();
  EXPECT_EQ(PixelBgra(0, 0) >> 8 & 0xFF, 30u);
  EXPECT_EQ(port->Current()->outstanding(), 0);
}

TEST_F(CaptureServiceTest, AFrameRefusedByThePacerIsPublishedWhenItsSlotComes) {
  StartedView(/*rate=*/10);
  Deliver(10, 0, 0, 255);
  ASSERT_TRUE(OverlayReads());
  clock.AdvanceMs(20);
  Deliver(20, 0, 0, 255);  // 20 ms after the last: too early at 10 fps
  EXPECT_EQ(PixelBgra(0, 0) >> 8 & 0xFF, 10u);
  clock.AdvanceMs(50);
  Loop();
  EXPECT_EQ(PixelBgra(0, 0) >> 8 & 0xFF, 10u);
  clock.AdvanceMs(40);
  Loop();
  EXPECT_EQ(PixelBgra(0, 0) >> 8 & 0xFF, 20u);
}

TEST_F(CaptureServiceTest, HeldFramesStopAtThreeAndTheNewestIsPublishedOnRelease) {
  StartedView();
  service->HoldViewFrames(1, clock.TickMs() + 100);
  for (uint8_t c : {1, 2, 3, 4}) Deliver(c, 0, 0, 255);
  EXPECT_EQ(port->Current()->outstanding(), 3);  // the fourth was dropped
  Loop();
  EXPECT_EQ(Tex().copies.size(), 0u);
  clock.AdvanceMs(100);
  Loop();
  ASSERT_EQ(Tex().copies.size(), 1u);
  EXPECT_EQ(PixelBgra(0, 0) >> 8 & 0xFF, 3u);  // the newest held frame, not dropped
  EXPECT_EQ(port->Current()->outstanding(), 0);
  // Holding every view: frames wait until the hold ends.
  ASSERT_TRUE(OverlayReads());
  service->SetHoldAllFrames(true);
  Deliver(9, 0, 0, 255);
  Loop();
  EXPECT_EQ(Tex().copies.size(), 1u);
  service->SetHoldAllFrames(false);
  clock.AdvanceMs(20);  // the released frame waits for its slot
  Loop();
  EXPECT_EQ(PixelBgra(0, 0) >> 8 & 0xFF, 9u);
}

TEST_F(CaptureServiceTest, AClearThatCannotTakeTheKeyIsRetriedAndOnlyThenCounts) {
  AddView(1, 64, 32);
  Tex().key_word = host::kKeyHeld;  // the overlay holds it
  Loop();
  EXPECT_EQ(Tex().clears, 0);
  EXPECT_FALSE(Cap(1).blank_cleared);
  EXPECT_EQ(Dirty(1).seq, 0u);
  Tex().key_word = host::kHostKey;
  Loop();
  EXPECT_EQ(Tex().clears, 1);
  EXPECT_TRUE(Cap(1).blank_cleared);
  EXPECT_EQ(Dirty(1).seq, 1u);
  ASSERT_TRUE(OverlayReads());
  Loop();
  EXPECT_EQ(Tex().clears, 1);  // once
}

TEST_F(CaptureServiceTest, ResizeAnnouncesANewTextureRestartsAtTheNewSizeAndSettlesAfterAKick) {
  StartedView();
  Deliver(1, 2, 3, 255);
  Set([](host::ViewState& v) { v.width = 80, v.height = 40; });
  service->OnViewResized(1);
  ASSERT_EQ(gpu.textures.size(), 2u);
  ASSERT_EQ(Announced().size(), 2u);
  EXPECT_EQ(Announced()[1].width, 80u);
  EXPECT_EQ(Announced()[1].height, 40u);
  EXPECT_TRUE(Logged("view resized in place, view_id=1"));
  ASSERT_EQ(port->started.size(), 2u);
  EXPECT_EQ(port->started[1].width, 80);
  Loop();  // first kick at once, then at least 200 ms apart
  EXPECT_EQ(port->Current()->kicks, 1);
  clock.AdvanceMs(100);
  Loop();
  EXPECT_EQ(port->Current()->kicks, 1);
  clock.AdvanceMs(100);
  Loop();
  EXPECT_EQ(port->Current()->kicks, 2);
  // A frame of the old size is not published; one of the new size settles the resize.
  Deliver(5, 0, 0, 255, 64, 32);
  EXPECT_EQ(Tex().copies.size(), 0u);
  Deliver(6, 0, 0, 255, 80, 40);
  ASSERT_EQ(Tex().copies.size(), 1u);
  overlay.FlushWorkerLogs();
  EXPECT_TRUE(Logged("resize frame settled, view_id=1"));
  EXPECT_FALSE(Cap(1).resize_settling);
  clock.AdvanceMs(1000);
  Loop();
  EXPECT_EQ(port->Current()->kicks, 2);  // no more kicks once settled
}

TEST_F(CaptureServiceTest, ASilentVisualSessionIsRebuiltThenReplacedByTheWindowSourceWhoseFramesArePremultiplied) {
  AddView(1, 64, 32);
  Loop();
  ASSERT_TRUE(OverlayReads());
  ASSERT_EQ(port->started.size(), 1u);
  for (int i = 0; i < 80; ++i) {
    clock.AdvanceMs(100);
    Loop();
  }
  ASSERT_EQ(port->started.size(), 2u);  // rebuilt after 8 s
  EXPECT_EQ(port->started[1].source, CaptureSource::kVisual);
  EXPECT_TRUE(Logged("Visual capture produced no frame, rebuild session, view_id=1"));
  for (int i = 0; i < 80; ++i) {
    clock.AdvanceMs(100);
    Loop();
  }
  ASSERT_EQ(port->started.size(), 3u);
  EXPECT_EQ(port->started[2].source, CaptureSource::kWindow);
  EXPECT_TRUE(Logged("Visual capture produced no frame, fall back to window capture, view_id=1"));
  EXPECT_TRUE(Logged("GraphicsCapture started from window, view_id=1"));
  Deliver(200, 100, 50, 64);  // straight alpha
  EXPECT_EQ(PixelBgra(0, 0), 0x0D'19'32'40u);
}

TEST_F(CaptureServiceTest, FramesOfAnEndedSessionAndFramesAfterShutdownGoNowhere) {
  StartedView();
  testing::FakeCaptureSession* first = port->Current();
  first->Deliver(FakeImage(64, 32, 1, 1, 1, 255));  // posted, not yet run
  first->End();  // the page went away: the session is rebuilt
  service->ServiceCaptures();
  wait->PumpMessages(1000, 0);
  ASSERT_EQ(port->started.size(), 2u);
  EXPECT_TRUE(Logged("capture source ended, rebuild session, view_id=1"));
  Loop();
  EXPECT_EQ(Tex().copies.size(), 0u);  // the old session's frame was dropped
  port->Current()->Deliver(FakeImage(64, 32, 2, 2, 2, 255));
  service->Shutdown();
  wait->PumpMessages(1000, 0);
  EXPECT_EQ(Tex().copies.size(), 0u);
}

TEST_F(CaptureServiceTest, AHiddenViewIsNotCapturedUntilShownAndAClosedViewUnlinksItsObjects) {
  AddView(1, 64, 32, /*visible=*/false);
  Loop();
  EXPECT_TRUE(port->started.empty());
  Set([](host::ViewState& v) { v.visible = true; });
  Loop();
  ASSERT_EQ(port->started.size(), 1u);
  Set([](host::ViewState& v) { v.visible = false; });
  Loop();
  EXPECT_EQ(port->Current(), nullptr);  // stopped while hidden
  service->OnViewClosing(1);
  EXPECT_EQ(Dirty(1).seq, 0xFFFFFFFFu);  // the DirtyMap's name is gone
}

TEST_F(CaptureServiceTest, ModesForceWholeFramesAndLiveModeLeavesATailThatIsNotExtendedTwice) {
  StartedView();
  // The page reports its changes: unreported frames are skipped.
  Cap(1).dirty.dirty_info_available = true;
  Cap(1).last_full_tick = clock.TickMs();
  Deliver(1, 0, 0, 255);  // force_full from creation: full
  ASSERT_TRUE(OverlayReads());
  clock.AdvanceMs(20);
  Deliver(2, 0, 0, 255);
  EXPECT_EQ(Tex().copies.size(), 1u);
  service->SetLiveMode(1, true);
  clock.AdvanceMs(20);
  Deliver(3, 0, 0, 255);
  EXPECT_EQ(Tex().copies.size(), 2u);
  ASSERT_TRUE(OverlayReads());
  const uint32_t off_at = clock.TickMs();
  service->SetLiveMode(1, false);
  EXPECT_EQ(Cap(1).full_until, off_at + 3000);
  clock.AdvanceMs(1000);
  service->SetLiveMode(1, true);
  service->SetLiveMode(1, false);  // a second end a second later moves the tail to its own end
  EXPECT_EQ(Cap(1).full_until, off_at + 4000);
  service->RequestFullFrames(1, 500);  // an earlier deadline does not shorten it
  EXPECT_EQ(Cap(1).full_until, off_at + 4000);
  service->SetFullFrameMode(1, true);
  EXPECT_TRUE(Cap(1).full_frame_mode);
  service->SetFullFrameMode(1, false);
  EXPECT_TRUE(Cap(1).dirty.dirty_info_available);  // restored
}

}  // namespace
}  // namespace vyo::capture

namespace vyo::capture {
namespace {

// A frame for the fake decoder: transparent, with an opaque block (RGBA) in [x0, x1) x [y0, y1).
std::vector<uint8_t> BlockImage(int32_t w, int32_t h, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  std::vector<uint8_t> image = FakeImage(w, h, 0, 0, 0, 0);
  for (int32_t y = y0; y < y1; ++y) {
    for (int32_t x = x0; x < x1; ++x) {
      uint8_t* p = image.data() + 8 + (static_cast<size_t>(y) * w + x) * 4;
      p[0] = 255, p[1] = 0, p[2] = 0, p[3] = 255;  // opaque red
    }
  }
  return image;
}

TEST_F(CaptureServiceTest, AViewWithAHitMaskPublishesWhatTheAnalysisFindsAndLosesTheMaskWhenItStopsAsking) {
  AddView(1, 64, 32);
  views.With(1, [](host::ViewState* v) { v->frame_rate = 60; });
  service->SetHitTest(1, true, 128);
  const std::u16string name = host::HitMaskName(pipe_name, 1);
  auto block = platform::SharedMemory::OpenExisting(name, host::kHitMaskBlockSize, platform::MapAccess::kRead);
  ASSERT_NE(block, nullptr);
  overlay.FlushWorkerLogs();
  EXPECT_TRUE(Logged("hit mask created, view_id=1, grid=16x8, cell=4, threshold=128, alloc=2097184"));
  Loop();
  ASSERT_TRUE(OverlayReads());  // the blank clear, with an all-zero mask
  host::HitMaskView mask;
  ASSERT_TRUE(host::ReadHitMask(block->data(), &mask));
  EXPECT_EQ(mask.seq, Dirty(1).seq);

  // An opaque block over cells (2..3, 1..2): those cells are opaque, the rest not; the first
  // analysis publishes the whole view.
  port->Current()->Deliver(BlockImage(64, 32, 8, 4, 16, 12));
  wait->PumpMessages(1000, 0);
  ASSERT_TRUE(host::ReadHitMask(block->data(), &mask));
  EXPECT_EQ(mask.seq, Dirty(1).seq);
  EXPECT_EQ(Dirty(1).full, 1u);
  EXPECT_EQ(mask.threshold, 128u);
  for (uint32_t row = 0; row < 8; ++row) {
    for (uint32_t col = 0; col < 16; ++col) {
      EXPECT_EQ(mask.Opaque(col, row), col >= 2 && col < 4 && row >= 1 && row < 3) << col << "," << row;
    }
  }
  ASSERT_TRUE(OverlayReads());

  // The same picture again: nothing is published (the overlay's key stays with the host).
  const uint32_t seq = Dirty(1).seq;
  clock.AdvanceMs(20);
  port->Current()->Deliver(BlockImage(64, 32, 8, 4, 16, 12));
  wait->PumpMessages(1000, 0);
  EXPECT_EQ(Dirty(1).seq, seq);
  EXPECT_EQ(Tex().key_word, host::kHostKey);

  // The block moves right by 8 pixels: the changed cells (2..5, 1..2) are copied, and the mask
  // follows with the same update number. The page's own dirty reports play no part.
  clock.AdvanceMs(20);
  port->Current()->Deliver(BlockImage(64, 32, 16, 4, 24, 12));
  wait->PumpMessages(1000, 0);
  const host::DirtyUpdate d = Dirty(1);
  EXPECT_EQ(d.full, 0u);
  EXPECT_EQ((std::vector<int32_t>{d.x, d.y, d.w, d.h}), (std::vector<int32_t>{8, 4, 16, 8}));
  ASSERT_TRUE(host::ReadHitMask(block->data(), &mask));
  EXPECT_EQ(mask.seq, d.seq);
  EXPECT_FALSE(mask.Opaque(2, 1));
  EXPECT_TRUE(mask.Opaque(4, 1));
  EXPECT_EQ(PixelBgra(20, 8), 0x0000FFFFu);  // opaque red
  EXPECT_EQ(PixelBgra(10, 8), 0u);

  // Every view that needs a mask has one: the heartbeat says so, at most every 100 ms. (The writer
  // is let catch up after each step: a heartbeat still queued is replaced by a newer one.)
  service->ServiceCaptures();
  overlay.writer()->WaitUntilIdle(5000);
  clock.AdvanceMs(50);
  service->ServiceCaptures();
  overlay.writer()->WaitUntilIdle(5000);
  clock.AdvanceMs(60);
  service->ServiceCaptures();
  overlay.writer()->WaitUntilIdle(5000);
  std::vector<host::HitMaskHeartbeatMsg> beats;
  for (auto& [type, payload] : testing::WrittenFrames(*pipe))
    if (type == host::kHitMaskHeartbeat) beats.push_back(*host::DecodeHitMaskHeartbeat(payload));
  ASSERT_GE(beats.size(), 2u);
  EXPECT_EQ(beats.back().view_count, 1u);
  EXPECT_EQ(beats.back().period_ms, 100u);
  EXPECT_GE(beats.back().tick - beats[beats.size() - 2].tick, 100u);

  // Hit testing off: the mask goes (its name with it, once the overlay let go of it too).
  block.reset();
  service->SetHitTest(1, false, Cap(1).hit_alpha_threshold);
  EXPECT_EQ(platform::SharedMemory::OpenExisting(name, host::kHitMaskBlockSize, platform::MapAccess::kRead), nullptr);
  EXPECT_FALSE(Cap(1).hit_mask_ready);
}

TEST_F(CaptureServiceTest, AViewWithoutFramesSwitchesPreviewsOffOnceWhateverItsRate) {
  AddView(1, 64, 32);
  for (uint32_t rate : {0u, 1u, 60u, 30u}) {
    views.With(1, [&](host::ViewState* v) { v->frame_rate = rate; });
    for (int i = 0; i < 5; ++i) {
      clock.AdvanceMs(1100);
      Loop();
    }
  }
  overlay.FlushWorkerLogs();
  const auto logs = Logs();
  EXPECT_EQ(std::count(logs.begin(), logs.end(), "CapturePreview disabled on CompositionController, view_id=1"), 1);
  EXPECT_TRUE(Cap(1).preview_disabled);
}

TEST_F(CaptureServiceTest, AResizedViewGetsAFreshGridAndAClosedViewLosesItsMask) {
  AddView(1, 64, 32);
  service->SetHitTest(1, true, Cap(1).hit_alpha_threshold);
  views.With(1, [](host::ViewState* v) { v->width = 3000, v->height = 2000; });
  service->OnViewResized(1);
  auto block = platform::SharedMemory::OpenExisting(host::HitMaskName(pipe_name, 1), host::kHitMaskBlockSize,
                                                    platform::MapAccess::kRead);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(host::LoadU32(block->data() + host::kHitCols), 375u);
  EXPECT_EQ(host::LoadU32(block->data() + host::kHitRows), 250u);
  EXPECT_EQ(host::LoadU32(block->data() + host::kHitCell), 8u);
  EXPECT_EQ(host::LoadU32(block->data() + host::kHitSeq), 0u);
  block.reset();
  service->OnViewClosing(1);
  EXPECT_EQ(platform::SharedMemory::OpenExisting(host::HitMaskName(pipe_name, 1), host::kHitMaskBlockSize,
                                                 platform::MapAccess::kRead),
            nullptr);
}

TEST_F(CaptureServiceTest, APipelineThatKeepsFailingBacksOffWhileFramesStillReachTheTexture) {
  auto script = std::make_shared<testing::CellAnalyzerScript>();
  script->fail_configure = true;
  Make([script] { return std::make_unique<testing::FakeCellAnalyzer>(script); });
  StartedView();
  service->SetHitTest(1, true, Cap(1).hit_alpha_threshold);  // the first attempt
  Loop();                     // the second
  Loop();                     // the third: backing off from here
  EXPECT_EQ(script->configures, 3);
  for (int i = 0; i < 5; ++i) Loop();
  EXPECT_EQ(script->configures, 3);

  // Meanwhile frames are copied whole; the mask waits in state 0.
  clock.AdvanceMs(20);
  Deliver(0, 0, 255, 255);
  EXPECT_EQ(Dirty(1).full, 1u);
  EXPECT_EQ(PixelBgra(0, 0), 0xFF0000FFu);
  ASSERT_TRUE(OverlayReads());
  auto block = platform::SharedMemory::OpenExisting(host::HitMaskName(pipe_name, 1), host::kHitMaskBlockSize,
                                                    platform::MapAccess::kRead);
  ASSERT_NE(block, nullptr);
  host::HitMaskView mask;
  EXPECT_FALSE(host::ReadHitMask(block->data(), &mask));

  // Attempts after 1 s, then 2 s later, then 4 s later.
  const std::vector<std::pair<uint32_t, int>> steps = {{1000, 4}, {1000, 4}, {1000, 5}, {3000, 5}};
  for (const auto& [ms, configures] : steps) {
    clock.AdvanceMs(ms);
    Loop();
    EXPECT_EQ(script->configures, configures) << "after " << ms << " ms";
  }
  script->fail_configure = false;
  clock.AdvanceMs(1000);
  Loop();
  EXPECT_EQ(script->configures, 6);
  // The analysis publishes again: mask and DirtyMap with one update number.
  clock.AdvanceMs(20);
  Deliver(0, 0, 255, 255);
  service->ServiceCaptures();  // the read-back of the (asynchronous) analysis
  ASSERT_TRUE(host::ReadHitMask(block->data(), &mask));
  EXPECT_EQ(mask.seq, Dirty(1).seq);
  EXPECT_TRUE(mask.Opaque(0, 0));

  overlay.FlushWorkerLogs();
  const auto logs = Logs();
  const auto count = [&](const std::string& line) { return std::count(logs.begin(), logs.end(), line); };
  EXPECT_EQ(count("capture frame pipeline configure failed, view_id=1"), 1);
  EXPECT_EQ(count("capture frame analysis reconfigure failed, view_id=1"), 2);
  EXPECT_EQ(count("capture frame analysis keeps failing, view_id=1, failures=3, retry_ms=1000"), 1);
  EXPECT_EQ(count("capture frame analysis recovered, view_id=1"), 1);
}

TEST_F(CaptureServiceTest, ANavigatedViewWithAMaskPublishesItsNextFrameWhole) {
  StartedView();
  service->SetHitTest(1, true, Cap(1).hit_alpha_threshold);
  Deliver(0, 0, 255, 255);
  ASSERT_TRUE(OverlayReads());
  const uint32_t seq = Dirty(1).seq;
  // The same picture again is not published ...
  clock.AdvanceMs(20);
  Deliver(0, 0, 255, 255);
  EXPECT_EQ(Dirty(1).seq, seq);
  // ... but after a navigation it is, whole: the analysis starts over.
  service->OnViewNavigating(1);
  clock.AdvanceMs(20);
  Deliver(0, 0, 255, 255);
  EXPECT_EQ(Dirty(1).seq, seq + 1);
  EXPECT_EQ(Dirty(1).full, 1u);
}

}  // namespace
}  // namespace vyo::capture
