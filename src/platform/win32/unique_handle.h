// The OS layer's one owner of a kernel handle on Windows: closes it when it goes. Both the null
// handle and INVALID_HANDLE_VALUE mean "none".
#pragma once
#include <windows.h>

#include <utility>

namespace vyo::platform {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }
  // Gives the handle up without closing it.
  HANDLE release() { return std::exchange(h_, nullptr); }
  // Closes the handle held (if any) and takes `h`.
  void reset(HANDLE h = nullptr) {
    const HANDLE old = std::exchange(h_, h);
    if (old != nullptr && old != INVALID_HANDLE_VALUE) CloseHandle(old);
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace vyo::platform
