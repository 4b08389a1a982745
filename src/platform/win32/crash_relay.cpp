#include "platform/crash_relay.h"

#include <windows.h>

#include <system_error>
#include <thread>

namespace vyo::platform {

struct CrashRelay::State {
  std::function<void()> job;
  HANDLE wake = nullptr;
  std::atomic<int> asked{0};  // 1: run the job, 2: stop
  std::atomic<int> done{0};
  std::thread thread;
};

CrashRelay::CrashRelay(std::function<void()> job) {
  auto* state = new State();
  state->job = std::move(job);
  state->wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (state->wake == nullptr) {
    delete state;
    return;
  }
  try {
    state->thread = std::thread([state] {
      WaitForSingleObject(state->wake, INFINITE);
      if (state->asked.load() == 1 && state->job) state->job();
      state->done.store(1);
    });
  } catch (const std::system_error&) {
    CloseHandle(state->wake);
    delete state;
    return;
  }
  state_ = state;
  started_ = true;
}

CrashRelay::~CrashRelay() {
  if (state_ == nullptr) return;
  int idle = 0;
  if (state_->asked.compare_exchange_strong(idle, 2)) SetEvent(state_->wake);
  if (state_->asked.load() == 2 || state_->done.load() != 0) {
    state_->thread.join();  // idle, or its job has ended
    CloseHandle(state_->wake);
    delete state_;
    return;
  }
  // The job is still running (stuck behind a failure): its state stays for it.
  state_->thread.detach();
}

bool CrashRelay::RunAndWait(uint32_t timeout_ms) {
  if (state_ == nullptr) return false;
  int idle = 0;
  if (state_->asked.compare_exchange_strong(idle, 1)) SetEvent(state_->wake);
  const uint64_t deadline = SignalSafeTickMs() + timeout_ms;
  while (state_->done.load() == 0) {
    if (SignalSafeTickMs() >= deadline) return false;
    SignalSafeSleepMs(1);
  }
  return true;
}

uint64_t SignalSafeTickMs() { return GetTickCount64(); }

void SignalSafeSleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace vyo::platform
