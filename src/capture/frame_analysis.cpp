#include "capture/frame_analysis.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace vyo::capture {
namespace {

inline uint32_t PixelValue(const uint8_t* p) {
  return static_cast<uint32_t>(p[2]) + 3u * p[1] + 7u * p[0] + 11u * p[3];
}

bool HasAvx2() { return __builtin_cpu_supports("avx2"); }

}  // namespace

void AnalyseCellsScalar(const uint8_t* bgra, size_t stride, int32_t width, int32_t height, const host::HitGrid& grid,
                        uint8_t* max_alpha, uint32_t* signature) {
  const uint32_t cell = grid.cell;
  for (uint32_t row = 0; row < grid.rows; ++row) {
    for (uint32_t col = 0; col < grid.cols; ++col) {
      uint8_t top = 0;
      uint32_t sum = 0;
      for (uint32_t dy = 0; dy < cell; ++dy) {
        const int64_t y = std::min<int64_t>(static_cast<int64_t>(row) * cell + dy, height - 1);
        const uint8_t* line = bgra + static_cast<size_t>(y) * stride;
        for (uint32_t dx = 0; dx < cell; ++dx) {
          const int64_t x = std::min<int64_t>(static_cast<int64_t>(col) * cell + dx, width - 1);
          const uint8_t* p = line + static_cast<size_t>(x) * 4;
          top = std::max(top, p[3]);
          sum += PixelValue(p) * (5u * dx + 13u * dy + 1u);
        }
      }
      const size_t i = static_cast<size_t>(row) * grid.cols + col;
      max_alpha[i] = top;
      signature[i] = sum & 0xFFFFFFu;
    }
  }
}

// Each band of `cell` rows is accumulated per pixel column (value x weight, and the highest
// alpha) with whole vectors, then reduced per cell. Sums wrap in 32 bits exactly as the scalar
// code's do, whatever the order of the additions.
__attribute__((target("avx2"))) void AnalyseCellsAvx2(const uint8_t* bgra, size_t stride, int32_t width,
                                                      int32_t height, const host::HitGrid& grid, uint8_t* max_alpha,
                                                      uint32_t* signature, std::vector<uint32_t>* scratch,
                                                      uint8_t* copy_to, size_t copy_stride) {
  const uint32_t cell = grid.cell;
  const size_t span = static_cast<size_t>(grid.cols) * cell;  // pixel columns the grid covers
  scratch->resize(span * 3);
  uint32_t* acc = scratch->data();
  uint32_t* top = acc + span;
  uint32_t* dx_weight = top + span;  // 5 * (x mod cell)
  for (size_t x = 0; x < span; ++x) dx_weight[x] = 5u * static_cast<uint32_t>(x % cell);
  const size_t whole = static_cast<size_t>(width) & ~size_t{7};  // pixels read eight at a time
  // Per pixel B, G, R, A: 7, 3, 1, 11 (pairs summed as 16 bits, then the pairs as 32 bits).
  const __m256i coef = _mm256_set1_epi32(static_cast<int32_t>(0x0B010307u));
  const __m256i ones = _mm256_set1_epi16(1);
  for (uint32_t row = 0; row < grid.rows; ++row) {
    std::fill(acc, acc + 2 * span, 0u);
    for (uint32_t dy = 0; dy < cell; ++dy) {
      const int64_t unclamped = static_cast<int64_t>(row) * cell + dy;
      const int64_t y = std::min<int64_t>(unclamped, height - 1);
      const uint8_t* line = bgra + static_cast<size_t>(y) * stride;
      // Rows past the view's bottom repeat its last row: copied once, when first read.
      uint8_t* out = copy_to != nullptr && unclamped == y ? copy_to + static_cast<size_t>(y) * copy_stride : nullptr;
      const uint32_t dy_weight = 13u * dy + 1u;
      const __m256i c = _mm256_set1_epi32(static_cast<int32_t>(dy_weight));
      size_t x = 0;
      for (; x < whole; x += 8) {
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + x * 4));
        if (out != nullptr) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x * 4), px);
        const __m256i v = _mm256_madd_epi16(_mm256_maddubs_epi16(px, coef), ones);
        const __m256i w = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(dx_weight + x)), c);
        __m256i* a = reinterpret_cast<__m256i*>(acc + x);
        _mm256_storeu_si256(a, _mm256_add_epi32(_mm256_loadu_si256(a), _mm256_mullo_epi32(v, w)));
        __m256i* t = reinterpret_cast<__m256i*>(top + x);
        _mm256_storeu_si256(t, _mm256_max_epu32(_mm256_loadu_si256(t), _mm256_srli_epi32(px, 24)));
      }
      // The rest of the row, and the columns past the view's edge, which repeat its last pixel.
      const uint8_t* last_pixel_of_row = line + static_cast<size_t>(width - 1) * 4;
      if (out != nullptr && x < static_cast<size_t>(width)) {
        std::memcpy(out + x * 4, line + x * 4, (static_cast<size_t>(width) - x) * 4);
      }
      for (; x < span; ++x) {
        const uint8_t* p = x < static_cast<size_t>(width) ? line + x * 4 : last_pixel_of_row;
        acc[x] += PixelValue(p) * (dx_weight[x] + dy_weight);
        top[x] = std::max<uint32_t>(top[x], p[3]);
      }
    }
    for (uint32_t col = 0; col < grid.cols; ++col) {
      const size_t first = static_cast<size_t>(col) * cell;
      uint32_t sum = 0, high = 0;
      for (size_t x = first; x < first + cell; ++x) {
        sum += acc[x];
        high = std::max(high, top[x]);
      }
      const size_t i = static_cast<size_t>(row) * grid.cols + col;
      max_alpha[i] = static_cast<uint8_t>(high);
      signature[i] = sum & 0xFFFFFFu;
    }
  }
}

const char* CellAnalysisPath() { return HasAvx2() ? "avx2" : "scalar"; }

void FrameAnalysis::Configure(const host::HitGrid& grid, int32_t width, int32_t height) {
  grid_ = grid;
  width_ = width;
  height_ = height;
  const size_t cells = static_cast<size_t>(grid.cells());
  mask_.assign(cells, 0);
  signatures_.assign(cells, 0);
  fresh_.assign(cells, 0);
  previous_valid_ = false;
  first_ = true;
  changed_ = false;
  had_full_ = false;
}

bool FrameAnalysis::Analyse(const uint8_t* bgra, size_t stride, uint8_t* copy_to, size_t copy_stride) {
  if (!configured() || width_ < 1 || height_ < 1) return false;
  bool copied = false;
  if (HasAvx2()) {
    AnalyseCellsAvx2(bgra, stride, width_, height_, grid_, mask_.data(), fresh_.data(), &scratch_, copy_to, copy_stride);
    copied = copy_to != nullptr;
  } else {
    AnalyseCellsScalar(bgra, stride, width_, height_, grid_, mask_.data(), fresh_.data());
  }
  first_ = !previous_valid_;
  changed_ = first_;
  uint32_t min_col = grid_.cols, min_row = grid_.rows, max_col = 0, max_row = 0;
  if (previous_valid_) {
    for (uint32_t row = 0; row < grid_.rows; ++row) {
      const size_t base = static_cast<size_t>(row) * grid_.cols;
      for (uint32_t col = 0; col < grid_.cols; ++col) {
        if (fresh_[base + col] == signatures_[base + col]) continue;
        changed_ = true;
        min_col = std::min(min_col, col);
        max_col = std::max(max_col, col);
        min_row = std::min(min_row, row);
        max_row = std::max(max_row, row);
      }
    }
  }
  signatures_.swap(fresh_);
  previous_valid_ = true;
  left_ = top_ = right_ = bottom_ = 0;
  if (changed_ && !first_) {
    const int64_t cell = grid_.cell;
    left_ = static_cast<int32_t>(min_col * cell);
    top_ = static_cast<int32_t>(min_row * cell);
    right_ = static_cast<int32_t>(std::min<int64_t>((max_col + 1) * cell, width_));
    bottom_ = static_cast<int32_t>(std::min<int64_t>((max_row + 1) * cell, height_));
  }
  return copied;
}

FrameAnalysis::Plan FrameAnalysis::Decide(uint32_t now, bool force_full) const {
  Plan plan;
  bool full = force_full || first_ || !had_full_ || static_cast<uint32_t>(now - last_full_) >= 1000;
  if (!full && !changed_) return plan;
  if (!full) {
    // 64 bits: a 16384 x 16384 view's area times 100 does not fit 32.
    const int64_t area = static_cast<int64_t>(right_ - left_) * (bottom_ - top_);
    const int64_t view = static_cast<int64_t>(width_) * height_;
    full = view == 0 || area * 100 >= view * 60;
  }
  if (full) {
    plan.kind = Plan::kFull;
    plan.right = width_;
    plan.bottom = height_;
    return plan;
  }
  plan.kind = Plan::kPartial;
  plan.left = left_;
  plan.top = top_;
  plan.right = right_;
  plan.bottom = bottom_;
  return plan;
}

void FrameAnalysis::NotePublished(const Plan& plan, uint32_t now) {
  if (plan.kind != Plan::kFull) return;
  last_full_ = now;
  had_full_ = true;
}

}  // namespace vyo::capture
