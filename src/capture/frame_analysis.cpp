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

// One cell by the formula: the scalar code, and the cells at the right edge of the AVX2 path.
void OneCellScalar(const uint8_t* bgra, size_t stride, int32_t width, int32_t height, uint32_t cell, uint32_t col,
                   uint32_t row, uint8_t* max_alpha, uint32_t* signature) {
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
  *max_alpha = top;
  *signature = sum & 0xFFFFFFu;
}

// One 8-pixel strip at pixel column x of a band of `cell` rows (`lines`, and `outs` to copy to):
// the weighted sums of its pixel columns over the band, and their highest alpha. `dx` holds each
// lane's column within its cell. Per pixel column the sum of its values (P) and the sum of the
// running sums before the last row (Z) give the dy-weighted sum (cell - 1) * P - Z, so no
// multiplication is needed per pixel; the dx weights are applied once per band.
__attribute__((target("avx2"), always_inline)) inline void Strip(const uint8_t* const* lines, uint8_t* const* outs,
                                                                 uint32_t cell, size_t x, __m256i dx,
                                                                 __m256i* contribution, __m256i* top) {
  const __m256i coef = _mm256_set1_epi32(static_cast<int32_t>(0x0B010307u));  // B, G, R, A: 7, 3, 1, 11
  const __m256i ones = _mm256_set1_epi16(1);
  __m256i p = _mm256_setzero_si256(), z = _mm256_setzero_si256(), t = _mm256_setzero_si256();
  for (uint32_t dy = 0; dy < cell; ++dy) {
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lines[dy] + x * 4));
    if (outs[dy] != nullptr) _mm256_storeu_si256(reinterpret_cast<__m256i*>(outs[dy] + x * 4), px);
    p = _mm256_add_epi32(p, _mm256_madd_epi16(_mm256_maddubs_epi16(px, coef), ones));
    if (dy + 1 < cell) z = _mm256_add_epi32(z, p);
    t = _mm256_max_epu8(t, px);  // alpha bytes are taken out once, after the band
  }
  t = _mm256_srli_epi32(t, 24);
  const __m256i dy_sum = _mm256_sub_epi32(_mm256_mullo_epi32(p, _mm256_set1_epi32(static_cast<int32_t>(cell - 1))), z);
  const __m256i dx_weight = _mm256_add_epi32(_mm256_add_epi32(_mm256_slli_epi32(dx, 2), dx), _mm256_set1_epi32(1));
  const __m256i dy_part =
      _mm256_add_epi32(_mm256_add_epi32(_mm256_slli_epi32(dy_sum, 3), _mm256_slli_epi32(dy_sum, 2)), dy_sum);
  *contribution = _mm256_add_epi32(_mm256_mullo_epi32(p, dx_weight), dy_part);
  *top = t;
}

// Cell 4, eight cells (32 pixels of a band of four rows) at a time, for the first `cols` cells of
// the band (a multiple of 8). Each pixel's weighted bytes (7b + 3g, r + 11a) as two 16-bit lanes,
// times its weight 5dx + 13dy + 1 in both, give its term as one 32-bit lane; four sums and four
// maxima, one per 8-pixel strip, stay in registers over the band's rows. Unless kCopy is kNone,
// every row of `outs` receives the pixels as they are read.
enum class BandCopy { kNone, kStore, kStream };
template <BandCopy kCopy>
__attribute__((target("avx2"))) void Cell4Bands(const uint8_t* const* lines, uint8_t* const* outs, uint32_t cols,
                                                uint8_t* max_alpha, uint32_t* signature) {
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const __m256i byte_weights = _mm256_set1_epi32(static_cast<int32_t>(0x0B010307u));  // B, G, R, A: 7, 3, 1, 11
  const __m256i dx_weight = _mm256_setr_epi16(1, 1, 6, 6, 11, 11, 16, 16, 1, 1, 6, 6, 11, 11, 16, 16);  // 5dx + 1
  // Per strip k: the alpha bytes (3, 7, 11, 15) of each 128-bit half, which is one cell, moved to
  // dword k of the half.
  __m256i gather_alpha[4];
  for (int k = 0; k < 4; ++k) {
    alignas(32) int8_t m[32];
    for (int i = 0; i < 32; ++i) m[i] = -1;  // a zero byte
    for (int h = 0; h < 2; ++h) {
      for (int j = 0; j < 4; ++j) m[16 * h + 4 * k + j] = static_cast<int8_t>(4 * j + 3);
    }
    gather_alpha[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(m));
  }
  const __m256i first_bytes = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8,
                                               12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  for (uint32_t col = 0; col < cols; col += 8) {
    const size_t x = static_cast<size_t>(col) * 16;  // byte offset in the rows
    __m256i c[4], t[4];
    for (int k = 0; k < 4; ++k) c[k] = t[k] = _mm256_setzero_si256();
    // Unrolled so that the eight accumulators live in registers.
#pragma GCC unroll 4
    for (uint32_t dy = 0; dy < 4; ++dy) {
      const __m256i w = _mm256_add_epi16(dx_weight, _mm256_set1_epi16(static_cast<int16_t>(13 * dy)));
#pragma GCC unroll 4
      for (int k = 0; k < 4; ++k) {
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lines[dy] + x + 32 * k));
        if constexpr (kCopy == BandCopy::kStore) {
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(outs[dy] + x + 32 * k), px);
        } else if constexpr (kCopy == BandCopy::kStream) {
          _mm256_stream_si256(reinterpret_cast<__m256i*>(outs[dy] + x + 32 * k), px);
        }
        c[k] = _mm256_add_epi32(c[k], _mm256_madd_epi16(_mm256_maddubs_epi16(px, byte_weights), w));
        t[k] = _mm256_max_epu8(t[k], px);
      }
    }
    // Sums: lanes hold cells 0, 2, 4, 6 | 1, 3, 5, 7, then put in order.
    const __m256i sums = _mm256_hadd_epi32(_mm256_hadd_epi32(c[0], c[1]), _mm256_hadd_epi32(c[2], c[3]));
    const __m256i ordered = _mm256_and_si256(_mm256_permutevar8x32_epi32(sums, order), _mm256_set1_epi32(0xFFFFFF));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(signature + col), ordered);
    // Maxima: each cell's four alpha bytes in one dword, its highest folded into byte 0, the two
    // halves (even and odd cells) interleaved.
    __m256i alphas = _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(t[0], gather_alpha[0]), _mm256_shuffle_epi8(t[1], gather_alpha[1])),
        _mm256_or_si256(_mm256_shuffle_epi8(t[2], gather_alpha[2]), _mm256_shuffle_epi8(t[3], gather_alpha[3])));
    alphas = _mm256_max_epu8(alphas, _mm256_srli_epi32(alphas, 16));
    alphas = _mm256_max_epu8(alphas, _mm256_srli_epi32(alphas, 8));
    alphas = _mm256_shuffle_epi8(alphas, first_bytes);
    const __m128i cells = _mm_unpacklo_epi8(_mm256_castsi256_si128(alphas), _mm256_extracti128_si256(alphas, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(max_alpha + col), cells);
  }
}

// Sums and maxima of lanes 0-3 end up in lane 0, of lanes 4-7 in lane 4.
__attribute__((target("avx2"))) inline void Fold4(__m256i* s, __m256i* m) {
  *s = _mm256_add_epi32(*s, _mm256_shuffle_epi32(*s, 0xB1));
  *s = _mm256_add_epi32(*s, _mm256_shuffle_epi32(*s, 0x4E));
  *m = _mm256_max_epu32(*m, _mm256_shuffle_epi32(*m, 0xB1));
  *m = _mm256_max_epu32(*m, _mm256_shuffle_epi32(*m, 0x4E));
}

}  // namespace

void AnalyseCellsScalar(const uint8_t* bgra, size_t stride, int32_t width, int32_t height, const host::HitGrid& grid,
                        uint8_t* max_alpha, uint32_t* signature) {
  for (uint32_t row = 0; row < grid.rows; ++row) {
    for (uint32_t col = 0; col < grid.cols; ++col) {
      const size_t i = static_cast<size_t>(row) * grid.cols + col;
      OneCellScalar(bgra, stride, width, height, grid.cell, col, row, &max_alpha[i], &signature[i]);
    }
  }
}

// Band by band (`cell` rows): cells of 4 eight at a time (Cell4Bands), larger cells strip by strip
// (Strip), the cells at the right edge by the scalar code. All sums wrap in 32 bits exactly as the
// scalar code's do.
__attribute__((target("avx2"))) void AnalyseCellsAvx2(const uint8_t* bgra, size_t stride, int32_t width,
                                                      int32_t height, const host::HitGrid& grid, uint8_t* max_alpha,
                                                      uint32_t* signature, std::vector<uint32_t>* scratch,
                                                      uint8_t* copy_to, size_t copy_stride) {
  const uint32_t cell = grid.cell;
  // Cells whose pixels all lie in whole 8-pixel strips inside the view take the vector path.
  const size_t whole = static_cast<size_t>(width) & ~size_t{7};
  const uint32_t vector_cols = std::min<uint32_t>(grid.cols, static_cast<uint32_t>(whole / cell));
  const size_t vector_end = static_cast<size_t>(vector_cols) * cell;  // first pixel column left to the scalar code
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i lane_mod4 = _mm256_setr_epi32(0, 1, 2, 3, 0, 1, 2, 3);
  std::vector<const uint8_t*> lines(cell);
  std::vector<uint8_t*> outs(cell);
  uint8_t* sink = nullptr;  // a row's worth of scratch bytes
  if (copy_to != nullptr && cell == 4) {
    scratch->resize(vector_end);  // one 4-byte element per pixel
    sink = reinterpret_cast<uint8_t*>(scratch->data());
  }
  for (uint32_t row = 0; row < grid.rows; ++row) {
    for (uint32_t dy = 0; dy < cell; ++dy) {
      const int64_t unclamped = static_cast<int64_t>(row) * cell + dy;
      const int64_t y = std::min<int64_t>(unclamped, height - 1);
      lines[dy] = bgra + static_cast<size_t>(y) * stride;
      // Rows past the view's bottom repeat its last row: copied once, when first read.
      outs[dy] = copy_to != nullptr && unclamped == y ? copy_to + static_cast<size_t>(y) * copy_stride : nullptr;
    }
    const size_t base = static_cast<size_t>(row) * grid.cols;
    if (cell == 4) {
      const uint32_t grouped = vector_cols & ~7u;
      if (copy_to != nullptr) {
        // Rows past the view's bottom are not copied: their pixels go to a scratch row.
        uint8_t* const band_outs[4] = {outs[0] ? outs[0] : sink, outs[1] ? outs[1] : sink,
                                       outs[2] ? outs[2] : sink, outs[3] ? outs[3] : sink};
        // Rows that start on a 32-byte boundary (a texture's rows in its mapping, when the row
        // pitch is a multiple of 32) are written with streaming stores: the texture is for the
        // overlay to read, and its lines need not be fetched into this core's cache first.
        uintptr_t misaligned = 0;
        for (uint8_t* r : band_outs) misaligned |= reinterpret_cast<uintptr_t>(r) & 31;
        if (misaligned == 0) {
          Cell4Bands<BandCopy::kStream>(lines.data(), band_outs, grouped, max_alpha + base, signature + base);
        } else {
          Cell4Bands<BandCopy::kStore>(lines.data(), band_outs, grouped, max_alpha + base, signature + base);
        }
      } else {
        Cell4Bands<BandCopy::kNone>(lines.data(), nullptr, grouped, max_alpha + base, signature + base);
      }
      uint32_t col = grouped;
      for (; col < vector_cols; col += 2) {
        __m256i c, t;
        Strip(lines.data(), outs.data(), cell, static_cast<size_t>(col) * 4, lane_mod4, &c, &t);
        Fold4(&c, &t);
        signature[base + col] = static_cast<uint32_t>(_mm256_extract_epi32(c, 0)) & 0xFFFFFFu;
        max_alpha[base + col] = static_cast<uint8_t>(_mm256_extract_epi32(t, 0));
        if (col + 1 < vector_cols) {
          signature[base + col + 1] = static_cast<uint32_t>(_mm256_extract_epi32(c, 4)) & 0xFFFFFFu;
          max_alpha[base + col + 1] = static_cast<uint8_t>(_mm256_extract_epi32(t, 4));
        }
      }
    } else {
      for (uint32_t col = 0; col < vector_cols; ++col) {
        __m256i sum = _mm256_setzero_si256(), top = _mm256_setzero_si256();
        for (uint32_t k = 0; k < cell / 8; ++k) {
          __m256i c, t;
          Strip(lines.data(), outs.data(), cell, static_cast<size_t>(col) * cell + 8 * k,
                _mm256_add_epi32(lane, _mm256_set1_epi32(static_cast<int32_t>(8 * k))), &c, &t);
          sum = _mm256_add_epi32(sum, c);
          top = _mm256_max_epu32(top, t);
        }
        Fold4(&sum, &top);
        signature[base + col] =
            (static_cast<uint32_t>(_mm256_extract_epi32(sum, 0)) + static_cast<uint32_t>(_mm256_extract_epi32(sum, 4))) &
            0xFFFFFFu;
        max_alpha[base + col] = static_cast<uint8_t>(
            std::max(static_cast<uint32_t>(_mm256_extract_epi32(top, 0)), static_cast<uint32_t>(_mm256_extract_epi32(top, 4))));
      }
    }
    // The cells at the right edge, and (when copying) the pixels the strips did not store.
    for (uint32_t col = vector_cols; col < grid.cols; ++col) {
      OneCellScalar(bgra, stride, width, height, cell, col, row, &max_alpha[base + col], &signature[base + col]);
    }
    if (copy_to != nullptr && vector_end < static_cast<size_t>(width)) {
      for (uint32_t dy = 0; dy < cell; ++dy) {
        if (outs[dy] != nullptr) {
          std::memcpy(outs[dy] + vector_end * 4, lines[dy] + vector_end * 4, (static_cast<size_t>(width) - vector_end) * 4);
        }
      }
    }
  }
  // Streaming stores are ordered before whatever follows (the keyed mutex's release).
  if (copy_to != nullptr) _mm_sfence();
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

void FrameAnalysis::Compare() {
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
