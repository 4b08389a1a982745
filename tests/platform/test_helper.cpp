// Helper program for the process tests.
//   exit CODE     ends the process with CODE (decimal or 0x-hex), through TerminateCurrentProcess
//   sleep MS      sleeps MS milliseconds, then exits with 0
//   args A B ...  exits with 0 when its arguments equal kQuotedArgs, else 100 + the first bad index
//                 (99 when the count differs)
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/helper_args.h"
#include "platform/process.h"

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
  return 98;
}
