// The pipe reader over an arbitrary sequence of pipe messages: the input is split into messages by
// 2-byte little-endian lengths, then read with the real frame reader and command dispatch.
#include <cstddef>
#include <cstdint>

#include "fakes/fake_pipe.h"
#include "fakes/manual_clock.h"
#include "protocol/commands.h"
#include "overlay_channel/pipe_channel.h"
#include "protocol/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vyo::testing::FakePipe pipe;
  size_t i = 0;
  while (i + 2 <= size) {
    const size_t n = static_cast<size_t>(data[i] | (data[i + 1] << 8));
    i += 2;
    const size_t take = n < size - i ? n : size - i;
    pipe.PushMessage(std::vector<uint8_t>(data + i, data + i + take));
    i += take;
  }
  pipe.CloseIncoming();
  vyo::testing::ManualClock clock;
  for (int pass = 0; pass < 8; ++pass) {
    const auto r = vyo::host::PumpPipeFrames(pipe, clock, vyo::host::kMaxPayload,
                                             [](uint32_t type, const std::vector<uint8_t>& payload) {
                                               (void)vyo::host::DecodeCommand(type, payload.data(), payload.size());
                                               return true;
                                             });
    if (r.stop != vyo::host::PumpStop::kNone || r.frames == 0) break;
  }
  return 0;
}
