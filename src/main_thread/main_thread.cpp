#include "main_thread/main_thread.h"

#include <cassert>
#include <utility>

namespace vyo::host {
namespace {

// Lines about refused tasks a process writes at most.
constexpr int kRefusalLogBudget = 8;

}  // namespace

MainThread::MainThread() : thread_id_(std::this_thread::get_id()) {}

MainThread::~MainThread() { Detach(); }

void MainThread::Attach(std::unique_ptr<platform::MainThreadWait> wait) {
  std::lock_guard<std::mutex> lock(mutex_);
  thread_id_ = std::this_thread::get_id();
  wait_ = std::move(wait);
  detached_ = false;
  // Handed over under the lock (posting never runs a task), so a task posted meanwhile by another
  // thread queues behind them.
  for (auto& task : early_tasks_) wait_->Post(std::move(task));
  early_tasks_.clear();
}

void MainThread::Detach() {
  std::unique_ptr<platform::MainThreadWait> wait;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    detached_ = true;
    early_tasks_.clear();
    wait = std::move(wait_);
  }
  // Tasks still queued in the wait go with it.
}

bool MainThread::PostTask(std::function<void()> task, const SourceLocation& from) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!detached_) {
      if (wait_) {
        wait_->Post(std::move(task));
      } else {
        early_tasks_.push_back(std::move(task));
      }
      return true;
    }
    if (refusal_logs_ >= kRefusalLogBudget) return false;
    ++refusal_logs_;
  }
  WriteLocalLog(LogLevel::kWarning, "[FenyraOverlayHost]task posted after shutdown refused", from);
  return false;
}

void MainThread::RunOrPost(std::function<void()> task, const SourceLocation& from) {
  if (RunsTasksOnCurrentThread()) {
    task();
  } else {
    PostTask(std::move(task), from);
  }
}

void MainThread::CheckOnMainThread(const SourceLocation& from) const {
  if (RunsTasksOnCurrentThread()) return;
  WriteLocalLog(LogLevel::kError, "[FenyraOverlayHost]main-thread operation called on another thread", from);
  assert(false && "main-thread operation called on another thread");
}

}  // namespace vyo::host
