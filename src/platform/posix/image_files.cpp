// Image files on Linux: PNG (libspng), JPEG (libjpeg), GIF (giflib) and BMP (read here), each
// decoded into straight RGBA, first frame only, within the side and pixel limits of
// image_decoder.h (checked from the header, before the pixels are allocated).
#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstring>
#include <algorithm>
#include <memory>
#include <span>
#include <vector>

#include <gif_lib.h>
#include <jpeglib.h>
#include <spng.h>

#include "platform/files.h"
#include "platform/image_decoder.h"

namespace vyo::platform {
namespace {

// Both sides in range and the pixels within the budget (64-bit arithmetic: sides are at most 2^32).
bool SideOk(uint64_t width, uint64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxDecodedSide && height <= kMaxDecodedSide &&
         width * height * 4 <= kMaxDecodedImageBytes;
}

bool DecodePngFile(std::span<const uint8_t> data, DecodedImage* out) {
  std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
  if (!ctx) return false;
  spng_set_image_limits(ctx.get(), kMaxDecodedSide, kMaxDecodedSide);
  spng_set_chunk_limits(ctx.get(), 64u << 20, 64u << 20);
  if (spng_set_png_buffer(ctx.get(), data.data(), data.size()) != 0) return false;
  spng_ihdr ihdr{};
  size_t bytes = 0;
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0 || !SideOk(ihdr.width, ihdr.height) ||
      spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &bytes) != 0 ||
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

// Called by the library as it reads: a file with more scans than kMaxJpegScans (a progressive file
// can have thousands of tiny ones, each a pass over the whole image) ends the decode.
void JpegProgress(j_common_ptr common) {
  if (!common->is_decompressor) return;
  const auto* info = reinterpret_cast<j_decompress_ptr>(common);
  if (info->input_scan_number > kMaxJpegScans) std::longjmp(reinterpret_cast<JpegError*>(common->err)->jump, 1);
}

bool DecodeJpeg(std::span<const uint8_t> data, DecodedImage* out) {
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
  jpeg_progress_mgr progress{};
  progress.progress_monitor = JpegProgress;
  info.progress = &progress;
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
  const std::span<const uint8_t>* data;
  size_t at = 0;
};

// The first image of a GIF, read record by record: extensions before it (the graphics control
// block names its transparent index), then its lines; nothing after it is read, so a file of many
// frames costs one frame.
bool DecodeGif(std::span<const uint8_t> data, DecodedImage* out) {
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
  if (!SideOk(static_cast<uint64_t>(gif->SWidth), static_cast<uint64_t>(gif->SHeight))) return false;
  const int width = gif->SWidth, height = gif->SHeight;
  GraphicsControlBlock control{};
  control.TransparentColor = NO_TRANSPARENT_COLOR;
  for (;;) {
    GifRecordType record = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &record) != GIF_OK) return false;
    if (record == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif, &code, &block) != GIF_OK) return false;
      if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
        DGifExtensionToGCB(block[0], block + 1, &control);
      }
      while (block != nullptr) {
        if (DGifGetExtensionNext(gif, &block) != GIF_OK) return false;
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) return false;  // the end of the file before any image
    if (DGifGetImageDesc(gif) != GIF_OK) return false;
    const GifImageDesc d = gif->Image;
    // A frame is drawn on the logical screen: one larger than the screen is refused (its lines
    // would be decoded for nothing), one placed partly off it is cut.
    if (d.Width < 1 || d.Height < 1 || d.Width > width || d.Height > height || d.Left < 0 || d.Top < 0) return false;
    const ColorMapObject* colours = d.ColorMap != nullptr ? d.ColorMap : gif->SColorMap;
    if (colours == nullptr) return false;
    out->pixels.assign(static_cast<size_t>(width) * height * 4, 0);  // transparent around the frame
    std::vector<GifPixelType> line(static_cast<size_t>(d.Width));
    // Interlaced frames store every 8th row from 0, every 8th from 4, every 4th from 2, then every
    // 2nd from 1.
    static constexpr int kPassStart[] = {0, 4, 2, 1}, kPassStep[] = {8, 8, 4, 2};
    const int passes = d.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
      const int first = d.Interlace ? kPassStart[pass] : 0, step = d.Interlace ? kPassStep[pass] : 1;
      for (int y = first; y < d.Height; y += step) {
        if (DGifGetLine(gif, line.data(), d.Width) != GIF_OK) return false;
        const int ty = d.Top + y;
        if (ty >= height) continue;
        for (int x = 0; x < d.Width; ++x) {
          const int tx = d.Left + x;
          if (tx >= width) break;
          const int index = line[static_cast<size_t>(x)];
          if (index == control.TransparentColor || index >= colours->ColorCount) continue;
          uint8_t* p = out->pixels.data() + (static_cast<size_t>(ty) * width + tx) * 4;
          p[0] = colours->Colors[index].Red;
          p[1] = colours->Colors[index].Green;
          p[2] = colours->Colors[index].Blue;
          p[3] = 255;
        }
      }
    }
    out->width = static_cast<uint32_t>(width);
    out->height = static_cast<uint32_t>(height);
    return true;
  }
}

uint32_t U32(std::span<const uint8_t> d, size_t at) {
  return static_cast<uint32_t>(d[at]) | static_cast<uint32_t>(d[at + 1]) << 8 | static_cast<uint32_t>(d[at + 2]) << 16 |
         static_cast<uint32_t>(d[at + 3]) << 24;
}

uint32_t U16(std::span<const uint8_t> d, size_t at) { return d[at] | static_cast<uint32_t>(d[at + 1]) << 8; }

// One channel of a bit-field pixel: its mask, where it starts and its largest value.
struct BmpChannel {
  uint32_t mask = 0, shift = 0, max = 0;
  explicit BmpChannel(uint32_t m) : mask(m) {
    if (m == 0) return;
    while (((m >> shift) & 1) == 0) ++shift;
    max = m >> shift;
  }
  bool Contiguous() const { return (max & (max + 1)) == 0; }
  uint8_t Of(uint32_t v) const {
    return mask == 0 ? 0 : static_cast<uint8_t>((static_cast<uint64_t>((v & mask) >> shift) * 255 + max / 2) / max);
  }
};

// BMP with a 40-byte or longer header: 1, 4 and 8 bits with a palette; 16 bits (5-5-5, or bit
// fields); 24 bits; 32 bits (plain, or bit fields in the usual B, G, R, A places). Bottom-up and
// top-down rows. Every size is checked against the file in 64-bit arithmetic.
bool DecodeBmp(std::span<const uint8_t> d, DecodedImage* out) {
  if (d.size() < 54) return false;
  const uint64_t offset = U32(d, 10), header = U32(d, 14);
  if (header < 40 || 14 + header > d.size()) return false;
  const int32_t width = static_cast<int32_t>(U32(d, 18)), raw_height = static_cast<int32_t>(U32(d, 22));
  const uint32_t bits = U16(d, 28), compression = U32(d, 30), colours_used = U32(d, 46);
  const bool top_down = raw_height < 0;
  const int64_t height = top_down ? -static_cast<int64_t>(raw_height) : raw_height;
  if (width < 1 || !SideOk(static_cast<uint64_t>(width), static_cast<uint64_t>(height))) return false;
  const bool fields = compression == 3;
  if (compression != 0 && !fields) return false;  // run-length and embedded images are not read
  if (fields && bits != 16 && bits != 32) return false;
  // Bit-field masks follow a 40-byte header (or lie inside a longer one).
  if (fields && 54 + 12 > d.size()) return false;
  const BmpChannel red(fields ? U32(d, 54) : bits == 16 ? 0x7C00u : 0x00FF0000u);
  const BmpChannel green(fields ? U32(d, 58) : bits == 16 ? 0x03E0u : 0x0000FF00u);
  const BmpChannel blue(fields ? U32(d, 62) : bits == 16 ? 0x001Fu : 0x000000FFu);
  if (!red.Contiguous() || !green.Contiguous() || !blue.Contiguous()) return false;
  // 32-bit bit fields only in the usual places: the top byte is then the alpha.
  if (fields && bits == 32 && (red.mask != 0x00FF0000u || green.mask != 0x0000FF00u || blue.mask != 0x000000FFu)) {
    return false;
  }
  // Palette entries (B, G, R, unused) after the header and any masks.
  std::vector<uint8_t> palette;
  if (bits == 1 || bits == 4 || bits == 8) {
    const uint64_t at = 14 + header;
    const uint32_t full = 1u << bits;
    const uint32_t count = colours_used == 0 || colours_used > full ? full : colours_used;
    if (at + 4ull * count > d.size()) return false;
    palette.assign(static_cast<size_t>(full) * 4, 0);  // indices past the palette are black
    for (uint32_t i = 0; i < count; ++i) std::memcpy(&palette[i * 4], d.data() + at + 4ull * i, 3);
  } else if (bits != 16 && bits != 24 && bits != 32) {
    return false;
  }
  const uint64_t stride = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
  if (offset > d.size() || stride * static_cast<uint64_t>(height) > d.size() - offset) return false;
  out->pixels.resize(static_cast<size_t>(width) * height * 4);
  bool any_alpha = false;
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* src = d.data() + offset + stride * static_cast<uint64_t>(top_down ? y : height - 1 - y);
    uint8_t* dst = out->pixels.data() + static_cast<size_t>(y) * width * 4;
    for (int32_t x = 0; x < width; ++x, dst += 4) {
      const uint8_t* p = nullptr;
      uint32_t v = 0;
      switch (bits) {
        case 1:
        case 4:
        case 8: {
          const uint64_t bit = static_cast<uint64_t>(x) * bits;
          const uint32_t index = (src[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
          p = &palette[static_cast<size_t>(index) * 4];
          dst[0] = p[2], dst[1] = p[1], dst[2] = p[0], dst[3] = 255;
          break;
        }
        case 24:
          p = src + static_cast<size_t>(x) * 3;
          dst[0] = p[2], dst[1] = p[1], dst[2] = p[0], dst[3] = 255;
          break;
        default:
          p = src + static_cast<size_t>(x) * (bits / 8);
          v = bits == 16 ? (p[0] | static_cast<uint32_t>(p[1]) << 8)
                         : (p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
                            static_cast<uint32_t>(p[3]) << 24);
          dst[0] = red.Of(v), dst[1] = green.Of(v), dst[2] = blue.Of(v);
          // 32-bit pixels keep their top byte as alpha (when the file uses it at all).
          dst[3] = bits == 32 ? p[3] : 255;
          any_alpha = any_alpha || (bits == 32 && p[3] != 0);
          break;
      }
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
bool DecodeBytes(std::span<const uint8_t> data, DecodedImage* out) {
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
  return DecodeBytes(std::span<const uint8_t>(data, size), out);
}

}  // namespace vyo::platform
