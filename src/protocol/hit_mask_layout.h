// The hit mask: where a view is opaque, published beside its texture in a named block the overlay
// opens by name ("<pipe>_hitmask_<view id>") to decide which pointer input belongs to the view.
//
// Layout (little-endian): a 32-byte header {u32 seq, u32 state, u32 cols, u32 rows, u32 cell,
// u32 threshold, u32 active, u32 buffer size}, then two buffers of cols x rows bytes, each byte the
// highest alpha of the view's pixels in that cell (row after row). The block always has
// kHitMaskBlockSize bytes.
//
// Publication is a sequence lock: the writer sets state 2, writes the buffer seq & 1, then active,
// threshold and seq, then state 1, with full fences between the steps. A reader takes state and seq,
// copies the buffer, and takes them again: the copy is good when state was 1 both times and seq did
// not move.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vyo::host {

constexpr size_t kHitMaskHeaderSize = 32;
constexpr size_t kHitMaskBlockSize = 0x200020;  // 2 MiB of buffers + the header
constexpr uint32_t kHitMaskMaxCells = 0x100000;  // one buffer's capacity
constexpr uint32_t kHitMaskInitialising = 0, kHitMaskValid = 1, kHitMaskWriting = 2;

// Header offsets.
constexpr size_t kHitSeq = 0, kHitState = 4, kHitCols = 8, kHitRows = 12, kHitCell = 16, kHitThreshold = 20,
                 kHitActive = 24, kHitBufferSize = 28;

// The block's object name: the pipe name + "_hitmask_" + the view id in decimal.
std::u16string HitMaskName(const std::u16string& pipe_name, uint32_t view_id);

// The grid of a view: the cell edge (4, 8, 16, 32 or 64) doubles from 4 while the grid has more
// than kHitMaskMaxCells cells or more than 640 columns or rows, and stops at 64.
struct HitGrid {
  uint32_t cols = 0, rows = 0, cell = 0;
  uint64_t cells() const { return static_cast<uint64_t>(cols) * rows; }
  // Whether both buffers fit the block (a view so large that even cell 64 does not fit gets no mask).
  bool FitsBlock() const { return cell != 0 && cells() != 0 && cells() <= kHitMaskMaxCells; }
};
uint32_t CellSize(int64_t width, int64_t height);
HitGrid GridFor(int64_t width, int64_t height);

// Writer side (the host). `block` has kHitMaskBlockSize bytes.
// A new grid: state 0, buffers zeroed, the grid and threshold, seq 0, active 0.
void InitHitMaskHeader(uint8_t* block, const HitGrid& grid, uint32_t threshold);
void SetHitMaskThreshold(uint8_t* block, uint32_t threshold);
// Publishes `cells` (the host's own grid size, never a size read back from the block) as update
// `seq`. Nothing happens when `cells` exceeds a buffer.
void WriteHitMask(uint8_t* block, const uint8_t* bytes, uint32_t cells, uint32_t threshold, uint32_t seq);
// The same with a buffer of zeros.
void WriteZeroHitMask(uint8_t* block, uint32_t cells, uint32_t threshold, uint32_t seq);

// Reader side (the overlay).
struct HitMaskView {
  uint32_t seq = 0, cols = 0, rows = 0, cell = 0, threshold = 0;
  std::vector<uint8_t> cells;  // cols x rows
  bool Opaque(uint32_t col, uint32_t row) const { return cells[static_cast<size_t>(row) * cols + col] >= threshold; }
};
// One consistent copy of the latest grid; false while the block is being (re)initialised or
// written (try again), or when its header does not describe a grid that fits.
bool ReadHitMask(const uint8_t* block, HitMaskView* out);

}  // namespace vyo::host
