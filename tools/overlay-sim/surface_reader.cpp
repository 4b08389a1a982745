#include "surface_reader.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "protocol/texture_layout.h"

namespace vyo::sim {

uint64_t WallClockMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

bool SurfaceReader::OnTextureReady(const host::SharedTextureReadyMsg& msg) {
  ViewCopy& view = views_[msg.view_id];
  view.view_id = msg.view_id;
  view.handle = msg.shared_handle;
  view.last_seq = 0;
  VyoTextureInfo info{sizeof(info)};
  if (vyo_overlay_texture_info(overlay_, msg.view_id, &info) != VYO_OK || info.shared_handle != msg.shared_handle) {
    view.texture.reset();
    return false;
  }
  view.serial = info.serial;
  view.width = info.width;
  view.height = info.height;
  view.pixels.assign(static_cast<size_t>(info.width) * info.height * 4, 0);
  view.texture = platform::SharedMemory::OpenExisting(host::TextureObjectName(msg.shared_handle),
                                                      host::TextureObjectSize(info.width, info.height),
                                                      platform::MapAccess::kWrite);
  if (auto it = places_.find(msg.view_id); it != places_.end()) {
    view.x = it->second.first;
    view.y = it->second.second;
  }
  if (auto it = zs_.find(msg.view_id); it != zs_.end()) view.z = it->second;
  return view.texture != nullptr;
}

void SurfaceReader::OnViewPlaced(uint32_t view_id, int32_t x, int32_t y) {
  places_[view_id] = {x, y};
  if (auto it = views_.find(view_id); it != views_.end()) {
    it->second.x = x;
    it->second.y = y;
  }
}
void SurfaceReader::OnViewZOrder(uint32_t view_id, int32_t z) {
  zs_[view_id] = z;
  if (auto it = views_.find(view_id); it != views_.end()) it->second.z = z;
}
void SurfaceReader::OnViewVisible(uint32_t view_id, bool visible) {
  if (auto it = views_.find(view_id); it != views_.end()) it->second.visible = visible;
}
void SurfaceReader::OnViewDestroyed(uint32_t view_id) {
  views_.erase(view_id);
  places_.erase(view_id);
  zs_.erase(view_id);
}

int SurfaceReader::Poll(bool read_marker) {
  int updated = 0;
  for (auto& [id, view] : views_) {
    if (view.pixels.empty()) continue;
    VyoFrame f{sizeof(f)};
    const int32_t status =
        vyo_overlay_read_frame(overlay_, id, view.pixels.data(), view.width * 4, view.width, view.height, &f);
    if (status == VYO_E_BUSY) ++view.busy;
    if (status != VYO_OK || !f.updated) continue;
    view.last_seq = f.seq;
    if (f.full) {
      ++view.full_updates;
    } else {
      const int64_t x0 = f.x, y0 = f.y, x1 = int64_t{f.x} + f.w, y1 = int64_t{f.y} + f.h;
      if (view.partial_updates++ == 0) {
        view.partial_left = x0, view.partial_top = y0, view.partial_right = x1, view.partial_bottom = y1;
      } else {
        view.partial_left = std::min(view.partial_left, x0);
        view.partial_top = std::min(view.partial_top, y0);
        view.partial_right = std::max(view.partial_right, x1);
        view.partial_bottom = std::max(view.partial_bottom, y1);
      }
    }
    const uint64_t now = WallClockMs();
    if (view.frames == 0) view.first_frame_ms = now;
    view.last_frame_ms = now;
    ++view.frames;
    ++updated;
    if (read_marker) {
      const int64_t marker = ReadClockMarker(view.pixels, view.width);
      if (marker >= 0) {
        const int64_t lag = (static_cast<int64_t>(now & 0xFFFFFF) - marker + (1 << 24)) % (1 << 24);
        if (lag < 10000) view.latencies_ms.push_back(lag);
      }
    }
  }
  return updated;
}

const ViewCopy* SurfaceReader::View(uint32_t view_id) const {
  const auto it = views_.find(view_id);
  return it == views_.end() ? nullptr : &it->second;
}

std::vector<uint32_t> SurfaceReader::ViewIds() const {
  std::vector<uint32_t> ids;
  for (const auto& entry : views_) ids.push_back(entry.first);
  return ids;
}

int64_t ReadClockMarker(const std::vector<uint8_t>& bgra, uint32_t width) {
  if (width < 4 || bgra.size() < static_cast<size_t>(width) * 4 * 4) return -1;
  const uint8_t* p = bgra.data() + (static_cast<size_t>(width) * 2 + 2) * 4;  // pixel (2, 2)
  if (p[3] != 255) return -1;
  return (int64_t{p[2]} << 16) | (int64_t{p[1]} << 8) | p[0];
}

namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void Chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  Put32(out, static_cast<uint32_t>(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  Put32(out, static_cast<uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

// Premultiplied BGRA → straight RGBA.
void Unpremultiply(const uint8_t* bgra, uint8_t* rgba, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t b = bgra[i * 4], g = bgra[i * 4 + 1], r = bgra[i * 4 + 2], a = bgra[i * 4 + 3];
    const auto un = [a](uint8_t c) { return a == 0 ? 0 : static_cast<uint8_t>(std::min(255, (c * 255 + a / 2) / a)); };
    rgba[i * 4] = un(r);
    rgba[i * 4 + 1] = un(g);
    rgba[i * 4 + 2] = un(b);
    rgba[i * 4 + 3] = a;
  }
}

}  // namespace

bool WritePng(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgba) {
  if (width == 0 || height == 0 || rgba.size() != static_cast<size_t>(width) * height * 4) return false;
  std::vector<uint8_t> raw;
  raw.reserve((static_cast<size_t>(width) * 4 + 1) * height);
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);  // no filter
    const uint8_t* row = rgba.data() + static_cast<size_t>(y) * width * 4;
    raw.insert(raw.end(), row, row + static_cast<size_t>(width) * 4);
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packed_size);
  if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK) return false;
  packed.resize(packed_size);
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<uint8_t> ihdr;
  Put32(ihdr, width);
  Put32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA
  Chunk(png, "IHDR", ihdr);
  Chunk(png, "IDAT", packed);
  Chunk(png, "IEND", {});
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
  return std::fclose(f) == 0 && ok;
}

bool SurfaceReader::WriteViewPng(uint32_t view_id, const std::string& path) const {
  const ViewCopy* view = View(view_id);
  if (view == nullptr || view->pixels.empty()) return false;
  std::vector<uint8_t> rgba(view->pixels.size());
  Unpremultiply(view->pixels.data(), rgba.data(), static_cast<size_t>(view->width) * view->height);
  return WritePng(path, view->width, view->height, rgba);
}

bool SurfaceReader::ReadHitMask(uint32_t view_id, host::HitMaskView* out) const {
  VyoHitMask mask{sizeof(mask)};
  if (vyo_overlay_read_hit_mask(overlay_, view_id, &mask) != VYO_OK) return false;
  out->seq = mask.seq;
  out->cols = mask.cols;
  out->rows = mask.rows;
  out->cell = mask.cell;
  out->threshold = mask.threshold;
  out->cells.assign(mask.cells, mask.cells + static_cast<size_t>(mask.cols) * mask.rows);
  return true;
}

bool SurfaceReader::WriteHitMaskPng(uint32_t view_id, const std::string& path) const {
  const ViewCopy* view = View(view_id);
  host::HitMaskView mask;
  if (view == nullptr || !ReadHitMask(view_id, &mask) || mask.cell == 0) return false;
  std::vector<uint8_t> rgba(static_cast<size_t>(view->width) * view->height * 4);
  for (uint32_t y = 0; y < view->height; ++y) {
    for (uint32_t x = 0; x < view->width; ++x) {
      const uint32_t col = x / mask.cell, row = y / mask.cell;
      const uint8_t v = col < mask.cols && row < mask.rows && mask.Opaque(col, row) ? 255 : 0;
      uint8_t* p = rgba.data() + (static_cast<size_t>(y) * view->width + x) * 4;
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  }
  return WritePng(path, view->width, view->height, rgba);
}

bool SurfaceReader::WriteSurfacePng(uint32_t width, uint32_t height, uint32_t background,
                                    const std::string& path) const {
  if (width == 0 || height == 0 || width > 16384 || height > 16384) return false;
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
    rgba[i * 4] = static_cast<uint8_t>(background >> 16);
    rgba[i * 4 + 1] = static_cast<uint8_t>(background >> 8);
    rgba[i * 4 + 2] = static_cast<uint8_t>(background);
    rgba[i * 4 + 3] = 255;
  }
  std::vector<const ViewCopy*> order;
  for (const auto& entry : views_) {
    if (entry.second.visible && !entry.second.pixels.empty()) order.push_back(&entry.second);
  }
  // Lowest z first; equal z by view id, the higher id on top.
  std::stable_sort(order.begin(), order.end(), [](const ViewCopy* a, const ViewCopy* b) { return a->z < b->z; });
  for (const ViewCopy* v : order) {
    for (uint32_t vy = 0; vy < v->height; ++vy) {
      const int64_t sy = int64_t{v->y} + vy;
      if (sy < 0 || sy >= height) continue;
      for (uint32_t vx = 0; vx < v->width; ++vx) {
        const int64_t sx = int64_t{v->x} + vx;
        if (sx < 0 || sx >= width) continue;
        const uint8_t* s = v->pixels.data() + (static_cast<size_t>(vy) * v->width + vx) * 4;
        uint8_t* d = rgba.data() + (static_cast<size_t>(sy) * width + static_cast<size_t>(sx)) * 4;
        const uint32_t inv = 255 - s[3];  // premultiplied "over"
        d[0] = static_cast<uint8_t>(s[2] + (d[0] * inv + 127) / 255);
        d[1] = static_cast<uint8_t>(s[1] + (d[1] * inv + 127) / 255);
        d[2] = static_cast<uint8_t>(s[0] + (d[2] * inv + 127) / 255);
      }
    }
  }
  return WritePng(path, width, height, rgba);
}

}  // namespace vyo::sim
