#include "capture/pixel_convert.h"

#include <atomic>
#include <utility>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define VYO_X86 1
#endif

namespace vyo::capture {
namespace {

inline uint8_t Mul255(uint32_t c, uint32_t a) {
  const uint32_t x = c * a + 128;
  return static_cast<uint8_t>((x + (x >> 8)) >> 8);  // round(c * a / 255), exact for 8-bit inputs
}

std::atomic<bool> g_force_scalar{false};

#if VYO_X86
__attribute__((target("ssse3"))) void SwapSsse3(const uint8_t* src, uint8_t* dst, size_t pixels) {
  const __m128i shuffle = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
  size_t i = 0;
  for (; i + 4 <= pixels; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * 4), _mm_shuffle_epi8(v, shuffle));
  }
  SwapRedBlueScalar(src + i * 4, dst + i * 4, pixels - i);
}

__attribute__((target("avx2"))) void SwapAvx2(const uint8_t* src, uint8_t* dst, size_t pixels) {
  const __m256i shuffle = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3, 6, 5, 4,
                                           7, 10, 9, 8, 11, 14, 13, 12, 15);
  size_t i = 0;
  for (; i + 8 <= pixels; i += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i * 4));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i * 4), _mm256_shuffle_epi8(v, shuffle));
  }
  SwapRedBlueScalar(src + i * 4, dst + i * 4, pixels - i);
}

// 16-bit lanes: x = c * a + 128; (x + (x >> 8)) >> 8, the same rounding as the scalar form. Each
// pixel's alpha (lane 3 of its four) is spread over its lanes and kept as it is.
__attribute__((target("avx2"))) inline __m256i MulAlphaAvx2(__m256i p) {
  const __m256i alpha_spread = _mm256_setr_epi8(6, 7, 6, 7, 6, 7, 6, 7, 14, 15, 14, 15, 14, 15, 14, 15, 6, 7, 6, 7, 6,
                                                7, 6, 7, 14, 15, 14, 15, 14, 15, 14, 15);
  const __m256i keep_alpha = _mm256_setr_epi16(0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1);
  const __m256i a = _mm256_shuffle_epi8(p, alpha_spread);
  __m256i x = _mm256_add_epi16(_mm256_mullo_epi16(p, a), _mm256_set1_epi16(128));
  x = _mm256_srli_epi16(_mm256_add_epi16(x, _mm256_srli_epi16(x, 8)), 8);
  return _mm256_blendv_epi8(x, p, keep_alpha);
}

__attribute__((target("avx2"))) void PremultiplyAvx2(const uint8_t* src, uint8_t* dst, size_t pixels, bool swap) {
  const __m256i order = swap ? _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3, 6,
                                                5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15)
                             : _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4,
                                                5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m256i zero = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 8 <= pixels; i += 8) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i * 4));
    v = _mm256_shuffle_epi8(v, order);
    const __m256i lo = MulAlphaAvx2(_mm256_unpacklo_epi8(v, zero));
    const __m256i hi = MulAlphaAvx2(_mm256_unpackhi_epi8(v, zero));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i * 4), _mm256_packus_epi16(lo, hi));
  }
  PremultiplyScalar(src + i * 4, dst + i * 4, pixels - i, swap);
}

bool HasAvx2() { return __builtin_cpu_supports("avx2"); }
bool HasSsse3() { return __builtin_cpu_supports("ssse3"); }
#endif

}  // namespace

void SwapRedBlueScalar(const uint8_t* src, uint8_t* dst, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t r = src[i * 4], g = src[i * 4 + 1], b = src[i * 4 + 2], a = src[i * 4 + 3];
    dst[i * 4] = b;
    dst[i * 4 + 1] = g;
    dst[i * 4 + 2] = r;
    dst[i * 4 + 3] = a;
  }
}

void PremultiplyScalar(const uint8_t* src, uint8_t* dst, size_t pixels, bool swap) {
  for (size_t i = 0; i < pixels; ++i) {
    uint8_t c0 = src[i * 4], c1 = src[i * 4 + 1], c2 = src[i * 4 + 2];
    const uint8_t a = src[i * 4 + 3];
    if (swap) std::swap(c0, c2);
    dst[i * 4] = Mul255(c0, a);
    dst[i * 4 + 1] = Mul255(c1, a);
    dst[i * 4 + 2] = Mul255(c2, a);
    dst[i * 4 + 3] = a;
  }
}

void SwapRedBlue(const uint8_t* src, uint8_t* dst, size_t pixels) {
#if VYO_X86
  if (!g_force_scalar.load(std::memory_order_relaxed)) {
    if (HasAvx2()) return SwapAvx2(src, dst, pixels);
    if (HasSsse3()) return SwapSsse3(src, dst, pixels);
  }
#endif
  SwapRedBlueScalar(src, dst, pixels);
}

void Premultiply(const uint8_t* src, uint8_t* dst, size_t pixels, bool swap) {
#if VYO_X86
  if (!g_force_scalar.load(std::memory_order_relaxed) && HasAvx2()) return PremultiplyAvx2(src, dst, pixels, swap);
#endif
  PremultiplyScalar(src, dst, pixels, swap);
}

const char* PixelConvertKind() {
#if VYO_X86
  if (!g_force_scalar.load()) {
    if (HasAvx2()) return "avx2";
    if (HasSsse3()) return "ssse3";
  }
#endif
  return "scalar";
}

void ForceScalarPixelConvert(bool scalar) { g_force_scalar.store(scalar); }

}  // namespace vyo::capture
