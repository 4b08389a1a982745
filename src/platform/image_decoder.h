// The image-decoding port: PNG bytes to 8-bit-per-channel pixels with alpha. Windows: the imaging
// component (WIC). Linux: libspng (the fastest PNG decoder Debian packages, measured against
// libpng in bench/bench_frames.cpp). Safe to call on any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
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
// Largest decoded image file, in bytes of pixels (width x height x 4, computed in 64 bits): 16 Mi
// pixels, such as 4096 x 4096. Checked from the file's header before the pixels are allocated.
constexpr uint64_t kMaxDecodedImageBytes = 64ull << 20;
// Most scans a JPEG file may have (a progressive file has about ten); a file with more is refused
// while it is read.
constexpr int kMaxJpegScans = 100;

// Decodes one PNG image. False (and `out` unspecified) when the data is not a PNG the decoder can
// read or its size is out of range.
bool DecodePng(const uint8_t* data, size_t size, DecodedImage* out);

// Largest image file read.
constexpr uint64_t kMaxImageFileBytes = 64ull << 20;

// Decodes an image file (its first frame) with straight alpha. Windows: every format the imaging
// component reads. Linux: PNG (libspng, checksums checked), JPEG (libjpeg), GIF (giflib; the
// first frame on its logical screen, transparent around it) and BMP (uncompressed 1-, 4- and 8-bit
// with a palette, 16-bit, 24-bit and 32-bit, and bit fields; 32-bit images whose alpha is all zero
// count as opaque). Only the first frame of a GIF is read; a GIF frame larger than the logical
// screen is refused. False for anything else, for sides above kMaxDecodedSide, for images above
// kMaxDecodedImageBytes of pixels, for JPEG files with more than kMaxJpegScans scans and for files
// above kMaxImageFileBytes. Any thread; it may take a while for a large file, so the host calls it
// off the main thread.
bool DecodeImageFile(const std::u16string& path, DecodedImage* out);
// The same for the bytes of an image file held in memory.
bool DecodeImageData(const uint8_t* data, size_t size, DecodedImage* out);

}  // namespace vyo::platform
