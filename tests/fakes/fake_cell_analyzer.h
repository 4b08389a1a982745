// A cell analyzer whose answers a test sets: configuration, submission and reads succeed or fail,
// reads answer busy a given number of times after each submission, and results are the scalar
// analysis of the submitted frame. Asynchronous like a GPU unless told otherwise; the script is
// shared so a test can change it while a pipeline owns the analyzer.
#pragma once
#include <cstring>
#include <memory>
#include <vector>

#include "capture/cell_analyzer.h"
#include "capture/frame_analysis.h"

namespace vyo::testing {

struct CellAnalyzerScript {
  bool fail_configure = false;
  bool fail_submit = false;
  bool fail_read = false;
  int busy_reads = 0;  // reads answered busy after each submission
  bool synchronous = false;
  int configures = 0, submits = 0, reads = 0;
};

class FakeCellAnalyzer final : public capture::CellAnalyzer {
 public:
  explicit FakeCellAnalyzer(std::shared_ptr<CellAnalyzerScript> script) : script_(std::move(script)) {}

  const char* Kind() const override { return "fake"; }
  bool Configure(const host::HitGrid& grid, int32_t width, int32_t height) override {
    ++script_->configures;
    grid_ = grid, width_ = width, height_ = height;
    submitted_ = false;
    return !script_->fail_configure;
  }
  bool Submit(const uint8_t* bgra, size_t stride, uint8_t*, size_t, bool* copied) override {
    ++script_->submits;
    *copied = false;
    if (script_->fail_submit) return false;
    mask_.assign(static_cast<size_t>(grid_.cells()), 0);
    signatures_.assign(static_cast<size_t>(grid_.cells()), 0);
    capture::AnalyseCellsScalar(bgra, stride, width_, height_, grid_, mask_.data(), signatures_.data());
    busy_left_ = script_->busy_reads;
    submitted_ = true;
    return true;
  }
  Read TryRead(uint8_t* max_alpha, uint32_t* signature) override {
    ++script_->reads;
    if (!submitted_) return Read::kFailed;
    if (busy_left_ > 0) {
      --busy_left_;
      return Read::kBusy;
    }
    submitted_ = false;
    if (script_->fail_read) return Read::kFailed;
    std::memcpy(max_alpha, mask_.data(), mask_.size());
    std::memcpy(signature, signatures_.data(), signatures_.size() * 4);
    return Read::kDone;
  }
  bool Synchronous() const override { return script_->synchronous; }

 private:
  std::shared_ptr<CellAnalyzerScript> script_;
  host::HitGrid grid_;
  int32_t width_ = 0, height_ = 0;
  std::vector<uint8_t> mask_;
  std::vector<uint32_t> signatures_;
  int busy_left_ = 0;
  bool submitted_ = false;
};

}  // namespace vyo::testing
