// The ids of the views that exist, for threads other than the main one (module threads choosing an
// id for a new view). Kept from the registry's events; its own small lock is a leaf: nothing is
// called while it is held.
#pragma once
#include <cstdint>
#include <mutex>
#include <set>

#include "views/view_registry.h"

namespace vyo::host {

class LiveViewIds final : public IViewObserver {
 public:
  bool Contains(uint32_t view_id) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return ids_.count(view_id) != 0;
  }
  void OnViewCreated(uint32_t view_id) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ids_.insert(view_id);
  }
  void OnViewDestroyed(uint32_t view_id) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ids_.erase(view_id);
  }

 private:
  mutable std::mutex mutex_;
  std::set<uint32_t> ids_;
};

}  // namespace vyo::host
