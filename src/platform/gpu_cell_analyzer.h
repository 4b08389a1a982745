// The GPU form of the hit-mask analysis (capture/frame_analysis.h gives the formula and the CPU
// form): a full-screen pass over a frame texture writes one R8G8B8A8 texel per cell, byte 0 the
// cell's highest alpha and bytes 1-3 its 24-bit signature, read back without waiting. The pixel
// shader is generated for one cell size with its loops written out (a shader compiler that
// mishandles loops then still computes right) and compiled at run time.
//
// Direct3D 11 only (its own device; the compiler library loaded at run time): Create gives null
// on other platforms or when the device or the compiler is missing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vyo::platform {

class GpuCellAnalyzer {
 public:
  virtual ~GpuCellAnalyzer() = default;
  static std::unique_ptr<GpuCellAnalyzer> Create(uint32_t cell);

  // Uploads a premultiplied BGRA frame of width x height (rows of `stride` bytes), draws the pass
  // for a cols x rows grid and starts the copy to the read-back texture. False on failure.
  virtual bool Submit(const uint8_t* bgra, size_t stride, uint32_t width, uint32_t height, uint32_t cols,
                      uint32_t rows) = 0;
  enum class ReadResult { kDone, kBusy, kFailed };
  // The submitted pass's cells, when the GPU has finished (kBusy: not yet, the submission is kept).
  virtual ReadResult TryRead(uint8_t* max_alpha, uint32_t* signature) = 0;
};

}  // namespace vyo::platform
