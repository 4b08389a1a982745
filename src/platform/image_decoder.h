// The image-decoding port: PNG bytes to 8-bit-per-channel pixels with alpha. Windows: the imaging
// component (WIC). Linux: libspng (the fastest PNG decoder Debian packages, measured against
// libpng in bench/bench_frames.cpp). Safe to call on any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vyo::platform {

enum class ChannelOrder { kRgba, kBgra };

struct DecodedImage {
  uint32_t width = 0, height = 0;
  ChannelOrder order = ChannelOrder::kRgba;
  // width x height x 4 bytes, rows top to bottom without gaps; the alpha is what the file holds
  // (no premultiplication is applied here). Reused between calls to avoid allocations.
  std::vector<uint8_t> pixels;
};

// Largest accepted side: larger images are refused before any allocation.
constexpr uint32_t kMaxDecodedSide = 16384;

// Decodes one PNG image. False (and `out` unspecified) when the data is not a PNG the decoder can
// read or its size is out of range.
bool DecodePng(const uint8_t* data, size_t size, DecodedImage* out);

}  // namespace vyo::platform
