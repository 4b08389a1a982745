#include "capture/image_files.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "capture/pixel_convert.h"
#include "platform/image_decoder.h"

namespace vyo::capture {
namespace {

// One pass along one axis: `count` lines of `src_len` pixels (consecutive pixels `src_step` apart,
// lines `src_line` apart) into lines of `dst_len` pixels, premultiplied channels averaged by area.
template <typename In, typename Out>
void StretchAxis(const In* src, uint32_t src_len, uint32_t count, size_t src_step, size_t src_line, Out* dst,
                 uint32_t dst_len, size_t dst_step, size_t dst_line) {
  const double scale = static_cast<double>(src_len) / dst_len;  // source pixels per destination pixel
  for (uint32_t d = 0; d < dst_len; ++d) {
    const double begin = d * scale, end = (d + 1) * scale;
    const uint32_t first = static_cast<uint32_t>(std::floor(begin));
    const uint32_t last = std::min<uint32_t>(src_len - 1, static_cast<uint32_t>(std::ceil(end)) - 1);
    for (uint32_t line = 0; line < count; ++line) {
      float sum[4] = {0, 0, 0, 0};
      for (uint32_t s = first; s <= last; ++s) {
        const float weight = static_cast<float>(std::min<double>(end, s + 1) - std::max<double>(begin, s));
        if (weight <= 0) continue;
        const In* p = src + (line * src_line + s * src_step) * 4;
        for (int c = 0; c < 4; ++c) sum[c] += static_cast<float>(p[c]) * weight;
      }
      Out* q = dst + (line * dst_line + d * dst_step) * 4;
      for (int c = 0; c < 4; ++c) {
        const float v = sum[c] / static_cast<float>(scale);
        if constexpr (std::is_same_v<Out, uint8_t>) {
          q[c] = static_cast<uint8_t>(std::clamp(std::lround(v), 0l, 255l));
        } else {
          q[c] = v;
        }
      }
    }
  }
}

}  // namespace

bool StretchBgra(const uint8_t* src, uint32_t sw, uint32_t sh, uint8_t* dst, uint32_t dw, uint32_t dh) {
  if (sw == dw && sh == dh) {
    std::copy(src, src + static_cast<size_t>(sw) * sh * 4, dst);
    return true;
  }
  if (static_cast<uint64_t>(dw) * sh > kMaxStretchPixels) return false;
  std::vector<float> across(static_cast<size_t>(dw) * sh * 4);
  StretchAxis(src, sw, sh, 1, sw, across.data(), dw, 1, dw);
  StretchAxis(across.data(), sh, dw, dw, 1, dst, dh, dw, 1);
  // A premultiplied colour never exceeds its alpha (rounding could make it one above).
  for (size_t i = 0; i < static_cast<size_t>(dw) * dh * 4; i += 4)
    for (int c = 0; c < 3; ++c) dst[i + c] = std::min(dst[i + c], dst[i + 3]);
  return true;
}

bool DecodeImageFileToBgra(const std::u16string& path, int32_t width, int32_t height, std::vector<uint8_t>* out) {
  if (path.empty() || width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide) return false;
  platform::DecodedImage image;
  if (!platform::DecodeImageFile(path, &image) || image.width < 1 || image.height < 1 ||
      image.pixels.size() != static_cast<size_t>(image.width) * image.height * 4) {
    return false;
  }
  const size_t pixels = static_cast<size_t>(image.width) * image.height;
  Premultiply(image.pixels.data(), image.pixels.data(), pixels, image.order == platform::ChannelOrder::kRgba);
  out->assign(static_cast<size_t>(width) * height * 4, 0);
  return StretchBgra(image.pixels.data(), image.width, image.height, out->data(), static_cast<uint32_t>(width),
                     static_cast<uint32_t>(height));
}

}  // namespace vyo::capture
