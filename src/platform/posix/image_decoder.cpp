#include "platform/image_decoder.h"

#include <spng.h>

#include <memory>

namespace vyo::platform {

bool DecodePng(const uint8_t* data, size_t size, DecodedImage* out) {
  if (data == nullptr || size == 0 || out == nullptr) return false;
  std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
  if (!ctx) return false;
  // Frames are trusted no further than any other outside input: bounded sides and chunk sizes.
  spng_set_image_limits(ctx.get(), kMaxDecodedSide, kMaxDecodedSide);
  spng_set_chunk_limits(ctx.get(), 64u << 20, 64u << 20);
  spng_set_crc_action(ctx.get(), SPNG_CRC_USE, SPNG_CRC_USE);  // skip CRC checks: the browser wrote it
  if (spng_set_png_buffer(ctx.get(), data, size) != 0) return false;
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0) return false;
  size_t bytes = 0;
  if (spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &bytes) != 0) return false;
  if (bytes != static_cast<size_t>(ihdr.width) * ihdr.height * 4) return false;
  out->pixels.resize(bytes);
  if (spng_decode_image(ctx.get(), out->pixels.data(), bytes, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0) return false;
  out->width = ihdr.width;
  out->height = ihdr.height;
  out->order = ChannelOrder::kRgba;
  return true;
}

}  // namespace vyo::platform
