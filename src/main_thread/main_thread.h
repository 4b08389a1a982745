// MainThread: the host's main thread as other code sees it. It owns the main-thread wait once
// start-up has created it, and runs tasks posted from any thread there, in the order they were
// posted. Views, the browser and windows belong to this thread; other threads post to it.
//
// Before the wait exists, tasks posted from other threads are kept and handed to the wait when it
// arrives; after shutdown has released the wait, posted tasks are refused with a log line. A task is
// never run on the wrong thread.
#pragma once
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "platform/main_wait.h"

namespace vyo::host {

class MainThread {
 public:
  // The constructing thread is the main thread until Attach names another.
  MainThread();
  ~MainThread();
  MainThread(const MainThread&) = delete;
  MainThread& operator=(const MainThread&) = delete;

  // Start-up, on the main thread: the wait tasks are posted to from now on; tasks kept so far go
  // to it in order.
  void Attach(std::unique_ptr<platform::MainThreadWait> wait);
  // Shutdown, on the main thread: the wait goes, tasks not run yet are dropped and later posts are
  // refused. Callers stop watching their objects with the wait first.
  void Detach();

  bool RunsTasksOnCurrentThread() const { return std::this_thread::get_id() == thread_id_; }

  // Any thread: queues `task` for the main thread. False (and a log line) when refused.
  bool PostTask(std::function<void()> task, const SourceLocation& from = SourceLocation::Current());
  // Runs `task` now when called on the main thread, otherwise posts it.
  void RunOrPost(std::function<void()> task, const SourceLocation& from = SourceLocation::Current());
  // Main-thread-only entry points call this: off the main thread it logs the caller and, in debug
  // builds, stops the program.
  void CheckOnMainThread(const SourceLocation& from = SourceLocation::Current()) const;

  // The wait, or null before start-up and after shutdown. Main thread only.
  platform::MainThreadWait* wait() const { return wait_.get(); }

 private:
  std::thread::id thread_id_;
  std::mutex mutex_;  // guards the fields below, never held while a task runs
  std::unique_ptr<platform::MainThreadWait> wait_;
  std::deque<std::function<void()>> early_tasks_;
  bool detached_ = false;
  int refusal_logs_ = 0;
};

}  // namespace vyo::host
