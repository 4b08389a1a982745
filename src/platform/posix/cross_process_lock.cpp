#include "platform/cross_process_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "base/text.h"
#include "platform/posix/unique_fd.h"

namespace vyo::platform {
namespace {

class FlockLock final : public CrossProcessLock {
 public:
  explicit FlockLock(UniqueFd fd) : fd_(std::move(fd)) {}
  ~FlockLock() override { flock(fd_.get(), LOCK_UN); }

 private:
  UniqueFd fd_;
};

}  // namespace

std::unique_ptr<CrossProcessLock> CrossProcessLock::Acquire(const std::u16string& name,
                                                            const std::u16string& beside_dir, uint32_t timeout_ms) {
  std::string dir = Utf16ToUtf8(beside_dir);
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  const std::string path = dir + Utf16ToUtf8(name) + ".lock";
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return std::make_unique<FlockLock>(std::move(fd));
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return nullptr;
}

std::string MachineId() {
  std::ifstream in("/etc/machine-id");
  std::string id;
  std::getline(in, id);
  return id;
}

}  // namespace vyo::platform
