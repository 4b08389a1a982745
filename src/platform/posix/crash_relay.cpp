#include "platform/crash_relay.h"

#include <errno.h>
#include <semaphore.h>
#include <time.h>

#include <system_error>
#include <thread>

namespace vyo::platform {

struct CrashRelay::State {
  std::function<void()> job;
  sem_t wake;
  std::atomic<int> asked{0};  // 1: run the job, 2: stop
  std::atomic<int> done{0};
  std::thread thread;
};

CrashRelay::CrashRelay(std::function<void()> job) {
  auto* state = new State();
  state->job = std::move(job);
  if (sem_init(&state->wake, 0, 0) != 0) {
    delete state;
    return;
  }
  try {
    state->thread = std::thread([state] {
      while (sem_wait(&state->wake) != 0 && errno == EINTR) {
      }
      if (state->asked.load() == 1 && state->job) state->job();
      state->done.store(1);
    });
  } catch (const std::system_error&) {
    sem_destroy(&state->wake);
    delete state;
    return;
  }
  state_ = state;
  started_ = true;
}

CrashRelay::~CrashRelay() {
  if (state_ == nullptr) return;
  int idle = 0;
  if (state_->asked.compare_exchange_strong(idle, 2)) sem_post(&state_->wake);
  if (state_->asked.load() == 2 || state_->done.load() != 0) {
    state_->thread.join();  // idle, or its job has ended
    sem_destroy(&state_->wake);
    delete state_;
    return;
  }
  // The job is still running (stuck behind a failure): its state stays for it.
  state_->thread.detach();
}

bool CrashRelay::RunAndWait(uint32_t timeout_ms) {
  if (state_ == nullptr) return false;
  int idle = 0;
  if (state_->asked.compare_exchange_strong(idle, 1)) sem_post(&state_->wake);
  const uint64_t deadline = SignalSafeTickMs() + timeout_ms;
  while (state_->done.load() == 0) {
    if (SignalSafeTickMs() >= deadline) return false;
    SignalSafeSleepMs(1);
  }
  return true;
}

uint64_t SignalSafeTickMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SignalSafeSleepMs(uint32_t ms) {
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

}  // namespace vyo::platform
