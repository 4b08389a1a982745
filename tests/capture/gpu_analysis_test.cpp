// The GPU form of the hit-mask analysis against the CPU oracle, bit for bit (Direct3D 11: the
// Windows build, under Wine too; elsewhere there is no GPU form and the test is skipped).
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "capture/analysis_pipeline.h"
#include "capture/decoded_frame.h"
#include "capture/frame_analysis.h"
#include "fakes/fake_gpu.h"
#include "platform/gpu_cell_analyzer.h"
#include "protocol/hit_mask_layout.h"

namespace vyo::capture {
namespace {

TEST(GpuCellAnalysis, MatchesTheCpuOracleBitForBit) {
  for (uint32_t cell : {4u, 8u}) {  // larger cells compile for long under Wine
    auto gpu = platform::GpuCellAnalyzer::Create(cell);
    if (!gpu) GTEST_SKIP() << "no Direct3D shader compiler here";
    std::mt19937 rng(cell);
    // Sides that are not multiples of the cell (the edge cells repeat the last column and row),
    // rows with padding past the view, premultiplied pixels (colour at most alpha).
    for (const auto& size : {std::pair<uint32_t, uint32_t>{37, 21}, {64, 32}, {130, 3}}) {
      const uint32_t w = size.first, h = size.second, stride = (w + 3) * 4;
      std::vector<uint8_t> frame(static_cast<size_t>(stride) * h);
      for (size_t i = 0; i < frame.size(); i += 4) {
        const uint8_t a = static_cast<uint8_t>(rng());
        frame[i] = static_cast<uint8_t>(rng() % (a + 1u));
        frame[i + 1] = static_cast<uint8_t>(rng() % (a + 1u));
        frame[i + 2] = static_cast<uint8_t>(rng() % (a + 1u));
        frame[i + 3] = a;
      }
      const host::HitGrid grid{(w + cell - 1) / cell, (h + cell - 1) / cell, cell};
      std::vector<uint8_t> want_alpha(grid.cells()), got_alpha(grid.cells());
      std::vector<uint32_t> want_sig(grid.cells()), got_sig(grid.cells());
      AnalyseCellsScalar(frame.data(), stride, static_cast<int32_t>(w), static_cast<int32_t>(h), grid, want_alpha.data(),
                         want_sig.data());
      ASSERT_TRUE(gpu->Submit(frame.data(), stride, w, h, grid.cols, grid.rows));
      platform::GpuCellAnalyzer::ReadResult result;
      int tries = 0;
      while ((result = gpu->TryRead(got_alpha.data(), got_sig.data())) == platform::GpuCellAnalyzer::ReadResult::kBusy &&
             ++tries < 10000) {
      }
      ASSERT_EQ(result, platform::GpuCellAnalyzer::ReadResult::kDone);
      EXPECT_EQ(got_alpha, want_alpha) << w << "x" << h << " cell " << cell;
      EXPECT_EQ(got_sig, want_sig) << w << "x" << h << " cell " << cell;
    }
  }
}

// The analysis pipeline over the GPU form publishes what it publishes over the CPU form: the same
// masks and the same changed rectangles, frame after frame, for a grid of each cell size the
// device is made again for.
TEST(GpuCellAnalysis, APipelineOnTheGpuPublishesWhatTheCpuFinds) {
  std::unique_ptr<CellAnalyzer> gpu = CreateGpuCellAnalyzer();
  if (!gpu) GTEST_SKIP() << "no Direct3D shader compiler here";
  EXPECT_STREQ(gpu->Kind(), "d3d11");
  AnalysisPipeline on_gpu(std::move(gpu), 1000), on_cpu(CreateCpuCellAnalyzer(), 1000);
  for (const auto& [w, h, cell] : {std::tuple<int32_t, int32_t, uint32_t>{72, 40, 4}, {72, 40, 8}}) {
    const host::HitGrid grid{static_cast<uint32_t>((w + cell - 1) / cell), static_cast<uint32_t>((h + cell - 1) / cell),
                             cell};
    ASSERT_TRUE(on_gpu.Configure(grid, w, h)) << cell;
    ASSERT_TRUE(on_cpu.Configure(grid, w, h)) << cell;
    // An opaque block that moves right, over a faint background.
    for (int32_t step = 0; step < 3; ++step) {
      auto frame = std::make_shared<DecodedFrame>();
      frame->width = w, frame->height = h;
      frame->bgra.assign(static_cast<size_t>(w) * h * 4, 3);
      for (int32_t y = 5; y < 20; ++y) {
        for (int32_t x = 10 + 9 * step; x < 30 + 9 * step; ++x) {
          uint8_t* p = frame->bgra.data() + (static_cast<size_t>(y) * w + x) * 4;
          p[0] = 200, p[1] = 100, p[2] = 50, p[3] = 255;
        }
      }
      PipelineOutcome published[2];
      std::vector<uint8_t> masks[2];
      int i = 0;
      for (AnalysisPipeline* pipeline : {&on_gpu, &on_cpu}) {
        testing::FakeTexture texture(static_cast<uint32_t>(w), static_cast<uint32_t>(h), 1);
        std::vector<uint8_t> block(host::kHitMaskBlockSize);
        host::InitHitMaskHeader(block.data(), grid, 32);
        uint32_t seq = 0;
        PipelineTarget target;
        target.texture = &texture;
        target.hit_mask = block.data();
        target.hit_seq = &seq;
        target.now = 100 + 20 * static_cast<uint32_t>(step);
        target.perf_now = target.now;  // a counter in ms, paced at 1000 frames/s: every frame is analysed
        target.rate = 1000;
        pipeline->TakeFrame(frame);
        PipelineOutcome out;
        for (int tries = 0; tries < 10000; ++tries) {
          out = pipeline->Tick(target);
          if (out.kind != PipelineOutcome::kBusy) break;
        }
        published[i] = out;
        host::HitMaskView view;
        if (host::ReadHitMask(block.data(), &view)) masks[i] = view.cells;
        ++i;
      }
      ASSERT_EQ(published[0].kind, PipelineOutcome::kPublished) << cell << " step " << step;
      EXPECT_EQ(published[0].kind, published[1].kind);
      EXPECT_EQ(published[0].plan.kind, step == 0 ? FrameAnalysis::Plan::kFull : FrameAnalysis::Plan::kPartial);
      EXPECT_EQ((std::vector<int32_t>{published[0].plan.left, published[0].plan.top, published[0].plan.right,
                                      published[0].plan.bottom}),
                (std::vector<int32_t>{published[1].plan.left, published[1].plan.top, published[1].plan.right,
                                      published[1].plan.bottom}))
          << cell << " step " << step;
      EXPECT_EQ(masks[0], masks[1]) << cell << " step " << step;
    }
  }
}

}  // namespace
}  // namespace vyo::capture
