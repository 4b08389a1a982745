// Tests that drive a subsystem without the view service add, erase and announce registry records
// through this access class (in the product only the view service does).
#pragma once
#include <cstdint>
#include <mutex>

#include "views/view_registry.h"

namespace vyo::host {

class ViewRegistryTestAccess {
 public:
  // The record of `view_id`, made when missing. Hold views.lock() around it.
  static ViewState& GetOrCreateLocked(ViewRegistry& views, uint32_t view_id) { return views.GetOrCreateLocked(view_id); }
  // A view ends as the view service ends it: closing, erased, destroyed.
  static void Destroy(ViewRegistry& views, uint32_t view_id) {
    views.NotifyClosing(view_id);
    {
      std::lock_guard<ViewsLock> guard(views.lock());
      views.EraseLocked(view_id);
    }
    views.NotifyDestroyed(view_id);
  }
  static void RemoveAllViews(ViewRegistry& views) { views.RemoveAllViews(); }
  static void NotifyCreated(ViewRegistry& views, uint32_t view_id) { views.NotifyCreated(view_id); }
  static void NotifyResized(ViewRegistry& views, uint32_t view_id) { views.NotifyResized(view_id); }
  static void NotifyHidden(ViewRegistry& views, uint32_t view_id) { views.NotifyHidden(view_id); }
  static void NotifyNavigating(ViewRegistry& views, uint32_t view_id) { views.NotifyNavigating(view_id); }
  static void NotifyClosing(ViewRegistry& views, uint32_t view_id) { views.NotifyClosing(view_id); }
};

}  // namespace vyo::host
