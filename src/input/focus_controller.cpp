#include "input/focus_controller.h"

#include <atomic>
#include <limits>
#include <vector>

#include "base/log.h"

namespace vyo::host {
namespace {

constexpr char16_t kBlurScript[] = u"try{window.__vyoBlurOverlayInput&&window.__vyoBlurOverlayInput()}catch(e){}";
constexpr int32_t kBudget = 3;

// One counter for the whole process: a view re-created with the same id never takes an answer
// meant for its predecessor.
uint32_t NextEpoch() {
  static std::atomic<uint32_t> counter{0};
  return ++counter;
}

}  // namespace

FocusController::FocusController(const HostSettings& settings, HostCounters& counters, ViewRegistry& views,
                                 OverlayChannel& overlay, web::WebViewManager& web, web::PagePolicy& pages)
    : settings_(settings),
      counters_(counters),
      views_(views),
      overlay_(overlay),
      web_(web),
      pages_(pages),
      link_(std::make_shared<FocusController*>(this)) {}

FocusController::~FocusController() { *link_ = nullptr; }

void FocusController::RegisterCommands(CommandDispatcher& dispatcher) {
  dispatcher.On<ViewSetFocusCmd>([this](const ViewSetFocusCmd& c) { SetFocus(c.view_id); });
  dispatcher.On<FocusClearCmd>([this](const FocusClearCmd&) { ClearFocus(); });
}

uint32_t FocusController::logical_focus_view() {
  std::lock_guard<ViewsLock> guard(views_.lock());
  return logical_focus_view_;
}

void FocusController::SetFocus(uint32_t view_id) {
  // The count saturates.
  uint32_t count = counters_.set_focus_count.load();
  while (count != std::numeric_limits<uint32_t>::max() &&
         !counters_.set_focus_count.compare_exchange_weak(count, count + 1)) {
  }
  uint32_t previous = 0;
  {
    std::lock_guard<ViewsLock> guard(views_.lock());
    previous = logical_focus_view_;
    logical_focus_view_ = view_id;
    views_.ForEachLocked([&](ViewState& v) { v.input.has_logical_focus = v.view_id == view_id; });
  }
  if (settings_.windowed) {
    if (previous != 0 && previous != view_id) RunOverlayInputScript(previous, kBlurScript, "blur overlay input");
    if (view_id != 0) {
      {
        std::lock_guard<ViewsLock> guard(views_.lock());
        focus_emulation_view_ = view_id;
      }
      SetFocusEmulation(view_id, true);
    } else {
      DisableFocusEmulationAll();
    }
    overlay_.SendLog(StringPrintf("SetFocus windowed, no foreground grab, view_id=%u", view_id));
    return;
  }
  if (previous != 0 && previous != view_id) SetFocusEmulation(previous, false);
  SetFocusEmulation(view_id, true);
  overlay_.SendLog(StringPrintf("SetFocus logical, view_id=%u", view_id));
}

void FocusController::ClearFocus() {
  uint32_t previous = 0;
  {
    std::lock_guard<ViewsLock> guard(views_.lock());
    previous = std::exchange(logical_focus_view_, 0);
    views_.ForEachLocked([](ViewState& v) { v.input.has_logical_focus = false; });
  }
  if (previous != 0 && focus_lost_) focus_lost_(previous);
  if (settings_.windowed) {
    // The windowed overlay window and the foreground hand-back join here once windowed
    // presentation exists; emulation stays as it is.
    RunOverlayInputScript(0, kBlurScript, "blur overlay input");
    pages_.input_focus().ClearAllInputFocus();
    overlay_.SendLog(StringPrintf("ClearFocus windowed, keep emulation, view_id=%u",
                                  previous != 0 ? previous : DefaultKeyboardView()));
    return;
  }
  if (previous != 0) {
    SetFocusEmulation(previous, false);
    overlay_.SendLog(StringPrintf("ClearFocus logical, view_id=%u", previous));
  }
  RunOverlayInputScript(0, kBlurScript, "blur overlay input");
  pages_.input_focus().ClearAllInputFocus();
}

void FocusController::SetFocusEmulation(uint32_t view_id, bool want) {
  std::unique_lock<ViewsLock> lock(views_.lock());
  ViewState* view = views_.FindLocked(view_id);
  if (view == nullptr || view->kind == ViewKind::kNative) return;
  ViewInputState& f = view->input;
  if (want != f.focus_emulation_wanted) f.focus_emulation_budget = kBudget;
  f.focus_emulation_wanted = want;
  if (!f.focus_emulation_pending && want != f.focus_emulation_enabled) RequestLocked(lock, *view, want);
}

void FocusController::RequestLocked(std::unique_lock<ViewsLock>& lock, ViewState& view, bool value) {
  ViewInputState& f = view.input;
  if (!view.web.webview || f.focus_emulation_budget <= 0) return;
  f.focus_emulation_pending = true;
  f.focus_emulation_pending_value = value;
  --f.focus_emulation_budget;
  const uint32_t epoch = f.focus_emulation_epoch;
  const uint32_t view_id = view.view_id;
  const std::shared_ptr<web::IWebView> webview = view.web.webview;
  lock.unlock();
  std::weak_ptr<FocusController*> link = link_;
  const web::HResult hr = webview->CallDevToolsProtocolMethodWithResult(
      "Emulation.setFocusEmulationEnabled", value ? "{\"enabled\":true}" : "{\"enabled\":false}",
      [link, view_id, epoch, value](web::HResult result, const std::string&) {
        auto controller = link.lock();
        if (controller && *controller) (*controller)->OnFocusEmulationCompleted(view_id, epoch, value, result);
      });
  if (web::Failed(hr)) OnFocusEmulationCompleted(view_id, epoch, value, hr);
}

void FocusController::DisableFocusEmulationAll() {
  std::vector<uint32_t> ids;
  {
    std::lock_guard<ViewsLock> guard(views_.lock());
    focus_emulation_view_ = 0;
    views_.ForEachLocked([&](const ViewState& v) {
      const ViewInputState& f = v.input;
      if (v.kind != ViewKind::kNative &&
          (f.focus_emulation_wanted || f.focus_emulation_enabled || f.focus_emulation_pending)) {
        ids.push_back(v.view_id);
      }
    });
  }
  for (uint32_t id : ids) {
    std::unique_lock<ViewsLock> lock(views_.lock());
    ViewState* view = views_.FindLocked(id);
    if (view == nullptr) continue;
    ViewInputState& f = view->input;
    if (f.focus_emulation_wanted) f.focus_emulation_budget = kBudget;
    f.focus_emulation_wanted = false;
    if (!f.focus_emulation_pending && f.focus_emulation_enabled) RequestLocked(lock, *view, false);
  }
}

void FocusController::OnFocusEmulationCompleted(uint32_t view_id, uint32_t epoch, bool value, web::HResult hr) {
  bool stale = false;
  bool retry = false;
  bool wanted = false;
  {
    std::lock_guard<ViewsLock> guard(views_.lock());
    ViewState* view = views_.FindLocked(view_id);
    stale = view == nullptr || view->input.focus_emulation_epoch != epoch || !view->input.focus_emulation_pending ||
            view->input.focus_emulation_pending_value != value;
    if (!stale) {
      ViewInputState& f = view->input;
      f.focus_emulation_pending = false;
      if (web::Failed(hr)) {
        f.focus_emulation_enabled = !f.focus_emulation_wanted;  // disagree, so that another request may follow
      } else {
        f.focus_emulation_budget = kBudget;
        f.focus_emulation_enabled = value;
      }
      wanted = f.focus_emulation_wanted;
      retry = f.focus_emulation_enabled != f.focus_emulation_wanted && f.focus_emulation_budget > 0;
    }
  }
  if (stale || web::Failed(hr)) {
    std::string line = StringPrintf("focus emulation %s, view_id=%u, enabled=%d, epoch=%u, hr=0x%s",
                                    stale ? "stale" : "failed", view_id, value ? 1 : 0, epoch, HrHex(hr).c_str());
    if (!stale) line += ", runtime=" + web_.GetAvailableBrowserVersion();
    overlay_.SendLog(line);
  }
  if (retry) SetFocusEmulation(view_id, wanted);
}

void FocusController::RunOverlayInputScript(uint32_t view_id, const std::u16string& script, const char* label) {
  if (script.empty()) return;
  std::vector<std::shared_ptr<web::IWebView>> targets;
  {
    std::lock_guard<ViewsLock> guard(views_.lock());
    views_.ForEachLocked([&](const ViewState& v) {
      if ((view_id == 0 || v.view_id == view_id) && v.kind != ViewKind::kNative && v.web.webview) {
        targets.push_back(v.web.webview);
      }
    });
  }
  for (const auto& wv : targets) {
    const web::HResult hr = wv->ExecuteScript(script);
    if (web::Failed(hr)) {
      overlay_.SendLog(std::string(label != nullptr ? label : "overlay input script") + ", hr=0x" + HrHex(hr));
    }
  }
}

uint32_t FocusController::DefaultKeyboardView() {
  std::lock_guard<ViewsLock> guard(views_.lock());
  uint32_t only = 0;
  int visible = 0;
  views_.ForEachLocked([&](const ViewState& v) {
    if (v.visible && v.kind != ViewKind::kNative) {
      ++visible;
      only = v.view_id;
    }
  });
  return visible == 1 ? only : logical_focus_view_;
}

void FocusController::OnViewClosing(uint32_t view_id) {
  std::lock_guard<ViewsLock> guard(views_.lock());
  ViewState* view = views_.FindLocked(view_id);
  if (view == nullptr) return;
  // The web view goes: a new epoch, nothing confirmed or pending; the wanted state stays.
  ViewInputState& f = view->input;
  f.focus_emulation_epoch = NextEpoch();
  f.focus_emulation_enabled = false;
  f.focus_emulation_pending = false;
  f.focus_emulation_pending_value = false;
  f.focus_emulation_budget = kBudget;
}

void FocusController::OnViewDestroyed(uint32_t view_id) {
  std::lock_guard<ViewsLock> guard(views_.lock());
  if (logical_focus_view_ == view_id) logical_focus_view_ = 0;
  if (focus_emulation_view_ == view_id) focus_emulation_view_ = 0;
}

}  // namespace vyo::host
