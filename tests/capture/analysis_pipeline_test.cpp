// The analysis pipeline's states over a scripted analyzer and an in-memory texture: submission and
// a read-back that may be busy, publication under the keyed mutex (kept when the overlay holds
// it), pacing, failures, resets and the windowed form that writes only the mask.
#include <gtest/gtest.h>

#include "capture/analysis_pipeline.h"
#include "capture/decoded_frame.h"
#include "fakes/fake_cell_analyzer.h"
#include "fakes/fake_gpu.h"
#include "protocol/hit_mask_layout.h"
#include "protocol/texture_layout.h"
#include "protocol/wire.h"

namespace vyo::capture {
namespace {

using Kind = PipelineOutcome::Kind;
constexpr int64_t kFrequency = 1000000;  // performance counter: microseconds

std::shared_ptr<DecodedFrame> Frame(int32_t w, int32_t h, uint8_t alpha, int32_t block_x = -1) {
  auto f = std::make_shared<DecodedFrame>();
  f->width = w, f->height = h;
  f->bgra.assign(size_t(w) * h * 4, 0);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      // The whole frame at `alpha`, or one opaque 4 x 4 block at (block_x, 0).
      const bool on = block_x < 0 || (x >= block_x && x < block_x + 4 && y < 4);
      if (on) f->bgra[(size_t(y) * w + x) * 4 + 3] = block_x < 0 ? alpha : 255;
    }
  }
  return f;
}

struct PipelineTest : ::testing::Test {
  std::shared_ptr<testing::CellAnalyzerScript> script = std::make_shared<testing::CellAnalyzerScript>();
  testing::FakeTexture texture{64, 32, 1};
  std::vector<uint8_t> dirty = std::vector<uint8_t>(host::kDirtyMapSize);
  std::vector<uint8_t> mask = std::vector<uint8_t>(host::kHitMaskBlockSize);
  uint32_t hit_seq = 0;
  const host::HitGrid grid = host::GridFor(64, 32);
  AnalysisPipeline pipeline{std::make_unique<testing::FakeCellAnalyzer>(script), kFrequency};
  int64_t perf = 5 * kFrequency;
  uint32_t now = 5000;

  void SetUp() override {
    host::ResetDirtyMap(dirty.data());
    host::InitHitMaskHeader(mask.data(), grid, 32);
    ASSERT_TRUE(pipeline.Configure(grid, 64, 32));
  }
  PipelineOutcome Tick(bool windowed = false, uint32_t rate = 60) {
    PipelineTarget t;
    if (!windowed) {
      t.texture = &texture;
      t.dirty_map = dirty.data();
    }
    t.hit_mask = mask.data();
    t.hit_seq = &hit_seq;
    t.rate = rate;
    t.perf_now = perf;
    t.now = now;
    return pipeline.Tick(t);
  }
  void Advance(uint32_t ms) {
    now += ms;
    perf += int64_t{ms} * 1000;
  }
  host::HitMaskView Mask() {
    host::HitMaskView v;
    EXPECT_TRUE(host::ReadHitMask(mask.data(), &v));
    return v;
  }
  size_t Released() {
    std::vector<std::shared_ptr<DecodedFrame>> out;
    pipeline.TakeReleased(&out);
    return out.size();
  }
};

TEST_F(PipelineTest, ABusyReadBackKeepsTheSubmissionAndABusyMutexKeepsTheResult) {
  script->busy_reads = 2;
  pipeline.TakeFrame(Frame(64, 32, 200));
  EXPECT_TRUE(pipeline.HasWork());
  EXPECT_EQ(Tick().kind, Kind::kBusy);  // submitted
  EXPECT_EQ(Tick().kind, Kind::kBusy);  // read: still drawing
  EXPECT_EQ(Tick().kind, Kind::kBusy);
  texture.key_word = host::kKeyHeld;    // the overlay is drawing the texture
  EXPECT_EQ(Tick().kind, Kind::kMutexBusy);
  EXPECT_EQ(Tick().kind, Kind::kMutexBusy);
  EXPECT_EQ(script->submits, 1);        // nothing was analysed twice, nothing lost
  texture.key_word = host::kHostKey;
  const PipelineOutcome out = Tick();
  ASSERT_EQ(out.kind, Kind::kPublished);
  EXPECT_EQ(out.plan.kind, FrameAnalysis::Plan::kFull);  // the first analysis is whole
  EXPECT_EQ(texture.key_word, host::kOverlayKey);
  EXPECT_EQ(texture.pixels[3], 200);
  // The DirtyMap and the mask carry one update number; the mask holds the cells' alpha.
  const host::DirtyUpdate d = host::ReadDirty(dirty.data());
  EXPECT_EQ(d.seq, out.seq);
  EXPECT_EQ(d.full, 1u);
  EXPECT_EQ(Mask().seq, out.seq);
  EXPECT_EQ(hit_seq, out.seq);
  EXPECT_TRUE(Mask().Opaque(15, 7));
  EXPECT_FALSE(pipeline.HasWork());
  EXPECT_EQ(Released(), 1u);
}

TEST_F(PipelineTest, OnlyTheChangedCellsAreCopiedAndAnUnchangedFrameIsNotPublished) {
  // Each step: 20 ms (or more) later the overlay has drawn, a frame is submitted and read back.
  const auto analysed = [&](std::shared_ptr<DecodedFrame> frame, uint32_t ms = 20) {
    texture.OverlayAcquire(), texture.OverlayRelease();
    Advance(ms);
    pipeline.TakeFrame(std::move(frame));
    EXPECT_EQ(Tick().kind, Kind::kBusy);
    return Tick();
  };
  ASSERT_EQ(analysed(Frame(64, 32, 0, 8)).kind, Kind::kPublished);
  EXPECT_EQ(analysed(Frame(64, 32, 0, 8)).kind, Kind::kUnchanged);
  EXPECT_EQ(texture.copies.size(), 1u);
  // The block moves from cell 2 to cell 5: the rectangle spans both.
  const PipelineOutcome moved = analysed(Frame(64, 32, 0, 20));
  ASSERT_EQ(moved.kind, Kind::kPublished);
  EXPECT_EQ(moved.plan.kind, FrameAnalysis::Plan::kPartial);
  EXPECT_EQ((std::vector<int32_t>{moved.plan.left, moved.plan.top, moved.plan.right, moved.plan.bottom}),
            (std::vector<int32_t>{8, 0, 24, 4}));
  EXPECT_FALSE(Mask().Opaque(2, 0));
  EXPECT_TRUE(Mask().Opaque(5, 0));
  // A second after the last whole publication, an unchanged frame is published whole.
  const PipelineOutcome refresh = analysed(Frame(64, 32, 0, 20), 1000);
  ASSERT_EQ(refresh.kind, Kind::kPublished);
  EXPECT_EQ(refresh.plan.kind, FrameAnalysis::Plan::kFull);
}

TEST_F(PipelineTest, ANewerFrameReplacesThePendingOneAndPacingHoldsItUntilItsSlot) {
  script->synchronous = true;
  pipeline.TakeFrame(Frame(64, 32, 10));
  pipeline.TakeFrame(Frame(64, 32, 20));
  EXPECT_EQ(Released(), 1u);  // the older pending frame, unanalysed
  EXPECT_EQ(Tick(false, 10).kind, Kind::kPublished);  // forced after configuration: no pacing
  EXPECT_EQ(texture.pixels[3], 20);
  texture.OverlayAcquire(), texture.OverlayRelease();
  // At 10 frames per second the next frame waits 100 ms from the schedule's start.
  pipeline.TakeFrame(Frame(64, 32, 30));
  EXPECT_EQ(Tick(false, 10).kind, Kind::kPublished);  // the first paced frame starts the schedule
  texture.OverlayAcquire(), texture.OverlayRelease();
  pipeline.TakeFrame(Frame(64, 32, 40));
  Advance(50);
  EXPECT_EQ(Tick(false, 10).kind, Kind::kIdle);
  EXPECT_TRUE(pipeline.HasWork());
  Advance(50);
  EXPECT_EQ(Tick(false, 10).kind, Kind::kPublished);
  EXPECT_EQ(texture.pixels[3], 40);
  // ForceNext lets the next frame through at once.
  texture.OverlayAcquire(), texture.OverlayRelease();
  pipeline.ForceNext();
  pipeline.TakeFrame(Frame(64, 32, 50));
  EXPECT_EQ(Tick(false, 10).kind, Kind::kPublished);
  // A synchronous analysis waits for the keyed mutex before it reads the frame.
  pipeline.TakeFrame(Frame(64, 32, 60));
  pipeline.ForceNext();
  const int submits = script->submits;
  EXPECT_EQ(Tick(false, 10).kind, Kind::kMutexBusy);
  EXPECT_EQ(script->submits, submits);
  texture.OverlayAcquire(), texture.OverlayRelease();
  EXPECT_EQ(Tick(false, 10).kind, Kind::kPublished);
  EXPECT_EQ(texture.pixels[3], 60);
}

TEST_F(PipelineTest, AFailedStepLeavesThePipelineFailedUntilConfiguredAgain) {
  struct Case {
    const char* what;
    bool testing::CellAnalyzerScript::*fault;
  } cases[] = {{"submit", &testing::CellAnalyzerScript::fail_submit},
               {"read", &testing::CellAnalyzerScript::fail_read}};
  for (const Case& c : cases) {
    ASSERT_TRUE(pipeline.Configure(grid, 64, 32)) << c.what;
    Released();
    (*script).*c.fault = true;
    pipeline.TakeFrame(Frame(64, 32, 99));
    PipelineOutcome out = Tick();
    if (out.kind == Kind::kBusy) out = Tick();
    EXPECT_EQ(out.kind, Kind::kFailed) << c.what;
    EXPECT_FALSE(pipeline.usable()) << c.what;
    EXPECT_FALSE(pipeline.HasWork()) << c.what;  // the frame went back
    EXPECT_EQ(Released(), 1u) << c.what;
    EXPECT_EQ(host::LoadU32(mask.data() + host::kHitSeq), 0u) << c.what;  // nothing was published
    (*script).*c.fault = false;
    pipeline.TakeFrame(Frame(64, 32, 99));        // ignored while failed
    EXPECT_EQ(Tick().kind, Kind::kFailed) << c.what;
  }
  script->fail_configure = true;
  EXPECT_FALSE(pipeline.Configure(grid, 64, 32));
  EXPECT_FALSE(pipeline.usable());
  script->fail_configure = false;
  ASSERT_TRUE(pipeline.Configure(grid, 64, 32));
  pipeline.TakeFrame(Frame(64, 32, 99));
  Tick();
  EXPECT_EQ(Tick().kind, Kind::kPublished);
}

TEST_F(PipelineTest, ResetsDropFramesAndResultsAndTheNextAnalysisIsWhole) {
  pipeline.TakeFrame(Frame(64, 32, 10));
  Tick();
  ASSERT_EQ(Tick().kind, Kind::kPublished);
  texture.OverlayAcquire(), texture.OverlayRelease();
  Released();
  // A submission on the device and a pending frame: a soft reset forgets both; the device stays.
  Advance(20);
  pipeline.TakeFrame(Frame(64, 32, 10));
  EXPECT_EQ(Tick().kind, Kind::kBusy);
  pipeline.TakeFrame(Frame(64, 32, 10));
  pipeline.SoftReset();
  EXPECT_FALSE(pipeline.HasWork());
  EXPECT_EQ(Released(), 2u);
  EXPECT_TRUE(pipeline.usable());
  Advance(20);
  pipeline.TakeFrame(Frame(64, 32, 10));  // the same picture, yet published whole
  Tick();
  const PipelineOutcome out = Tick();
  ASSERT_EQ(out.kind, Kind::kPublished);
  EXPECT_EQ(out.plan.kind, FrameAnalysis::Plan::kFull);
  // A full reset leaves it unconfigured: frames are let go at once.
  pipeline.Reset();
  EXPECT_FALSE(pipeline.configured());
  pipeline.TakeFrame(Frame(64, 32, 10));
  EXPECT_FALSE(pipeline.HasWork());
}

TEST_F(PipelineTest, WindowedPresentationWritesOnlyTheMask) {
  pipeline.TakeFrame(Frame(64, 32, 0, 8));
  Tick(true);
  const PipelineOutcome out = Tick(true);
  ASSERT_EQ(out.kind, Kind::kPublished);
  EXPECT_EQ(out.seq, 1u);
  EXPECT_TRUE(texture.copies.empty());
  EXPECT_EQ(host::ReadDirty(dirty.data()).seq, 0u);
  EXPECT_EQ(Mask().seq, 1u);
  EXPECT_TRUE(Mask().Opaque(2, 0));
}

}  // namespace
}  // namespace vyo::capture
