// Image files on Linux: PNG (libspng), JPEG (libjpeg), GIF (giflib) and BMP (read here), each
// decoded into straight RGBA, first frame only.
#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstring>
#include <algorithm>
#include <memory>

#include <gif_lib.h>
#include <jpeglib.h>
#include <spng.h>

#include "platform/files.h"
#include "platform/image_decoder.h"

namespace vyo::platform {
namespace {

bool SideOk(uint64_t width, uint64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxDecodedSide && height <= kMaxDecodedSide;
}

bool DecodePngFile(const std::vector<uint8_t>& data, DecodedImage* out) {
  std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
  if (!ctx) return false;
  spng_set_image_limits(ctx.get(), kMaxDecodedSide, kMaxDecodedSide);
  spng_set_chunk_limits(ctx.get(), 64u << 20, 64u << 20);
  if (spng_set_png_buffer(ctx.get(), data.data(), data.size()) != 0) return false;
  spng_ihdr ihdr{};
  size_t bytes = 0;
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0 || spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &bytes) != 0 ||
      bytes != static_cast<size_t>(ihdr.width) * ihdr.height * 4) {
    return false;
  }
  out->pixels.resize(bytes);
  if (spng_decode_image(ctx.get(), out->pixels.data(), bytes, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0) return false;
  out->width = ihdr.width;
  out->height = ihdr.height;
  return true;
}

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

bool DecodeJpeg(const std::vector<uint8_t>& data, DecodedImage* out) {
  jpeg_decompress_struct info{};
  JpegError error{};
  info.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = [](j_common_ptr common) { std::longjmp(reinterpret_cast<JpegError*>(common->err)->jump, 1); };
  error.mgr.output_message = [](j_common_ptr) {};
  if (setjmp(error.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || !SideOk(info.image_width, info.image_height)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = JCS_EXT_RGBA;
  jpeg_start_decompress(&info);
  const size_t row_bytes = static_cast<size_t>(info.output_width) * 4;
  out->pixels.resize(row_bytes * info.output_height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out->pixels.data() + row_bytes * info.output_scanline;
    jpeg_read_scanlines(&info, &row, 1);
  }
  out->width = info.output_width;
  out->height = info.output_height;
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

struct GifSource {
  const std::vector<uint8_t>* data;
  size_t at = 0;
};

bool DecodeGif(const std::vector<uint8_t>& data, DecodedImage* out) {
  GifSource source{&data};
  int error = 0;
  GifFileType* gif = DGifOpen(&source, [](GifFileType* file, GifByteType* buffer, int length) -> int {
    auto* src = static_cast<GifSource*>(file->UserData);
    const size_t n = std::min(static_cast<size_t>(length), src->data->size() - src->at);
    std::memcpy(buffer, src->data->data() + src->at, n);
    src->at += n;
    return static_cast<int>(n);
  }, &error);
  if (gif == nullptr) return false;
  std::unique_ptr<GifFileType, void (*)(GifFileType*)> owner(gif, [](GifFileType* g) { DGifCloseFile(g, nullptr); });
  if (!SideOk(static_cast<uint64_t>(gif->SWidth), static_cast<uint64_t>(gif->SHeight)) || DGifSlurp(gif) != GIF_OK ||
      gif->ImageCount < 1) {
    return false;
  }
  const SavedImage& frame = gif->SavedImages[0];
  const ColorMapObject* colours = frame.ImageDesc.ColorMap != nullptr ? frame.ImageDesc.ColorMap : gif->SColorMap;
  if (colours == nullptr) return false;
  GraphicsControlBlock control{};
  control.TransparentColor = NO_TRANSPARENT_COLOR;
  DGifSavedExtensionToGCB(gif, 0, &control);
  const uint32_t width = static_cast<uint32_t>(gif->SWidth), height = static_cast<uint32_t>(gif->SHeight);
  out->pixels.assign(static_cast<size_t>(width) * height * 4, 0);  // transparent around the frame
  const GifImageDesc& d = frame.ImageDesc;
  for (int y = 0; y < d.Height; ++y) {
    for (int x = 0; x < d.Width; ++x) {
      const int tx = d.Left + x, ty = d.Top + y;
      if (tx < 0 || ty < 0 || tx >= static_cast<int>(width) || ty >= static_cast<int>(height)) continue;
      const int index = frame.RasterBits[static_cast<size_t>(y) * d.Width + x];
      if (index == control.TransparentColor || index >= colours->ColorCount) continue;
      uint8_t* p = out->pixels.data() + (static_cast<size_t>(ty) * width + tx) * 4;
      p[0] = colours->Colors[index].Red;
      p[1] = colours->Colors[index].Green;
      p[2] = colours->Colors[index].Blue;
      p[3] = 255;
    }
  }
  out->width = width;
  out->height = height;
  return true;
}

uint32_t U32(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint32_t>(d[at]) | static_cast<uint32_t>(d[at + 1]) << 8 | static_cast<uint32_t>(d[at + 2]) << 16 |
         static_cast<uint32_t>(d[at + 3]) << 24;
}

bool DecodeBmp(const std::vector<uint8_t>& d, DecodedImage* out) {
  if (d.size() < 54) return false;
  const uint32_t offset = U32(d, 10), header = U32(d, 14);
  if (header < 40 || 14ull + header > d.size()) return false;
  const int32_t width = static_cast<int32_t>(U32(d, 18)), raw_height = static_cast<int32_t>(U32(d, 22));
  const uint32_t bits = d[28] | d[29] << 8, compression = U32(d, 30);
  const bool top_down = raw_height < 0;
  const int64_t height = top_down ? -static_cast<int64_t>(raw_height) : raw_height;
  if (width < 1 || !SideOk(static_cast<uint64_t>(width), static_cast<uint64_t>(height))) return false;
  // Plain 24- or 32-bit rows, or 32-bit bit fields in the usual BGRA places.
  const bool fields_ok = compression == 3 && bits == 32 && (header >= 52 || d.size() >= 66) &&
                         U32(d, 54) == 0x00FF0000u && U32(d, 58) == 0x0000FF00u && U32(d, 62) == 0x000000FFu;
  if (!((compression == 0 && (bits == 24 || bits == 32)) || fields_ok)) return false;
  const size_t stride = (static_cast<size_t>(width) * bits / 8 + 3) & ~size_t{3};
  if (offset > d.size() || stride * static_cast<size_t>(height) > d.size() - offset) return false;
  out->pixels.resize(static_cast<size_t>(width) * height * 4);
  bool any_alpha = false;
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* src = d.data() + offset + stride * static_cast<size_t>(top_down ? y : height - 1 - y);
    uint8_t* dst = out->pixels.data() + static_cast<size_t>(y) * width * 4;
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* p = src + static_cast<size_t>(x) * (bits / 8);
      dst[x * 4] = p[2];
      dst[x * 4 + 1] = p[1];
      dst[x * 4 + 2] = p[0];
      dst[x * 4 + 3] = bits == 32 ? p[3] : 255;
      any_alpha = any_alpha || (bits == 32 && p[3] != 0);
    }
  }
  if (bits == 32 && !any_alpha) {
    for (size_t i = 3; i < out->pixels.size(); i += 4) out->pixels[i] = 255;  // alpha not used by the file
  }
  out->width = static_cast<uint32_t>(width);
  out->height = static_cast<uint32_t>(height);
  return true;
}

// The format is told by the first bytes, not by the file's name.
bool DecodeBytes(const std::vector<uint8_t>& data, DecodedImage* out) {
  if (data.size() < 8 || data.size() > kMaxImageFileBytes) return false;
  out->order = ChannelOrder::kRgba;
  if (std::memcmp(data.data(), "\x89PNG", 4) == 0) return DecodePngFile(data, out);
  if (data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return DecodeJpeg(data, out);
  if (std::memcmp(data.data(), "GIF87a", 6) == 0 || std::memcmp(data.data(), "GIF89a", 6) == 0) return DecodeGif(data, out);
  if (data[0] == 'B' && data[1] == 'M') return DecodeBmp(data, out);
  return false;
}

}  // namespace

bool DecodeImageFile(const std::u16string& path, DecodedImage* out) {
  if (path.empty() || out == nullptr) return false;
  std::vector<uint8_t> data;
  if (ReadWholeFile(path, kMaxImageFileBytes, data) != FileStatus::kOk) return false;
  return DecodeBytes(data, out);
}

bool DecodeImageData(const uint8_t* data, size_t size, DecodedImage* out) {
  if (data == nullptr || out == nullptr) return false;
  return DecodeBytes(std::vector<uint8_t>(data, data + size), out);
}

}  // namespace vyo::platform
