// Helper process for the offline store tests.
//   qos_store_helper hold DIR MS    take the store's lock, write "holder", keep the lock MS ms
//   qos_store_helper store DIR C    append 200 lines of 100 times the character C
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "base/text.h"
#include "platform/cross_process_lock.h"
#include "qos/offline_store.h"

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::u16string dir = vyo::Utf8ToUtf16(argv[2]);
  vyo::qos::OfflineStore store(dir);
  if (std::strcmp(argv[1], "hold") == 0) {
    if (!store.Store(std::string("holder"))) return 3;
    auto lock = vyo::platform::CrossProcessLock::Acquire(u"FenyraOverlayQosOffline", dir, 2000);
    if (!lock) return 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[3])));
    return 0;
  }
  if (std::strcmp(argv[1], "store") == 0) {
    const std::string line(100, argv[3][0]);
    for (int i = 0; i < 200; ++i) {
      if (!store.Store(line)) return 5;
    }
    return 0;
  }
  return 2;
}
