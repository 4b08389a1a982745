#include "protocol/texture_layout.h"

#include <cstdio>

#include "base/text.h"

namespace vyo::host {
namespace {

void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

std::u16string TextureObjectName(uint64_t shared_handle) {
  char text[32];
  std::snprintf(text, sizeof text, "tex.%016llx", static_cast<unsigned long long>(shared_handle));
  return Utf8ToUtf16(text);
}

size_t TextureObjectSize(uint32_t width, uint32_t height) {
  if (width < 1 || height < 1 || width > 16384 || height > 16384) return 0;
  return kTextureHeaderSize + static_cast<size_t>(width) * height * 4;
}

void WriteTextureHeader(uint8_t* base, uint32_t width, uint32_t height) {
  std::memcpy(base, kTextureMagic, sizeof kTextureMagic);
  PutU32(base + kTexWidth, width);
  PutU32(base + kTexHeight, height);
  PutU32(base + kTexPitch, width * 4);
  PutU32(base + kTexFormat, kTextureFormatBgra);
  PutU32(base + kTexKeyWord, kHostKey);
  PutU32(base + 28, 0);
}

bool ReadTextureHeader(const uint8_t* base, size_t object_size, uint32_t* width, uint32_t* height) {
  if (object_size < kTextureHeaderSize || std::memcmp(base, kTextureMagic, sizeof kTextureMagic) != 0) return false;
  const uint32_t w = GetU32(base + kTexWidth), h = GetU32(base + kTexHeight);
  const size_t need = TextureObjectSize(w, h);
  if (need == 0 || need > object_size || GetU32(base + kTexPitch) != w * 4 ||
      GetU32(base + kTexFormat) != kTextureFormatBgra) {
    return false;
  }
  *width = w;
  *height = h;
  return true;
}

std::u16string DirtyMapName(const std::u16string& pipe_name, uint32_t view_id) {
  return pipe_name + u"_dirty_" + Utf8ToUtf16(std::to_string(view_id));
}

uint32_t PublishDirty(uint8_t* map, bool full, int32_t x, int32_t y, int32_t w, int32_t h) {
  PutU32(map + 4, full ? 1u : 0u);
  std::memcpy(map + 8, &x, 4);
  std::memcpy(map + 12, &y, 4);
  std::memcpy(map + 16, &w, 4);
  std::memcpy(map + 20, &h, 4);
  std::atomic_ref<uint32_t> seq(*reinterpret_cast<uint32_t*>(map));
  const uint32_t next = seq.load(std::memory_order_relaxed) + 1;
  seq.store(next, std::memory_order_release);
  return next;
}

void ResetDirtyMap(uint8_t* map) {
  std::memset(map, 0, kDirtyMapSize);
  PutU32(map + 4, 1);
}

DirtyUpdate ReadDirty(const uint8_t* map) {
  DirtyUpdate d;
  d.seq = std::atomic_ref<uint32_t>(*const_cast<uint32_t*>(reinterpret_cast<const uint32_t*>(map)))
              .load(std::memory_order_acquire);
  d.full = GetU32(map + 4);
  std::memcpy(&d.x, map + 8, 4);
  std::memcpy(&d.y, map + 12, 4);
  std::memcpy(&d.w, map + 16, 4);
  std::memcpy(&d.h, map + 20, 4);
  return d;
}

}  // namespace vyo::host
