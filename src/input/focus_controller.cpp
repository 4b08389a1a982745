#include "input/focus_controller.h"

#include <atomic>
#include <limits>
#include <utility>
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
                                 OverlayChannel& overlay, web::WebViewManager& web, web::PagePolicy& pages,
                                 IFocusDelegate& delegate)
    : settings_(settings),
      counters_(counters),
      views_(views),
      overlay_(overlay),
      web_(web),
      pages_(pages),
      delegate_(delegate),
      link_(std::make_shared<FocusController*>(this)) {}

FocusController::~FocusController() { *link_ = nullptr; }

void FocusController::RegisterCommands(CommandDispatcher& dispatcher) {
  dispatcher.On<ViewSetFocusCmd>([this](const ViewSetFocusCmd& c) { SetFocus(c.view_id); });
  dispatcher.On<FocusClearCmd>([this](const FocusClearCmd&) { ClearFocus(); });
}

uint32_t FocusController::logical_focus_view() const { return logical_focus_view_; }

bool FocusController::HasLogicalFocus(uint32_t view_id) const {
  return view_id != 0 && logical_focus_view_ == view_id;
}

void FocusController::SetFocus(uint32_t view_id) {
  // The count saturates.
  uint32_t count = counters_.set_focus_count.load();
  while (count != std::numeric_limits<uint32_t>::max() &&
         !counters_.set_focus_count.compare_exchange_weak(count, count + 1)) {
  }
  const uint32_t previous = std::exchange(logical_focus_view_, view_id);
  if (settings_.windowed) {
    if (previous != 0 && previous != view_id) RunOverlayInputScript(previous, kBlurScript, "blur overlay input");
    if (view_id != 0) {
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
  const uint32_t previous = std::exchange(logical_focus_view_, 0);
  if (previous != 0) delegate_.OnFocusLost(previous);
  if (settings_.windowed) {
    // Emulation stays as it is in windowed presentation.
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
  ViewInputState* f = Find(view_id);
  const std::optional<ViewFacts> view = views_.Facts(view_id);
  if (f == nullptr || !view || view->kind == ViewKind::kNative) return;
  if (want != f->focus_emulation_wanted) f->focus_emulation_budget = kBudget;
  f->focus_emulation_wanted = want;
  if (!f->focus_emulation_pending && want != f->focus_emulation_enabled) Request(view_id, *f, want);
}

void FocusController::Request(uint32_t view_id, ViewInputState& f, bool value) {
  const std::shared_ptr<web::IWebView> webview = web_.WebViewOf(view_id);
  if (!webview || f.focus_emulation_budget <= 0) return;
  f.focus_emulation_pending = true;
  f.focus_emulation_pending_value = value;
  --f.focus_emulation_budget;
  const uint32_t epoch = f.focus_emulation_epoch;
  std::weak_ptr<FocusController*> link = link_;
  const web::HResult hr = webview->SetFocusEmulationEnabled(
      value, [link, view_id, epoch, value](web::HResult result) {
        auto controller = link.lock();
        if (controller && *controller) (*controller)->OnFocusEmulationCompleted(view_id, epoch, value, result);
      });
  if (web::Failed(hr)) OnFocusEmulationCompleted(view_id, epoch, value, hr);
}

void FocusController::DisableFocusEmulationAll() {
  std::vector<uint32_t> ids;
  for (const ViewFacts& v : views_.AllFacts()) {
    const ViewInputState* f = Find(v.view_id);
    if (f != nullptr && v.kind != ViewKind::kNative &&
        (f->focus_emulation_wanted || f->focus_emulation_enabled || f->focus_emulation_pending)) {
      ids.push_back(v.view_id);
    }
  }
  for (uint32_t id : ids) {
    ViewInputState* f = Find(id);  // looked up again: a request went out to the browser
    if (f == nullptr) continue;
    if (f->focus_emulation_wanted) f->focus_emulation_budget = kBudget;
    f->focus_emulation_wanted = false;
    if (!f->focus_emulation_pending && f->focus_emulation_enabled) Request(id, *f, false);
  }
}

void FocusController::OnFocusEmulationCompleted(uint32_t view_id, uint32_t epoch, bool value, web::HResult hr) {
  bool retry = false;
  bool wanted = false;
  ViewInputState* f = Find(view_id);
  const bool stale = f == nullptr || f->focus_emulation_epoch != epoch || !f->focus_emulation_pending ||
                     f->focus_emulation_pending_value != value;
  if (!stale) {
    f->focus_emulation_pending = false;
    if (web::Failed(hr)) {
      f->focus_emulation_enabled = !f->focus_emulation_wanted;  // disagree, so that another request may follow
    } else {
      f->focus_emulation_budget = kBudget;
      f->focus_emulation_enabled = value;
    }
    wanted = f->focus_emulation_wanted;
    retry = f->focus_emulation_enabled != f->focus_emulation_wanted && f->focus_emulation_budget > 0;
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
  for (const ViewFacts& v : views_.AllFacts()) {
    if ((view_id != 0 && v.view_id != view_id) || v.kind == ViewKind::kNative) continue;
    if (std::shared_ptr<web::IWebView> wv = web_.WebViewOf(v.view_id)) targets.push_back(std::move(wv));
  }
  for (const auto& wv : targets) {
    const web::HResult hr = wv->ExecuteScript(script);
    if (web::Failed(hr)) {
      overlay_.SendLog(std::string(label != nullptr ? label : "overlay input script") + ", hr=0x" + HrHex(hr));
    }
  }
}

uint32_t FocusController::DefaultKeyboardView() {
  uint32_t only = 0;
  int visible = 0;
  for (const ViewFacts& v : views_.AllFacts()) {
    if (v.visible && v.kind != ViewKind::kNative) {
      ++visible;
      only = v.view_id;
    }
  }
  return visible == 1 ? only : logical_focus_view_;
}

void FocusController::OnViewCreated(uint32_t view_id) { states_.Add(view_id); }

void FocusController::OnViewClosing(uint32_t view_id) {
  ViewInputState* f = Find(view_id);
  if (f == nullptr) return;
  // The web view goes: a new epoch, nothing confirmed or pending; the wanted state stays.
  f->focus_emulation_epoch = NextEpoch();
  f->focus_emulation_enabled = false;
  f->focus_emulation_pending = false;
  f->focus_emulation_pending_value = false;
  f->focus_emulation_budget = kBudget;
}

void FocusController::OnViewDestroyed(uint32_t view_id) {
  states_.Erase(view_id);
  if (logical_focus_view_ == view_id) logical_focus_view_ = 0;
}

}  // namespace vyo::host
