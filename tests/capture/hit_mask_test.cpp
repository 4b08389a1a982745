// The hit mask's pieces without the capture service: the grid, the per-cell analysis (the scalar
// oracle against hand-computed cells, the AVX2 path against the oracle), what a publication must
// copy, and the block's sequence lock under a concurrent reader.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "capture/frame_analysis.h"
#include "protocol/hit_mask_layout.h"

namespace vyo::capture {
namespace {

using host::GridFor;
using host::HitGrid;

TEST(HitGrid, CellSizeAndGrid) {
  struct Case {
    int64_t w, h;
    uint32_t cell, cols, rows;
  } cases[] = {
      {1920, 1080, 4, 480, 270}, {3000, 2000, 8, 375, 250}, {2561, 100, 8, 321, 13}, {2560, 100, 4, 640, 25},
      {1, 1, 4, 1, 1},           {64, 32, 4, 16, 8},        {40960, 40960, 64, 640, 640},
  };
  for (const Case& c : cases) {
    const HitGrid g = GridFor(c.w, c.h);
    EXPECT_EQ(g.cell, c.cell) << c.w << "x" << c.h;
    EXPECT_EQ(g.cols, c.cols) << c.w << "x" << c.h;
    EXPECT_EQ(g.rows, c.rows) << c.w << "x" << c.h;
    EXPECT_TRUE(g.FitsBlock());
  }
  // Past 64 the cell stops growing: such a grid does not fit the block and gets no mask.
  const HitGrid huge = GridFor(100000, 100000);
  EXPECT_EQ(huge.cell, 64u);
  EXPECT_FALSE(huge.FitsBlock());
  EXPECT_FALSE(GridFor(0, 10).FitsBlock());
}

// A frame of w x h premultiplied BGRA pixels with rows of `stride` pixels.
struct Frame {
  int32_t w, h, stride;
  std::vector<uint8_t> px;
  Frame(int32_t w_, int32_t h_, int32_t stride_ = 0) : w(w_), h(h_), stride(stride_ ? stride_ : w_) {
    px.assign(static_cast<size_t>(stride) * h * 4, 0);
  }
  uint8_t* At(int32_t x, int32_t y) { return px.data() + (static_cast<size_t>(y) * stride + x) * 4; }
  void Set(int32_t x, int32_t y, uint8_t b, uint8_t g, uint8_t r, uint8_t a) {
    uint8_t* p = At(x, y);
    p[0] = b, p[1] = g, p[2] = r, p[3] = a;
  }
};

struct Result {
  std::vector<uint8_t> alpha;
  std::vector<uint32_t> signature;
};
Result Scalar(const Frame& f, const HitGrid& g) {
  Result r{std::vector<uint8_t>(g.cells()), std::vector<uint32_t>(g.cells())};
  AnalyseCellsScalar(f.px.data(), static_cast<size_t>(f.stride) * 4, f.w, f.h, g, r.alpha.data(), r.signature.data());
  return r;
}

TEST(CellAnalysis, HandComputedCells) {
  // A 4 x 4 view of one colour (b 1, g 2, r 3, a 4): every pixel is worth 3 + 6 + 7 + 44 = 60, the
  // weights 5dx + 13dy + 1 add up to 448 over the cell.
  Frame uniform(4, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) uniform.Set(x, y, 1, 2, 3, 4);
  Result r = Scalar(uniform, GridFor(4, 4));
  EXPECT_EQ(r.alpha[0], 4);
  EXPECT_EQ(r.signature[0], 60u * 448u);

  // One pixel at (dx 2, dy 3) of cell (1, 0) in a 9 x 3 view: its weight is 5*2 + 13*3 + 1 = 50.
  // The second cell reaches past the view (x 8 is the last column, row 2 the last row): clamped
  // taps repeat the edge pixels, so the sum counts (8, 2) for every dx >= 0 of column 8 ... here
  // only the set pixel is non-zero, and it lies inside.
  Frame one(9, 3);
  one.Set(6, 2, 0, 0, 1, 200);  // r 1, a 200: worth 1 + 2200
  r = Scalar(one, GridFor(9, 3));
  ASSERT_EQ(r.alpha.size(), 3u);
  EXPECT_EQ(r.alpha[1], 200);
  // dy 2 and dy 3 both read row 2 (the last): weights 5*2 + 13*2 + 1 = 37 and 50.
  EXPECT_EQ(r.signature[1], (2201u * (37u + 50u)) & 0xFFFFFFu);
  EXPECT_EQ(r.alpha[0], 0);
  EXPECT_EQ(r.signature[0], 0u);

  // The right edge: column 8 is repeated for dx 0..3 of the third cell (x 8, 9, 10, 11).
  Frame edge(9, 1);
  edge.Set(8, 0, 1, 0, 0, 0);  // b 1: worth 7
  r = Scalar(edge, GridFor(9, 1));
  uint32_t weights = 0;
  for (uint32_t dy = 0; dy < 4; ++dy)
    for (uint32_t dx = 0; dx < 4; ++dx) weights += 5 * dx + 13 * dy + 1;
  EXPECT_EQ(r.signature[2], 7u * weights);

  // The sum wraps in 32 bits before its low 24 bits are kept: a white 64-cell overflows.
  Frame white(4096, 64);
  std::fill(white.px.begin(), white.px.end(), 255);
  const HitGrid g{1, 1, 64};
  std::vector<uint8_t> a(1);
  std::vector<uint32_t> s(1);
  AnalyseCellsScalar(white.px.data(), 4096 * 4, 64, 64, g, a.data(), s.data());
  uint64_t wide = 0;
  for (uint64_t dy = 0; dy < 64; ++dy)
    for (uint64_t dx = 0; dx < 64; ++dx) wide += 5610u * (5 * dx + 13 * dy + 1);
  ASSERT_GT(wide, 0xFFFFFFFFull);
  EXPECT_EQ(s[0], static_cast<uint32_t>(wide) & 0xFFFFFFu);
}

TEST(CellAnalysis, Avx2MatchesTheScalarCodeBitForBit) {
  if (std::string(CellAnalysisPath()) != "avx2") GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(7);
  std::vector<uint32_t> scratch;
  // Every cell size, widths that are and are not multiples of the cell or of eight pixels, rows
  // with padding past the view (which must never count), bright frames that wrap the sums.
  const int32_t sizes[][2] = {{1, 1},   {7, 5},   {8, 8},     {9, 13},    {33, 17},  {63, 64},
                              {65, 66}, {130, 3}, {2561, 40}, {2600, 70}, {5000, 20}};
  for (const auto& size : sizes) {
    for (int bright = 0; bright < 2; ++bright) {
      const int32_t w = size[0], h = size[1];
      Frame f(w, h, w + 5);
      for (auto& b : f.px) b = static_cast<uint8_t>(bright ? 200 + rng() % 56 : rng());
      for (uint32_t cell : {4u, 8u, 16u, 32u, 64u}) {
        const HitGrid g{static_cast<uint32_t>((w + cell - 1) / cell), static_cast<uint32_t>((h + cell - 1) / cell), cell};
        const Result want = Scalar(f, g);
        Result got{std::vector<uint8_t>(g.cells()), std::vector<uint32_t>(g.cells())};
        AnalyseCellsAvx2(f.px.data(), static_cast<size_t>(f.stride) * 4, w, h, g, got.alpha.data(),
                         got.signature.data(), &scratch);
        EXPECT_EQ(got.alpha, want.alpha) << w << "x" << h << " cell " << cell;
        EXPECT_EQ(got.signature, want.signature) << w << "x" << h << " cell " << cell;
        // Fused with the copy: the same results, and the view's pixels (not the row padding) copied,
        // into rows on 32-byte boundaries (written with streaming stores) and rows off them.
        const size_t pitch = (static_cast<size_t>(w) * 4 + 31) & ~size_t{31};
        for (size_t offset : {size_t{0}, size_t{4}}) {
          std::vector<uint8_t> storage(pitch * h + 64, 0);
          uint8_t* copy = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(storage.data()) + 31) & ~uintptr_t{31}) +
                          offset;
          AnalyseCellsAvx2(f.px.data(), static_cast<size_t>(f.stride) * 4, w, h, g, got.alpha.data(),
                           got.signature.data(), &scratch, copy, pitch);
          EXPECT_EQ(got.alpha, want.alpha) << w << "x" << h << " cell " << cell << " fused";
          EXPECT_EQ(got.signature, want.signature) << w << "x" << h << " cell " << cell << " fused";
          bool same = true;
          for (int32_t y = 0; y < h; ++y) same = same && std::equal(f.At(0, y), f.At(0, y) + w * 4, copy + y * pitch);
          EXPECT_TRUE(same) << w << "x" << h << " cell " << cell << " offset " << offset;
        }
      }
    }
  }
}

TEST(FrameAnalysis, WhatAPublicationCopies) {
  // A 100 x 60 view, cell 4 (25 x 15 cells).
  Frame f(100, 60);
  FrameAnalysis a;
  a.Configure(GridFor(100, 60), 100, 60);
  using Plan = FrameAnalysis::Plan;
  const auto decide = [&](uint32_t now, bool force = false) {
    AnalyseCellsScalar(f.px.data(), 400, 100, 60, a.grid(), a.next_mask(), a.next_signatures());
    a.Compare();
    const Plan p = a.Decide(now, force);
    if (p.kind != Plan::kUnchanged) a.NotePublished(p, now);
    return p;
  };
  struct Step {
    const char* what;
    std::function<void()> change;
    uint32_t now;
    bool force;
    Plan::Kind kind;
    int32_t left, top, right, bottom;
  } steps[] = {
      {"the first analysis is whole", [] {}, 1000, false, Plan::kFull, 0, 0, 100, 60},
      {"nothing changed", [] {}, 1100, false, Plan::kUnchanged, 0, 0, 0, 0},
      {"one pixel: its cell", [&] { f.Set(50, 50, 0, 0, 0, 255); }, 1200, false, Plan::kPartial, 48, 48, 52, 52},
      {"two distant pixels: the cells' bounds", [&] { f.Set(5, 1, 1, 0, 0, 255), f.Set(98, 20, 1, 0, 0, 255); }, 1300,
       false, Plan::kPartial, 4, 0, 100, 24},
      {"the last column's cell is cut at the view's edge", [&] { f.Set(99, 59, 9, 0, 0, 255); }, 1400, false,
       Plan::kPartial, 96, 56, 100, 60},
      {"forced", [] {}, 1500, true, Plan::kFull, 0, 0, 100, 60},
      {"a second after the last whole one", [] {}, 2500, false, Plan::kFull, 0, 0, 100, 60},
      {"60 % of the view is whole", [&] { for (int y = 0; y < 36; ++y) f.Set(0, y, 3, 3, 3, 3), f.Set(99, y, 3, 3, 3, 3); },
       2600, false, Plan::kFull, 0, 0, 100, 60},
      {"just under 60 % is not", [&] { for (int y = 0; y < 32; ++y) f.Set(0, y, 5, 5, 5, 5), f.Set(99, y, 5, 5, 5, 5); },
       2700, false, Plan::kPartial, 0, 0, 100, 32},
  };
  for (Step& s : steps) {
    s.change();
    const Plan p = decide(s.now, s.force);
    EXPECT_EQ(p.kind, s.kind) << s.what;
    if (p.kind == Plan::kUnchanged) continue;
    EXPECT_EQ((std::vector<int32_t>{p.left, p.top, p.right, p.bottom}),
              (std::vector<int32_t>{s.left, s.top, s.right, s.bottom}))
        << s.what;
  }
  // The mask holds each cell's highest alpha.
  EXPECT_EQ(a.mask()[12 * 25 + 12], 255);  // (50, 50)
  EXPECT_EQ(a.mask()[0], 5);
  // Forgetting the signatures makes the next publication whole again.
  a.ForceNext();
  EXPECT_EQ(decide(2800).kind, Plan::kFull);
}

TEST(HitMaskBlock, AReaderNeverAcceptsATornMask) {
  std::vector<uint8_t> block(host::kHitMaskBlockSize);
  const HitGrid grid{640, 640, 4};  // the largest buffer
  host::InitHitMaskHeader(block.data(), grid, 32);
  host::HitMaskView view;
  EXPECT_FALSE(host::ReadHitMask(block.data(), &view));  // nothing published yet
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0}, torn{0};
  std::thread reader([&] {
    host::HitMaskView v;
    while (!stop) {
      if (!host::ReadHitMask(block.data(), &v)) continue;
      ++accepted;
      // Every buffer the writer publishes is one value throughout: its update number's low byte.
      const uint8_t want = static_cast<uint8_t>(v.seq);
      if (v.cols != 640 || v.rows != 640 || std::any_of(v.cells.begin(), v.cells.end(), [&](uint8_t c) { return c != want; }))
        ++torn;
    }
  });
  std::vector<uint8_t> cells(grid.cells());
  for (uint32_t seq = 1; seq <= 3000; ++seq) {
    std::fill(cells.begin(), cells.end(), static_cast<uint8_t>(seq));
    host::WriteHitMask(block.data(), cells.data(), static_cast<uint32_t>(cells.size()), 32, seq);
    // Now and then the writer pauses, as the host does between frames, so that the reader gets
    // through whole reads as well as reads that overlap a write.
    if (seq % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(accepted.load(), 0);
  ASSERT_TRUE(host::ReadHitMask(block.data(), &view));
  EXPECT_EQ(view.seq, 3000u);
  EXPECT_EQ(view.cells[0], static_cast<uint8_t>(3000));
  // A size larger than a buffer is not written.
  std::vector<uint8_t> big(host::kHitMaskMaxCells + 1, 1);
  host::WriteHitMask(block.data(), big.data(), static_cast<uint32_t>(big.size()), 32, 3001);
  ASSERT_TRUE(host::ReadHitMask(block.data(), &view));
  EXPECT_EQ(view.seq, 3000u);
}

}  // namespace
}  // namespace vyo::capture
