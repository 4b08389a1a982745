// Frame analysis for the hit mask: a premultiplied BGRA frame reduced to one value pair per cell of
// the view's grid, the cell's highest alpha and a 24-bit signature of its pixels. For the cell at
// (col, row) and every dy, dx in 0..cell-1, the pixel at (min(col*cell+dx, width-1),
// min(row*cell+dy, height-1)) adds (r + 3g + 7b + 11a) * (5dx + 13dy + 1) to a u32 sum that wraps;
// the signature is the sum's low 24 bits. Only the view's own width x height pixels are read: a
// wider or taller frame's padding never counts.
//
// The scalar code is the oracle; the AVX2 code (chosen at run time) gives the same bits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/hit_mask_layout.h"

namespace vyo::capture {

// Rows of `stride` bytes; `max_alpha` and `signature` have grid.cols x grid.rows entries.
void AnalyseCellsScalar(const uint8_t* bgra, size_t stride, int32_t width, int32_t height, const host::HitGrid& grid,
                        uint8_t* max_alpha, uint32_t* signature);
// The same with AVX2; `scratch` is reused between calls. Only where the processor has AVX2.
// With `copy_to`, the view's pixels are also written there (rows of `copy_stride` bytes) as they
// are read, so that a frame published whole is read from memory once (rows on 32-byte boundaries
// with streaming stores, fenced before the call returns).
void AnalyseCellsAvx2(const uint8_t* bgra, size_t stride, int32_t width, int32_t height, const host::HitGrid& grid,
                      uint8_t* max_alpha, uint32_t* signature, std::vector<uint32_t>* scratch,
                      uint8_t* copy_to = nullptr, size_t copy_stride = 0);

// The fastest path this processor has ("avx2" or "scalar").
const char* CellAnalysisPath();

// Per view: the cells of the latest analysed frame, compared with those of the one before, and
// what their publication must copy.
class FrameAnalysis {
 public:
  // A new grid for a view of width x height: earlier signatures are forgotten.
  void Configure(const host::HitGrid& grid, int32_t width, int32_t height);
  // Forgets the signatures (content lost, view shown again, size settled): the next analysis
  // publishes the whole view.
  void ForceNext() { previous_valid_ = false; }
  // Where an analyzer writes a frame's cells (grid.cells() each) before Compare.
  uint8_t* next_mask() { return mask_.data(); }
  uint32_t* next_signatures() { return fresh_.data(); }
  // Takes the cells just written: the changed rectangle against the previous analysis.
  void Compare();

  // What to publish after Compare: nothing (nothing changed and a full publish is not due), the
  // changed cells' rectangle, or the whole view (forced, the first analysis, a change of 60 % of
  // the view or more, or no full publish within a second).
  struct Plan {
    enum Kind { kUnchanged, kPartial, kFull } kind = kUnchanged;
    int32_t left = 0, top = 0, right = 0, bottom = 0;
  };
  Plan Decide(uint32_t now, bool force_full) const;
  // A publication was made.
  void NotePublished(const Plan& plan, uint32_t now);

  const host::HitGrid& grid() const { return grid_; }
  const std::vector<uint8_t>& mask() const { return mask_; }
  bool configured() const { return grid_.cells() != 0; }

 private:
  host::HitGrid grid_;
  int32_t width_ = 0, height_ = 0;
  std::vector<uint8_t> mask_;
  std::vector<uint32_t> signatures_, fresh_;
  bool previous_valid_ = false;
  bool first_ = true;     // the last analysis had nothing to compare with
  bool changed_ = false;  // the last analysis found changed cells
  int32_t left_ = 0, top_ = 0, right_ = 0, bottom_ = 0;  // changed rectangle, view pixels
  uint32_t last_full_ = 0;
  bool had_full_ = false;
};

}  // namespace vyo::capture
