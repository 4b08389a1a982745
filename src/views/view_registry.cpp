#include "views/view_registry.h"

#include <algorithm>
#include <cassert>

namespace vyo::host {

ViewState* ViewRegistry::FindLocked(uint32_t view_id) {
  auto it = views_.find(view_id);
  return it == views_.end() ? nullptr : &it->second;
}

ViewState& ViewRegistry::GetOrCreateLocked(uint32_t view_id) {
  auto [it, inserted] = views_.try_emplace(view_id);
  if (inserted) it->second.view_id = view_id;
  return it->second;
}

void ViewRegistry::EraseLocked(uint32_t view_id) {
  if (primary_view_id_ == view_id) primary_view_id_ = 0;
  views_.erase(view_id);
}

bool ViewRegistry::IsExtraWebViewLocked(const ViewState& view) const {
  return view.kind == ViewKind::kWeb && primary_view_id_ != 0 && view.view_id != 0 &&
         view.view_id != primary_view_id_;
}

std::vector<uint32_t> ViewRegistry::Ids() {
  std::lock_guard<ViewsLock> guard(lock_);
  std::vector<uint32_t> ids;
  ids.reserve(views_.size());
  for (const auto& entry : views_) ids.push_back(entry.first);
  return ids;
}

size_t ViewRegistry::Count() {
  std::lock_guard<ViewsLock> guard(lock_);
  return views_.size();
}

uint32_t ViewRegistry::primary_view_id() {
  std::lock_guard<ViewsLock> guard(lock_);
  return primary_view_id_;
}

std::optional<ViewState> ViewRegistry::Snapshot(uint32_t view_id) {
  std::lock_guard<ViewsLock> guard(lock_);
  if (const ViewState* view = FindLocked(view_id)) return *view;
  return std::nullopt;
}

std::optional<ViewFacts> ViewRegistry::Facts(uint32_t view_id) {
  std::lock_guard<ViewsLock> guard(lock_);
  if (const ViewState* view = FindLocked(view_id)) return static_cast<const ViewFacts&>(*view);
  return std::nullopt;
}

std::vector<ViewFacts> ViewRegistry::AllFacts() {
  std::lock_guard<ViewsLock> guard(lock_);
  std::vector<ViewFacts> facts;
  facts.reserve(views_.size());
  for (const auto& entry : views_) facts.push_back(entry.second);
  return facts;
}

void ViewRegistry::RemoveAllViews() {
  for (uint32_t id : Ids()) {
    NotifyClosing(id);
    {
      std::lock_guard<ViewsLock> guard(lock_);
      EraseLocked(id);
    }
    NotifyDestroyed(id);
  }
  std::lock_guard<ViewsLock> guard(lock_);
  views_.clear();
  primary_view_id_ = 0;
}

void ViewRegistry::Notify(void (IViewObserver::*event)(uint32_t), uint32_t view_id) {
  // Observers call out (to the browser, the pipe): never with views_lock held.
  assert(!lock_.HeldByCurrentThread());
  for (IViewObserver* o : observers_) (o->*event)(view_id);
}

}  // namespace vyo::host
