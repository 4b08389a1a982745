// ViewRegistry: the views of the host, by id. Records are added and erased by the view service
// only, which also tells the observers. views_lock guards the table and its records only:
// code holds it for short reads and writes of a record (copy the facts you need, release, then act)
// and never calls out, does file I/O, cryptography or GPU work, or takes another lock while holding
// it. The table is changed on the main thread only.
//
// Subsystems that keep per-view resources observe the registry: the view service tells them, on
// the main thread and without views_lock held, when a view was created, resized, is closing (its
// content goes: destroyed, re-created or shut down) and was destroyed.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "base/lock_checks.h"
#include <vector>

#include "views/view_state.h"

namespace vyo::host {

// views_lock: a mutex that knows which thread holds it, so that calls out of the registry can
// check that it is free.
class ViewsLock {
 public:
  void lock() {
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
    NoteRegistryLockTaken();
  }
  void unlock() {
    NoteRegistryLockReleased();
    owner_.store(std::thread::id());
    mutex_.unlock();
  }
  bool HeldByCurrentThread() const { return owner_.load() == std::this_thread::get_id(); }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

class IViewObserver {
 public:
  virtual ~IViewObserver() = default;
  virtual void OnViewCreated(uint32_t /*view_id*/) {}
  virtual void OnViewResized(uint32_t /*view_id*/) {}
  // The view was visible and is now hidden.
  virtual void OnViewHidden(uint32_t /*view_id*/) {}
  // The view was told to navigate: what it shows is about to change.
  virtual void OnViewNavigating(uint32_t /*view_id*/) {}
  // The view's content is about to go; the view is still in the registry.
  virtual void OnViewClosing(uint32_t /*view_id*/) {}
  virtual void OnViewDestroyed(uint32_t /*view_id*/) {}
};

class ViewRegistry {
 public:
  ViewsLock& lock() { return lock_; }

  // With views_lock held.
  ViewState* FindLocked(uint32_t view_id);
  size_t CountLocked() const { return views_.size(); }
  uint32_t primary_view_id_locked() const { return primary_view_id_; }
  void set_primary_view_id_locked(uint32_t id) { primary_view_id_ = id; }
  // A web view other than the primary one (the primary is the first ordinary web view).
  bool IsExtraWebViewLocked(const ViewState& view) const;
  template <typename F>
  void ForEachLocked(F f) {
    for (auto& entry : views_) f(entry.second);
  }

  // Runs `f` with the view (or null) while holding views_lock and returns what it returns.
  template <typename F>
  auto With(uint32_t view_id, F f) {
    std::lock_guard<ViewsLock> guard(lock_);
    return f(FindLocked(view_id));
  }

  std::vector<uint32_t> Ids();
  size_t Count();
  uint32_t primary_view_id();
  std::optional<ViewState> Snapshot(uint32_t view_id);
  // The plain values of a view's record, copied under the lock.
  std::optional<ViewFacts> Facts(uint32_t view_id);
  std::vector<ViewFacts> AllFacts();

  // Observers, told in the order they were added; the registry does not own them.
  void AddObserver(IViewObserver* observer) { observers_.push_back(observer); }

 private:
  // A view's life goes through the view service alone: it adds and erases records and tells the
  // observers. (Tests reach these through their own access class.)
  friend class ViewService;
  friend class ViewRegistryTestAccess;
  ViewState& GetOrCreateLocked(uint32_t view_id);
  void EraseLocked(uint32_t view_id);
  void RemoveAllViews();  // shutdown: every view closes, then the map empties
  void NotifyCreated(uint32_t view_id) { Notify(&IViewObserver::OnViewCreated, view_id); }
  void NotifyResized(uint32_t view_id) { Notify(&IViewObserver::OnViewResized, view_id); }
  void NotifyHidden(uint32_t view_id) { Notify(&IViewObserver::OnViewHidden, view_id); }
  void NotifyNavigating(uint32_t view_id) { Notify(&IViewObserver::OnViewNavigating, view_id); }
  void NotifyClosing(uint32_t view_id) { Notify(&IViewObserver::OnViewClosing, view_id); }
  void NotifyDestroyed(uint32_t view_id) { Notify(&IViewObserver::OnViewDestroyed, view_id); }
  void Notify(void (IViewObserver::*event)(uint32_t), uint32_t view_id);

  ViewsLock lock_;
  std::map<uint32_t, ViewState> views_;
  uint32_t primary_view_id_ = 0;
  std::vector<IViewObserver*> observers_;
};

}  // namespace vyo::host
