// The decisions of frame copying that need no frames: the per-view pacer, the full / partial /
// skip table, dirty lifetimes, and the pixel conversions against their scalar forms.
#include <gtest/gtest.h>

#include <random>

#include "capture/capture_service.h"
#include "capture/frame_pacer.h"
#include "capture/pixel_convert.h"

namespace vyo::capture {
namespace {

constexpr int64_t kHz = 10'000'000;

TEST(CaptureFramePacer, AcceptsOnAFixedGridThatLateFramesDoNotShift) {
  FramePacer p;
  p.frequency = kHz;
  const int64_t interval = kHz / 30;  // 333,333 counts at 30 fps
  EXPECT_TRUE(p.Accept(30, 1000, false));             // first frame: schedule made
  EXPECT_FALSE(p.Accept(30, 1000 + interval - 1, false));
  EXPECT_TRUE(p.Accept(30, 1000 + interval + 100, false));  // late by 100: next due stays on the grid
  EXPECT_EQ(p.next_due, 1000 + 2 * interval);
  EXPECT_TRUE(p.Accept(30, 1000 + 2 * interval + 10, true) && p.next_due == 1000 + 2 * interval)
      << "force accepts without moving the schedule";
  // A changed rate starts a new schedule; 0 counts as 30; Reset forgets the schedule.
  EXPECT_TRUE(p.Accept(60, 1000 + 2 * interval + 20, false));
  EXPECT_EQ(p.paced_rate, 60u);
  p.Reset();
  EXPECT_TRUE(p.Accept(0, 5, false));
  EXPECT_EQ(p.paced_rate, 30u);
  // Without a usable frequency every frame passes.
  FramePacer off;
  EXPECT_TRUE(off.Accept(30, 1, false) && off.Accept(30, 2, false));
}

struct PlanCase {
  const char* name;
  void (*setup)(ViewCaptureState&, DirtyState&);
  double zoom;
  CopyPlan::Kind kind;
  int32_t left, top, right, bottom;
};

void Reported(ViewCaptureState& cap, DirtyState& d) {
  cap.last_full_tick = 1000;
  d.dirty_info_available = true;
  d.force_full = false;
}

TEST(CaptureCopyPlan, FullPartialOrSkip) {
  const PlanCase cases[] = {
      {"no reports: every frame full", [](auto&, auto& d) { d.force_full = false; }, 1.0, CopyPlan::kFull, 0, 0, 100, 50},
      {"reports, nothing pending: skip", [](auto& c, auto& d) { Reported(c, d); }, 1.0, CopyPlan::kSkip, 0, 0, 0, 0},
      {"pending rectangle: partial", [](auto& c, auto& d) {
         Reported(c, d);
         d.has_rect = true, d.dirty_rect = {10, 20, 40, 60}, d.dirty_lifetime = 2;
       }, 1.0, CopyPlan::kPartial, 10, 20, 40, 50},
      {"rectangle beyond the view: clamped", [](auto& c, auto& d) {
         Reported(c, d);
         d.has_rect = true, d.dirty_rect = {-2147483647 - 1, 30, 2147483647, 2147483647}, d.dirty_lifetime = 1;
       }, 1.0, CopyPlan::kPartial, 0, 30, 100, 50},
      {"rectangle outside the view: skip", [](auto& c, auto& d) {
         Reported(c, d);
         d.has_rect = true, d.dirty_rect = {200, 0, 300, 10}, d.dirty_lifetime = 2;
       }, 1.0, CopyPlan::kSkip, 0, 0, 0, 0},
      {"lifetime used up: skip", [](auto& c, auto& d) {
         Reported(c, d);
         d.has_rect = true, d.dirty_rect = {10, 20, 40, 60}, d.dirty_lifetime = 0;
       }, 1.0, CopyPlan::kSkip, 0, 0, 0, 0},
      {"a second without a full copy", [](auto& c, auto& d) { Reported(c, d); c.last_full_tick = 1000 - 1000; }, 1.0,
       CopyPlan::kFull, 0, 0, 100, 50},
      {"zoomed", [](auto& c, auto& d) { Reported(c, d); }, 1.25, CopyPlan::kFull, 0, 0, 100, 50},
      {"full-frame mode", [](auto& c, auto& d) { Reported(c, d); c.full_frame_mode = true; }, 1.0, CopyPlan::kFull, 0, 0, 100, 50},
      {"live mode", [](auto& c, auto& d) { Reported(c, d); c.live_mode = true; }, 1.0, CopyPlan::kFull, 0, 0, 100, 50},
      {"full refresh", [](auto& c, auto& d) { Reported(c, d); c.full_refresh = true; }, 1.0, CopyPlan::kFull, 0, 0, 100, 50},
      {"full period running", [](auto& c, auto& d) { Reported(c, d); c.full_until = 1500; }, 1.0, CopyPlan::kFull, 0, 0, 100, 50},
      {"full period over: one more full", [](auto& c, auto& d) { Reported(c, d); c.full_until = 1000; }, 1.0,
       CopyPlan::kFull, 0, 0, 100, 50},
      {"analysed view (its analysis failing)", [](auto& c, auto& d) {
         Reported(c, d);
         c.hit_mask_ready = true;
         d.has_rect = true, d.dirty_rect = {10, 20, 40, 60}, d.dirty_lifetime = 2;
       }, 1.0, CopyPlan::kFull, 0, 0, 100, 50},
  };
  for (const PlanCase& c : cases) {
    ViewCaptureState cap;
    DirtyState dirty;
    dirty.force_full = true;
    c.setup(cap, dirty);
    const CopyPlan plan = PlanCopy(cap, dirty, c.zoom, 1000, 100, 50);
    EXPECT_EQ(plan.kind, c.kind) << c.name;
    if (plan.kind != CopyPlan::kSkip) {
      EXPECT_EQ(plan.left, c.left) << c.name;
      EXPECT_EQ(plan.top, c.top) << c.name;
      EXPECT_EQ(plan.right, c.right) << c.name;
      EXPECT_EQ(plan.bottom, c.bottom) << c.name;
    }
  }
}

TEST(CaptureCopyPlan, AReportedRegionIsCopiedByTheNextTwoFramesEvenAcrossAFullCopy) {
  ViewCaptureState cap;
  DirtyState dirty;
  Reported(cap, dirty);
  dirty.has_rect = true;
  dirty.dirty_rect = {10, 20, 40, 60};
  dirty.dirty_lifetime = 2;
  // The periodic full copy comes first (of a frame the page may not have drawn its change into).
  cap.last_full_tick = 0;
  CopyPlan plan = PlanCopy(cap, dirty, 1.0, 1000, 100, 50);
  ASSERT_EQ(plan.kind, CopyPlan::kFull);
  CommitCopy(cap, dirty, plan, 1000);
  EXPECT_EQ(cap.last_full_tick, 1000u);
  EXPECT_FALSE(dirty.force_full);
  // The report still stands for one more frame.
  plan = PlanCopy(cap, dirty, 1.0, 1010, 100, 50);
  ASSERT_EQ(plan.kind, CopyPlan::kPartial);
  EXPECT_EQ(plan.left, 10);
  CommitCopy(cap, dirty, plan, 1010);
  EXPECT_EQ(PlanCopy(cap, dirty, 1.0, 1020, 100, 50).kind, CopyPlan::kSkip);
  EXPECT_FALSE(dirty.has_rect);
}

TEST(CapturePixels, VectorFormsMatchTheScalarOnes) {
  std::mt19937 rng(7);
  for (size_t pixels : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{33}, size_t{1000}}) {
    std::vector<uint8_t> src(pixels * 4);
    for (auto& b : src) b = static_cast<uint8_t>(rng());
    for (bool swap : {false, true}) {
      std::vector<uint8_t> fast(src.size()), slow(src.size());
      Premultiply(src.data(), fast.data(), pixels, swap);
      PremultiplyScalar(src.data(), slow.data(), pixels, swap);
      EXPECT_EQ(fast, slow) << pixels << " swap " << swap << " " << PixelConvertKind();
    }
    std::vector<uint8_t> fast = src, slow(src.size());
    SwapRedBlue(fast.data(), fast.data(), pixels);  // in place
    SwapRedBlueScalar(src.data(), slow.data(), pixels);
    EXPECT_EQ(fast, slow) << pixels;
  }
}

TEST(CapturePixels, PremultiplicationRoundsToNearestOverEveryInput) {
  for (uint32_t a = 0; a < 256; ++a) {
    for (uint32_t c = 0; c < 256; ++c) {
      const uint8_t in[4] = {static_cast<uint8_t>(c), 0, 0, static_cast<uint8_t>(a)};
      uint8_t out[4];
      PremultiplyScalar(in, out, 1, false);
      const double exact = c * a / 255.0;
      ASSERT_LE(std::abs(out[0] - exact), 0.5) << c << " " << a;
      ASSERT_EQ(out[3], a);
    }
  }
  // rgba(200,100,50,64) straight → BGRA premultiplied.
  const uint8_t rgba[4] = {200, 100, 50, 64};
  uint8_t bgra[4];
  Premultiply(rgba, bgra, 1, true);
  EXPECT_EQ(bgra[0], 13);
  EXPECT_EQ(bgra[1], 25);
  EXPECT_EQ(bgra[2], 50);
  EXPECT_EQ(bgra[3], 64);
}

}  // namespace
}  // namespace vyo::capture
