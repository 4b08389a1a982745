#include "protocol/hit_mask_layout.h"

#include <atomic>
#include <cstring>

#include "base/text.h"

namespace vyo::host {
namespace {

std::atomic_ref<uint32_t> Field(uint8_t* block, size_t offset) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(block + offset));
}
uint32_t Load(const uint8_t* block, size_t offset) {
  return std::atomic_ref<uint32_t>(*const_cast<uint32_t*>(reinterpret_cast<const uint32_t*>(block + offset)))
      .load(std::memory_order_acquire);
}
void Store(uint8_t* block, size_t offset, uint32_t value) { Field(block, offset).store(value, std::memory_order_relaxed); }

constexpr uint32_t kMaxSide = 640;

uint64_t Ceil(int64_t value, uint32_t cell) { return (static_cast<uint64_t>(value) + cell - 1) / cell; }

// Writes one buffer under the sequence lock; `bytes` null writes zeros.
void Publish(uint8_t* block, const uint8_t* bytes, uint32_t cells, uint32_t threshold, uint32_t seq) {
  if (cells > kHitMaskMaxCells) return;
  const uint32_t active = seq & 1u;
  Field(block, kHitState).store(kHitMaskWriting, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  uint8_t* buffer = block + kHitMaskHeaderSize + static_cast<size_t>(active) * cells;
  if (bytes != nullptr) {
    std::memcpy(buffer, bytes, cells);
  } else {
    std::memset(buffer, 0, cells);
  }
  std::atomic_thread_fence(std::memory_order_seq_cst);
  Store(block, kHitActive, active);
  Store(block, kHitThreshold, threshold);
  Store(block, kHitSeq, seq);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  Field(block, kHitState).store(kHitMaskValid, std::memory_order_release);
}

}  // namespace

std::u16string HitMaskName(const std::u16string& pipe_name, uint32_t view_id) {
  return pipe_name + u"_hitmask_" + Utf8ToUtf16(std::to_string(view_id));
}

uint32_t CellSize(int64_t width, int64_t height) {
  if (width < 1) width = 1;
  if (height < 1) height = 1;
  uint32_t cell = 4;
  while (cell < 64) {
    const uint64_t cols = Ceil(width, cell), rows = Ceil(height, cell);
    if (cols * rows <= kHitMaskMaxCells && cols <= kMaxSide && rows <= kMaxSide) break;
    cell *= 2;
  }
  return cell;
}

HitGrid GridFor(int64_t width, int64_t height) {
  if (width < 1 || height < 1) return {};
  const uint32_t cell = CellSize(width, height);
  const uint64_t cols = Ceil(width, cell), rows = Ceil(height, cell);
  if (cols > UINT32_MAX || rows > UINT32_MAX) return {0, 0, cell};
  return {static_cast<uint32_t>(cols), static_cast<uint32_t>(rows), cell};
}

void InitHitMaskHeader(uint8_t* block, const HitGrid& grid, uint32_t threshold) {
  Field(block, kHitState).store(kHitMaskInitialising, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  std::memset(block + kHitMaskHeaderSize, 0, kHitMaskBlockSize - kHitMaskHeaderSize);
  Store(block, kHitCols, grid.cols);
  Store(block, kHitCell, grid.cell);
  Store(block, kHitRows, grid.rows);
  Store(block, kHitSeq, 0);
  Store(block, kHitThreshold, threshold);
  Store(block, kHitActive, 0);
  Store(block, kHitBufferSize, static_cast<uint32_t>(grid.cells()));
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

void SetHitMaskThreshold(uint8_t* block, uint32_t threshold) {
  Field(block, kHitThreshold).store(threshold, std::memory_order_release);
}

void WriteHitMask(uint8_t* block, const uint8_t* bytes, uint32_t cells, uint32_t threshold, uint32_t seq) {
  if (block == nullptr || bytes == nullptr) return;
  Publish(block, bytes, cells, threshold, seq);
}

void WriteZeroHitMask(uint8_t* block, uint32_t cells, uint32_t threshold, uint32_t seq) {
  if (block == nullptr) return;
  Publish(block, nullptr, cells, threshold, seq);
}

bool ReadHitMask(const uint8_t* block, HitMaskView* out) {
  const uint32_t state = Load(block, kHitState);
  const uint32_t seq = Load(block, kHitSeq);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (state != kHitMaskValid) return false;
  const uint32_t cols = Load(block, kHitCols), rows = Load(block, kHitRows);
  const uint64_t cells = static_cast<uint64_t>(cols) * rows;
  if (cells == 0 || cells > kHitMaskMaxCells || Load(block, kHitBufferSize) != cells) return false;
  const uint32_t active = Load(block, kHitActive) & 1u;
  out->cells.resize(static_cast<size_t>(cells));
  std::memcpy(out->cells.data(), block + kHitMaskHeaderSize + static_cast<size_t>(active) * cells, cells);
  out->cols = cols;
  out->rows = rows;
  out->cell = Load(block, kHitCell);
  out->threshold = Load(block, kHitThreshold);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (Load(block, kHitState) != kHitMaskValid || Load(block, kHitSeq) != seq) return false;
  out->seq = seq;
  return true;
}

}  // namespace vyo::host
