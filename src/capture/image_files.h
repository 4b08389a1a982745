// Image files for native buttons: decoded (platform/image_decoder.h), premultiplied into BGRA with
// packed rows, and stretched to the size asked for (the aspect ratio is not kept).
//
// Stretching averages areas: each destination pixel is the mean of the source area it covers, the
// source pixels partly covered weighted by the covered fraction, done in premultiplied space, first
// across, then down. Shrinking thus blends every source pixel in; enlarging repeats source pixels
// with a blend where a destination pixel straddles two of them. Equal sizes copy.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vyo::capture {

// Largest side of a decoded or stretched image.
constexpr int32_t kMaxImageSide = 16384;

// Largest intermediate of a stretch (destination width x source height), in pixels: its floats
// take 16 bytes a pixel.
constexpr uint64_t kMaxStretchPixels = 32ull << 20;

// Stretches a premultiplied BGRA image of sw x sh into dw x dh. False when the stretch would need
// more than kMaxStretchPixels of intermediate.
bool StretchBgra(const uint8_t* src, uint32_t sw, uint32_t sh, uint8_t* dst, uint32_t dw, uint32_t dh);

// Decodes `path` into `out` (width x height x 4 bytes of premultiplied BGRA). False (without a log
// line) for an empty path, a size outside 1..kMaxImageSide, or a file that cannot be decoded.
bool DecodeImageFileToBgra(const std::u16string& path, int32_t width, int32_t height, std::vector<uint8_t>* out);

}  // namespace vyo::capture
