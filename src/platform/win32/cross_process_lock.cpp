#include "platform/cross_process_lock.h"

#include <windows.h>

#include "base/text.h"

#include "platform/win32/unique_handle.h"

namespace vyo::platform {
namespace {

class MutexLock final : public CrossProcessLock {
 public:
  explicit MutexLock(UniqueHandle mutex) : mutex_(std::move(mutex)) {}
  ~MutexLock() override { ReleaseMutex(mutex_.get()); }

 private:
  UniqueHandle mutex_;
};

}  // namespace

std::unique_ptr<CrossProcessLock> CrossProcessLock::Acquire(const std::u16string& name, const std::u16string&,
                                                            uint32_t timeout_ms) {
  const std::u16string full = u"Local\\" + name;
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(full.c_str())));
  if (!mutex) return nullptr;
  const DWORD r = WaitForSingleObject(mutex.get(), timeout_ms);
  // A holder that died without releasing leaves the mutex abandoned: it is ours now.
  if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) return std::make_unique<MutexLock>(std::move(mutex));
  return nullptr;
}

std::string MachineId() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
      ERROR_SUCCESS) {
    return {};
  }
  wchar_t value[128] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t);
  DWORD type = 0;
  std::string id;
  if (RegQueryValueExW(key, L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
      type == REG_SZ) {
    id = Utf16ToUtf8(reinterpret_cast<const char16_t*>(value));
  }
  RegCloseKey(key);
  return id;
}

}  // namespace vyo::platform
