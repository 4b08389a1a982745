// The overlay's side of frame publishing, over the SDK: follows SharedTextureReady and, on every
// Poll, has the SDK copy each view's latest update (keyed-mutex word, DirtyMap, partial copies)
// into its own copy of the view. Keeps per-view frame counts and, for pages that paint a clock
// marker, latency; writes PNGs of each view and of the whole surface (views at their rectangles,
// in z-order, over a plain background). Linux textures only (named shared memory of the CPU
// device).
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/shared_memory.h"
#include "protocol/hit_mask_layout.h"
#include "protocol/protocol.h"
#include "vyo_overlay.h"

namespace vyo::sim {

struct ViewCopy {
  uint32_t view_id = 0;
  uint32_t width = 0, height = 0;
  uint64_t handle = 0;
  uint32_t serial = 0;  // the SDK's count of this view's textures
  int32_t x = 0, y = 0, z = 0;
  bool visible = true;
  // A mapping of the texture of its own, for tests that hold the keyed-mutex word themselves;
  // frames are read through the SDK.
  std::unique_ptr<platform::SharedMemory> texture;
  std::vector<uint8_t> pixels;  // premultiplied BGRA, width x height
  uint32_t last_seq = 0;        // DirtyMap seq of the last copy
  uint32_t frames = 0;          // updates copied
  uint32_t full_updates = 0, partial_updates = 0;
  int64_t partial_left = 0, partial_top = 0, partial_right = 0, partial_bottom = 0;  // union of partial updates
  uint32_t busy = 0;            // polls that found the key taken
  uint64_t first_frame_ms = 0, last_frame_ms = 0;
  std::vector<int64_t> latencies_ms;  // clock marker: page time → copied
};

class SurfaceReader {
 public:
  explicit SurfaceReader(VyoOverlay* overlay) : overlay_(overlay) {}

  // A SharedTextureReady the SDK has taken: a new copy of the view's size. False when the SDK could
  // not open the texture.
  bool OnTextureReady(const host::SharedTextureReadyMsg& msg);
  // The overlay's own view commands: where views are placed and stacked.
  void OnViewPlaced(uint32_t view_id, int32_t x, int32_t y);
  void OnViewZOrder(uint32_t view_id, int32_t z);
  void OnViewVisible(uint32_t view_id, bool visible);
  void OnViewDestroyed(uint32_t view_id);

  // Reads every view once; returns how many views had a new update.
  int Poll(bool read_marker = false);

  const ViewCopy* View(uint32_t view_id) const;
  std::vector<uint32_t> ViewIds() const;

  // PNG (RGBA, straight alpha) of one view, and of the whole surface over `background` (0xRRGGBB).
  bool WriteViewPng(uint32_t view_id, const std::string& path) const;
  // The view's hit mask as an overlay reads it: the block opened by name, state and update number
  // taken before and after the copy (a few tries while the host writes). False when the view has
  // no mask or no consistent copy could be had.
  bool ReadHitMask(uint32_t view_id, host::HitMaskView* out) const;
  // The mask as a picture of the view's size: opaque cells (at the mask's threshold) white, the
  // rest black.
  bool WriteHitMaskPng(uint32_t view_id, const std::string& path) const;
  bool WriteSurfacePng(uint32_t width, uint32_t height, uint32_t background, const std::string& path) const;

 private:
  VyoOverlay* overlay_;
  std::map<uint32_t, ViewCopy> views_;
  std::map<uint32_t, std::pair<int32_t, int32_t>> places_;
  std::map<uint32_t, int32_t> zs_;
};

// Writes a PNG of width x height pixels, RGBA rows (8 bits, straight alpha).
bool WritePng(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgba);
// The clock marker a page paints in its top-left 4 x 4 pixels: milliseconds of the wall clock
// modulo 2^24 as R, G, B (opaque). Read from a premultiplied BGRA copy; -1 when not opaque.
int64_t ReadClockMarker(const std::vector<uint8_t>& bgra, uint32_t width);
// The wall clock in milliseconds (the same clock Date.now() reads).
uint64_t WallClockMs();

}  // namespace vyo::sim
