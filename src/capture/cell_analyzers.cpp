// The two forms of the cell analysis: in this process (AVX2 or scalar) and on the GPU.
#include <string_view>
#include <vector>

#include "capture/cell_analyzer.h"
#include "capture/frame_analysis.h"
#include "platform/gpu_cell_analyzer.h"

namespace vyo::capture {
namespace {

// Works when read: Submit notes the frame (which the pipeline keeps until it has published), and
// TryRead analyses it straight into the caller's cells, copying it on the way where asked.
class CpuCellAnalyzer final : public CellAnalyzer {
 public:
  const char* Kind() const override { return "cpu"; }
  bool Configure(const host::HitGrid& grid, int32_t width, int32_t height) override {
    grid_ = grid;
    width_ = width;
    height_ = height;
    frame_ = nullptr;
    return grid.cells() != 0 && width > 0 && height > 0;
  }
  bool Submit(const uint8_t* bgra, size_t stride, uint8_t* copy_to, size_t copy_stride, bool* copied) override {
    *copied = false;
    if (grid_.cells() == 0 || bgra == nullptr) return false;
    frame_ = bgra;
    stride_ = stride;
    // Only the AVX2 code copies as it reads.
    copy_to_ = avx2_ ? copy_to : nullptr;
    copy_stride_ = copy_stride;
    *copied = copy_to_ != nullptr;
    return true;
  }
  Read TryRead(uint8_t* max_alpha, uint32_t* signature) override {
    if (frame_ == nullptr) return Read::kFailed;
    if (avx2_) {
      AnalyseCellsAvx2(frame_, stride_, width_, height_, grid_, max_alpha, signature, &scratch_, copy_to_, copy_stride_);
    } else {
      AnalyseCellsScalar(frame_, stride_, width_, height_, grid_, max_alpha, signature);
    }
    frame_ = nullptr;
    return Read::kDone;
  }
  bool Synchronous() const override { return true; }

 private:
  const bool avx2_ = std::string_view(CellAnalysisPath()) == "avx2";
  host::HitGrid grid_;
  int32_t width_ = 0, height_ = 0;
  const uint8_t* frame_ = nullptr;  // submitted, not yet read
  size_t stride_ = 0;
  uint8_t* copy_to_ = nullptr;
  size_t copy_stride_ = 0;
  std::vector<uint32_t> scratch_;
};

// The platform's pixel-shader analysis, made again for each new cell size (the shader is
// generated for one).
class GpuCellAnalysis final : public CellAnalyzer {
 public:
  GpuCellAnalysis(std::unique_ptr<platform::GpuCellAnalyzer> device, uint32_t cell)
      : device_(std::move(device)), cell_(cell) {}
  const char* Kind() const override { return "d3d11"; }
  bool Configure(const host::HitGrid& grid, int32_t width, int32_t height) override {
    grid_ = grid;
    width_ = width;
    height_ = height;
    if (grid.cells() == 0 || width <= 0 || height <= 0) return false;
    if (!device_ || cell_ != grid.cell) {
      device_ = platform::GpuCellAnalyzer::Create(grid.cell);
      cell_ = device_ ? grid.cell : 0;
    }
    return device_ != nullptr;
  }
  bool Submit(const uint8_t* bgra, size_t stride, uint8_t*, size_t, bool* copied) override {
    *copied = false;
    return device_ && device_->Submit(bgra, stride, static_cast<uint32_t>(width_), static_cast<uint32_t>(height_),
                                      grid_.cols, grid_.rows);
  }
  Read TryRead(uint8_t* max_alpha, uint32_t* signature) override {
    if (!device_) return Read::kFailed;
    switch (device_->TryRead(max_alpha, signature)) {
      case platform::GpuCellAnalyzer::ReadResult::kDone: return Read::kDone;
      case platform::GpuCellAnalyzer::ReadResult::kBusy: return Read::kBusy;
      case platform::GpuCellAnalyzer::ReadResult::kFailed: break;
    }
    return Read::kFailed;
  }
  bool Synchronous() const override { return false; }

 private:
  std::unique_ptr<platform::GpuCellAnalyzer> device_;
  uint32_t cell_ = 0;
  host::HitGrid grid_;
  int32_t width_ = 0, height_ = 0;
};

}  // namespace

std::unique_ptr<CellAnalyzer> CreateCpuCellAnalyzer() { return std::make_unique<CpuCellAnalyzer>(); }

std::unique_ptr<CellAnalyzer> CreateGpuCellAnalyzer() {
  // Made for the smallest cell, the one most views get; null where the platform has no GPU form.
  auto device = platform::GpuCellAnalyzer::Create(4);
  if (!device) return nullptr;
  return std::make_unique<GpuCellAnalysis>(std::move(device), 4);
}

}  // namespace vyo::capture
