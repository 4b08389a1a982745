// The layouts of the per-view blocks the host creates and the overlay reads: the shared texture of
// the CPU device (a 32-byte header, then premultiplied BGRA rows) with its keyed-mutex word, and
// the view's DirtyMap (what the last published update rewrote).
//
// Keyed mutex: the host acquires with key 0 and releases with key 1; the overlay acquires with
// key 1 and releases with key 0. Acquire is one compare-exchange of the word from the key to
// kKeyHeld and never waits; release stores the key. The word starts at 0 (the host's turn).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vyo::host {

constexpr uint32_t kTextureFormatBgra = 87;  // B8G8R8A8 unorm
constexpr size_t kTextureHeaderSize = 32;
constexpr char kTextureMagic[8] = {'V', 'Y', 'O', 'T', 'E', 'X', '\0', '\1'};
constexpr uint32_t kKeyHeld = 0xFFFFFFFFu;
constexpr uint32_t kHostKey = 0;     // the host acquires with 0 and releases with 1
constexpr uint32_t kOverlayKey = 1;  // the overlay acquires with 1 and releases with 0

// Header offsets.
constexpr size_t kTexWidth = 8, kTexHeight = 12, kTexPitch = 16, kTexFormat = 20, kTexKeyWord = 24;

// The object name of a texture: "tex." + the shared handle as 16 lower-case hex digits (the OS
// layer adds its own prefix: "/vyo.tex.<16 hex>" on Linux).
std::u16string TextureObjectName(uint64_t shared_handle);

// Bytes of a texture object of width x height (header + rows), or 0 when it would not fit 4 GiB
// per side product checks (sides 1..16384).
size_t TextureObjectSize(uint32_t width, uint32_t height);

// Writes the header of a new texture.
void WriteTextureHeader(uint8_t* base, uint32_t width, uint32_t height);
// Reads and checks a header: the magic, format 87, pitch = 4 x width, and the object's size.
bool ReadTextureHeader(const uint8_t* base, size_t object_size, uint32_t* width, uint32_t* height);

inline std::atomic_ref<uint32_t> KeyWord(uint8_t* base) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base + kTexKeyWord));
}
// True only when the word held `key` and is now taken.
inline bool AcquireKey(uint8_t* base, uint32_t key) {
  uint32_t expected = key;
  return KeyWord(base).compare_exchange_strong(expected, kKeyHeld, std::memory_order_acquire);
}
inline void ReleaseKey(uint8_t* base, uint32_t key) { KeyWord(base).store(key, std::memory_order_release); }

// ---- DirtyMap: 24 bytes {u32 seq, u32 full, i32 x, i32 y, i32 w, i32 h}; seq is written last.
constexpr size_t kDirtyMapSize = 24;

struct DirtyUpdate {
  uint32_t seq = 0;
  uint32_t full = 1;
  int32_t x = 0, y = 0, w = 0, h = 0;
};

// The DirtyMap's object name: the pipe name + "_dirty_" + the view id in decimal.
std::u16string DirtyMapName(const std::u16string& pipe_name, uint32_t view_id);

// Writes full, x, y, w, h, then seq + 1 (release order); returns the new seq.
uint32_t PublishDirty(uint8_t* map, bool full, int32_t x, int32_t y, int32_t w, int32_t h);
// Writes the initial content: seq 0, full 1, zeros.
void ResetDirtyMap(uint8_t* map);
DirtyUpdate ReadDirty(const uint8_t* map);

}  // namespace vyo::host
