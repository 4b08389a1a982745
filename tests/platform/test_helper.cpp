// Helper program for the process tests.
//   exit CODE     ends the process with CODE (decimal or 0x-hex), through TerminateCurrentProcess
//   sleep MS      sleeps MS milliseconds, then exits with 0
//   args A B ...  exits with 0 when its arguments equal kQuotedArgs, else 100 + the first bad index
//                 (99 when the count differs)
//   shm MODE NAME...  creates shared memory NAME... and one texture of the CPU device, then
//                 either waits to be killed (MODE "hold") or ends through TerminateCurrentProcess
//                 with 0xE0010001 (MODE "terminate")
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/helper_args.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  using vyo::platform::testing::kQuotedArgs;
  if (argc >= 3 && std::strcmp(argv[1], "exit") == 0) {
    const unsigned long code = std::strtoul(argv[2], nullptr, 0);
    vyo::platform::TerminateCurrentProcess(static_cast<uint32_t>(code));
  }
  if (argc >= 3 && std::strcmp(argv[1], "sleep") == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtoul(argv[2], nullptr, 10)));
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "args") == 0) {
    constexpr int kCount = static_cast<int>(sizeof(kQuotedArgs) / sizeof(kQuotedArgs[0]));
    if (argc - 2 != kCount) return 99;
    for (int i = 0; i < kCount; ++i) {
      if (std::strcmp(argv[i + 2], kQuotedArgs[i]) != 0) return 100 + i;
    }
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "shm") == 0) {
    std::vector<std::unique_ptr<vyo::platform::SharedMemory>> blocks;
    for (int i = 3; i < argc; ++i) {
      const std::string name = argv[i];
      blocks.push_back(vyo::platform::SharedMemory::Create(std::u16string(name.begin(), name.end()), 4096));
      if (!blocks.back()) return 97;
    }
    auto device = vyo::platform::GpuDevice::Create();
    auto texture = device != nullptr ? device->CreateSharedTexture(4, 4, true) : nullptr;
    if (texture == nullptr) return 96;
    if (std::strcmp(argv[2], "terminate") == 0) vyo::platform::TerminateCurrentProcess(0xE0010001u);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return 98;
}
