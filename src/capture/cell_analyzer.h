// CellAnalyzer: the per-cell analysis of frames (capture/frame_analysis.h gives the formula) behind
// one interface, submitted and read back in two steps so that a device can work while the main
// loop goes on. The CPU form works when its result is read, straight after Submit; the Direct3D 11 form draws a pass and reads its
// result without waiting (platform/gpu_cell_analyzer.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "protocol/hit_mask_layout.h"

namespace vyo::capture {

class CellAnalyzer {
 public:
  enum class Read { kDone, kBusy, kFailed };
  virtual ~CellAnalyzer() = default;
  // "cpu" or "d3d11".
  virtual const char* Kind() const = 0;
  // Prepares for frames of width x height on `grid`. False when the device refuses.
  virtual bool Configure(const host::HitGrid& grid, int32_t width, int32_t height) = 0;
  // Starts the analysis of a frame of at least the configured size (rows of `stride` bytes); only
  // the configured width x height is read. With `copy_to`, an analyzer that reads the frame in this
  // process also writes those pixels there (rows of `copy_stride` bytes) and sets `*copied`.
  virtual bool Submit(const uint8_t* bgra, size_t stride, uint8_t* copy_to, size_t copy_stride, bool* copied) = 0;
  // The submitted frame's cells (grid.cells() of each) once finished. kBusy keeps the submission
  // for the next try; a read without a submission fails.
  virtual Read TryRead(uint8_t* max_alpha, uint32_t* signature) = 0;
  // The result can be read at once after Submit, and a copy fused with the work: the pipeline then
  // holds the texture's key from Submit to its publication.
  virtual bool Synchronous() const = 0;
};

using CellAnalyzerFactory = std::function<std::unique_ptr<CellAnalyzer>()>;

// AVX2 where the processor has it, else the scalar code.
std::unique_ptr<CellAnalyzer> CreateCpuCellAnalyzer();
// The pixel-shader form where the platform has a Direct3D 11 device and shader compiler; null
// elsewhere (its device is its own, made when first configured).
std::unique_ptr<CellAnalyzer> CreateGpuCellAnalyzer();

}  // namespace vyo::capture
