// The OS layer's one owner of a file descriptor on POSIX systems: closes it when it goes.
#pragma once
#include <unistd.h>

#include <utility>

namespace vyo::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any) and takes `fd`.
  void reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) close(old);
  }

 private:
  int fd_ = -1;
};

}  // namespace vyo::platform
