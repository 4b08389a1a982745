// Any bytes as a native button's image file: decoded (the format told by the first bytes),
// premultiplied and stretched to a small button. Nothing may read or write out of bounds, whatever
// the headers claim.
#include <cstdint>
#include <vector>

#include "capture/image_files.h"
#include "capture/pixel_convert.h"
#include "platform/image_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vyo::platform::DecodedImage image;
  if (!vyo::platform::DecodeImageData(data, size, &image)) return 0;
  const size_t pixels = static_cast<size_t>(image.width) * image.height;
  if (image.width < 1 || image.height < 1 || image.pixels.size() != pixels * 4) __builtin_trap();
  vyo::capture::Premultiply(image.pixels.data(), image.pixels.data(), pixels,
                            image.order == vyo::platform::ChannelOrder::kRgba);
  // A size from the data's last bytes, so that both shrinking and enlarging are reached.
  const uint32_t w = 1 + data[size - 1] % 40, h = 1 + data[size - 2] % 40;
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 4);
  vyo::capture::StretchBgra(image.pixels.data(), image.width, image.height, out.data(), w, h);
  return 0;
}
