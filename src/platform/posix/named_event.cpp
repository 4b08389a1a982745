#include "platform/named_event.h"

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <time.h>

#include "platform/posix/names.h"

namespace vyo::platform {
namespace {

class SemaphoreEvent final : public NamedEvent {
 public:
  SemaphoreEvent(sem_t* sem, std::string unlink_name) : sem_(sem), unlink_name_(std::move(unlink_name)) {}
  ~SemaphoreEvent() override {
    sem_close(sem_);
    if (!unlink_name_.empty()) sem_unlink(unlink_name_.c_str());
  }

  bool TryWait() override {
    // Auto-reset semantics: any number of signals since the last wait count as one.
    bool signalled = false;
    while (sem_trywait(sem_) == 0) signalled = true;
    return signalled;
  }

  bool Wait(uint32_t timeout_ms) override {
    if (TryWait()) return true;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1'000'000;
    if (deadline.tv_nsec >= 1'000'000'000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1'000'000'000;
    }
    while (sem_timedwait(sem_, &deadline) != 0) {
      if (errno != EINTR) return false;
    }
    TryWait();
    return true;
  }

  void Signal() override { sem_post(sem_); }
  intptr_t NativeHandle() const override { return reinterpret_cast<intptr_t>(sem_); }

 private:
  sem_t* sem_;
  std::string unlink_name_;
};

std::string SemName(const std::u16string& name) { return "/vyo.ev." + posix::ObjectName(name); }

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::Open(const std::u16string& name) {
  if (name.empty()) return nullptr;
  sem_t* sem = sem_open(SemName(name).c_str(), 0);
  if (sem == SEM_FAILED) return nullptr;
  return std::make_unique<SemaphoreEvent>(sem, std::string());
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::u16string& name) {
  if (name.empty()) return nullptr;
  const std::string sem_name = SemName(name);
  sem_unlink(sem_name.c_str());
  sem_t* sem = sem_open(sem_name.c_str(), O_CREAT | O_EXCL, 0600, 0);
  if (sem == SEM_FAILED) return nullptr;
  return std::make_unique<SemaphoreEvent>(sem, sem_name);
}

}  // namespace vyo::platform
