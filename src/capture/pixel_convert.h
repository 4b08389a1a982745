// Pixel conversions of decoded frames into the textures' premultiplied BGRA. Each has a scalar
// form (the reference the tests compare with) and vector forms chosen at run time by what the
// processor offers.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vyo::capture {

// RGBA → BGRA, colour kept (already premultiplied). In place allowed (src == dst).
void SwapRedBlue(const uint8_t* src, uint8_t* dst, size_t pixels);
// Straight RGBA or BGRA → premultiplied BGRA: c' = round(c × a / 255). `swap` swaps red and blue
// (RGBA input). In place allowed.
void Premultiply(const uint8_t* src, uint8_t* dst, size_t pixels, bool swap);

// The scalar forms.
void SwapRedBlueScalar(const uint8_t* src, uint8_t* dst, size_t pixels);
void PremultiplyScalar(const uint8_t* src, uint8_t* dst, size_t pixels, bool swap);

// "avx2", "ssse3" or "scalar": the form SwapRedBlue and Premultiply use on this machine.
const char* PixelConvertKind();
// Forces the scalar forms (tests and benchmarks compare both).
void ForceScalarPixelConvert(bool scalar);

}  // namespace vyo::capture
