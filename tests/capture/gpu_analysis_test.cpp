// The GPU form of the hit-mask analysis against the CPU oracle, bit for bit (Direct3D 11: the
// Windows build, under Wine too; elsewhere there is no GPU form and the test is skipped).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "capture/frame_analysis.h"
#include "platform/gpu_cell_analyzer.h"

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

}  // namespace
}  // namespace vyo::capture
