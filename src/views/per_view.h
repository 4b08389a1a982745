// A subsystem's own per-view data: one T per view id, added when the registry says a view was
// created and erased when it says the view was destroyed. Kept on the main thread; no lock.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

namespace vyo::host {

template <typename T>
class PerView {
 public:
  // The view's data, made on first use (a view created again keeps what it had).
  T& Add(uint32_t view_id) { return items_[view_id]; }
  void Erase(uint32_t view_id) { items_.erase(view_id); }
  T* Find(uint32_t view_id) {
    auto it = items_.find(view_id);
    return it == items_.end() ? nullptr : &it->second;
  }
  const T* Find(uint32_t view_id) const {
    auto it = items_.find(view_id);
    return it == items_.end() ? nullptr : &it->second;
  }
  std::vector<uint32_t> Ids() const {
    std::vector<uint32_t> ids;
    ids.reserve(items_.size());
    for (const auto& entry : items_) ids.push_back(entry.first);
    return ids;
  }
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::map<uint32_t, T> items_;
};

}  // namespace vyo::host
