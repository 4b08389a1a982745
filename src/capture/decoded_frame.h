// A captured frame on its way to the shared texture, decoded off the main thread.
#pragma once
#include <cstdint>
#include <vector>

#include "capture/capture_port.h"

namespace vyo::capture {

// A frame decoded into premultiplied BGRA, still holding its place in the source's pool.
struct DecodedFrame {
  EncodedFrame source;
  uint64_t session_serial = 0;
  bool from_visual = false;
  int32_t width = 0, height = 0;
  std::vector<uint8_t> bgra;  // width x height x 4, premultiplied
  int64_t arrived = 0;        // performance counter when decoded
  bool paced = false;         // accepted by the pacer, then parked by a busy keyed mutex
};

}  // namespace vyo::capture
