#include "view_service/view_service.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "base/log.h"
#include "platform/process.h"
#include "qos/events.h"

namespace vyo::host {
namespace {

int32_t ClampSide(int32_t v) { return std::clamp(v, 1, kMaxViewSide); }

}  // namespace

ViewService::ViewService(platform::Clock& clock, const HostSettings& settings, HostCounters& counters,
                         ViewRegistry& views, MainThread& main_thread, OverlayChannel& overlay,
                         web::WebViewManager& web, web::PagePolicy& pages, capture::CaptureService& capture,
                         IViewServiceDelegate& delegate)
    : clock_(clock),
      settings_(settings),
      counters_(counters),
      views_(views),
      main_thread_(main_thread),
      overlay_(overlay),
      web_(web),
      pages_(pages),
      capture_(capture),
      delegate_(delegate) {}

void ViewService::RegisterCommands(CommandDispatcher& dispatcher) {
  dispatcher.On<ViewCreateCmd>([this](const ViewCreateCmd& c) {
    EnsureView(c.view_id, c.width, c.height, c.visible, c.url);
    SetViewPosition(c.view_id, c.x, c.y);
  });
  dispatcher.On<ViewDestroyCmd>([this](const ViewDestroyCmd& c) { DestroyView(c.view_id, true); });
  dispatcher.On<ViewSetRectCmd>([this](const ViewSetRectCmd& c) {
    EnsureView(c.view_id, c.width, c.height, true, u"", true);
    SetViewPosition(c.view_id, c.x, c.y);
  });
  dispatcher.On<ViewNavigateCmd>([this](const ViewNavigateCmd& c) { NavigateTo(c.view_id, c.url); });
  dispatcher.On<ViewPostMessageCmd>(
      [this](const ViewPostMessageCmd& c) { pages_.PostWebMessageToView(c.view_id, c.text); });
  dispatcher.On<ViewSetVisibleCmd>([this](const ViewSetVisibleCmd& c) { SetViewVisible(c.view_id, c.visible); });
  dispatcher.On<ViewSetFrameRateCmd>([this](const ViewSetFrameRateCmd& c) { ApplyFrameRate(c.view_id, c.fps); });
  dispatcher.On<ViewSetBackgroundCmd>(
      [this](const ViewSetBackgroundCmd& c) { SetViewBackgroundColor(c.view_id, c.argb); });
  dispatcher.On<SurfaceInfoCmd>([this](const SurfaceInfoCmd& c) { ApplySurfaceInfo(c.width, c.height); });
  dispatcher.On<SetPresentationModeCmd>([this](const SetPresentationModeCmd& c) { ApplyPresentationMode(c); });
  dispatcher.On<ViewSetZOrderCmd>([this](const ViewSetZOrderCmd& c) { ApplyZOrder(c.view_id, c.z); });
}

// ---------------------------------------------------------------------------------------------
// Registry operations

void ViewService::EnsureView(uint32_t view_id, int32_t width, int32_t height, bool visible,
                             const std::u16string& url, bool keep_visibility) {
  main_thread_.CheckOnMainThread();
  const uint32_t start = clock_.TickMs();
  width = ClampSide(width);
  height = ClampSide(height);
  enum class Action { kNone, kResize, kCreate };
  Action action = Action::kNone;
  bool existed = false;
  std::shared_ptr<platform::HostWindow> window;
  const bool working_content = web_.HasWorkingContent(view_id);
  {
    std::lock_guard<ViewsLock> guard(views_.lock());
    existed = views_.FindLocked(view_id) != nullptr;
    ViewState& view = views_.GetOrCreateLocked(view_id);
    if (view.kind == ViewKind::kNative) return;
    if (views_.primary_view_id_locked() == 0) views_.set_primary_view_id_locked(view_id);
    const bool size_changed = view.width != width || view.height != height;
    const bool needs_create = !view.has_surface || size_changed;
    if (needs_create && !working_content) {
      action = Action::kCreate;
    } else {
      if (size_changed) {
        view.width = width;
        view.height = height;
        window = view.window;
        action = Action::kResize;
      }
      if (!url.empty()) view.url = url;
    }
  }
  if (action == Action::kResize) {
    if (window) window->Resize(width, height);
    views_.NotifyResized(view_id);
    return;
  }
  if (action != Action::kCreate) return;

  // The old incarnation closes first: its web content and its window go.
  if (existed) views_.NotifyClosing(view_id);
  std::shared_ptr<platform::HostWindow> new_window;
  if (settings_.window_system && !settings_.windowed) {
    // The view's own off-screen window, which will host its visual tree and controller. Without
    // composition the window itself is captured, so it keeps ordinary styles.
    new_window = platform::HostWindow::CreateViewWindow(width, height, /*tool_window=*/false);
  }
  uint32_t count_now = 0;
  {
    std::lock_guard<ViewsLock> guard(views_.lock());
    ViewState* view = views_.FindLocked(view_id);
    if (view == nullptr) return;
    window = std::exchange(view->window, new_window);  // the old window is destroyed after the lock
    view->view_window = new_window ? new_window->Handle() : 0;
    view->width = width;
    view->height = height;
    // Re-created by a rectangle change, an existing view keeps its stored visibility: resizing a
    // hidden view never reveals it.
    if (!(keep_visibility && existed)) view->visible = visible;
    if (!url.empty()) view->url = url;
    view->has_surface = true;
    count_now = static_cast<uint32_t>(views_.CountLocked());
  }
  window.reset();
  ++counters_.views_created;
  uint32_t peak = counters_.peak_view_count.load();
  while (count_now > peak && !counters_.peak_view_count.compare_exchange_weak(peak, count_now)) {
  }
  // No shared texture is published yet: every view reports its texture as missing.
  qos::Report(qos::ViewCreatedEvent(true, clock_.TickMs() - start, view_id, width, height));
  views_.NotifyCreated(view_id);
}

void ViewService::SetViewPosition(uint32_t view_id, int32_t x, int32_t y) {
  if (!settings_.windowed) return;  // the overlay places textures itself
  views_.With(view_id, [&](ViewState* view) {
    if (view == nullptr) return;
    view->x = x;
    view->y = y;
  });
}

void ViewService::DestroyView(uint32_t view_id, bool notify_modules) {
  main_thread_.CheckOnMainThread();
  uint32_t owner = 0;
  const bool exists = views_.With(view_id, [&](ViewState* view) {
    if (view == nullptr && views_.primary_view_id_locked() == view_id) views_.set_primary_view_id_locked(0);
    if (view != nullptr) owner = view->owner_module;
    return view != nullptr;
  });
  if (!exists) return;
  if (notify_modules && owner != 0) delegate_.OnModuleViewDestroyed(view_id);
  views_.NotifyClosing(view_id);
  std::shared_ptr<platform::HostWindow> window;
  {
    std::lock_guard<ViewsLock> guard(views_.lock());
    if (ViewState* view = views_.FindLocked(view_id)) window = std::move(view->window);
    views_.EraseLocked(view_id);
  }
  window.reset();
  // The view's page state goes with it.
  views_.NotifyDestroyed(view_id);
}

void ViewService::DestroyAllViews() {
  main_thread_.CheckOnMainThread();
  views_.RemoveAllViews();
}

bool ViewService::CreateNativeView(const NativeViewRequest& request) {
  main_thread_.CheckOnMainThread();
  if (settings_.windowed) return false;
  // Whatever had this id goes completely first (a web view loses its browser view, texture and page
  // state, its observers told), so no half-destroyed view is left behind.
  DestroyView(request.view_id, true);
  {
    std::lock_guard<ViewsLock> guard(views_.lock());
    MakeNativeRecord(views_.GetOrCreateLocked(request.view_id), request);
  }
  views_.NotifyCreated(request.view_id);  // the capture service makes the texture and announces it
  return true;
}

void ViewService::NoteNavigating(uint32_t view_id) { views_.NotifyNavigating(view_id); }

void ViewService::SetViewVisible(uint32_t view_id, bool visible) {
  const bool hidden = views_.With(view_id, [&](ViewState* view) {
    if (view == nullptr) return false;
    const bool was_visible = view->visible;
    view->visible = visible;
    return was_visible && !visible;
  });
  if (hidden) views_.NotifyHidden(view_id);
}

void ViewService::ApplyFrameRate(uint32_t view_id, uint32_t rate) {
  rate = std::clamp<uint32_t>(rate, 1, 60);
  views_.With(view_id, [&](ViewState* view) {
    if (view != nullptr) view->frame_rate = rate;
  });
  overlay_.SendLog(StringPrintf("SetViewFrameRate, view_id=%u, frame_rate=%u", view_id, rate));
}

void ViewService::ApplyZOrder(uint32_t view_id, int32_t z) {
  views_.With(view_id, [&](ViewState* view) {
    if (view != nullptr) view->z_order = z;
  });
}

void ViewService::ApplySurfaceInfo(uint32_t width, uint32_t height) {
  {
    std::lock_guard<std::mutex> lock(surface_mutex_);
    if (width == 0 || height == 0 || (width == surface_width_ && height == surface_height_)) return;
    surface_width_ = width;
    surface_height_ = height;
  }
  overlay_.SendLog(StringPrintf("SurfaceInfo %ux%u", width, height));
}

void ViewService::ApplyPresentationMode(const SetPresentationModeCmd& c) {
  const uint32_t cmdline_mode = settings_.windowed ? 1 : 0;
  overlay_.SendLog(StringPrintf(
      "SetPresentationMode mode=%u, graphics_api=%u, game_hwnd=%llu, game_pid=%u, cmdline_mode=%u", c.mode,
      c.graphics_api, static_cast<unsigned long long>(c.game_hwnd), c.game_pid, cmdline_mode));
  if (c.mode != cmdline_mode) {
    HostLogf(LogLevel::kError, "presentation mode mismatch, cmdline=%u, message=%u", cmdline_mode, c.mode);
  }
}

// ---------------------------------------------------------------------------------------------
// Services for modules and popups

// View changes come from modules and popups: dropped (with a budgeted log line) rather than failing
// the writer when the queue is nearly full.
void ViewService::NotifyViewChanged(const ViewChangedMsg& msg) {
  const std::vector<uint8_t> payload = Encode(msg);
  overlay_.SendDroppable(kViewChanged, payload.data(), payload.size(), kModuleOrPopup);
}

bool ViewService::CreateView(uint32_t view_id, uint32_t owner_module, const char16_t* url, int32_t x, int32_t y,
                             int32_t width, int32_t height, bool visible) {
  std::u16string url_text = url != nullptr ? std::u16string(url) : std::u16string();
  auto create = [this, view_id, owner_module, url_text, x, y, width, height, visible] {
    const ViewCreatedMsg msg{view_id, owner_module, 0, x, y, width, height, visible, 0, true, false};
    if (!overlay_.SendToOverlay(kViewCreated, Encode(msg))) return false;
    {
      std::lock_guard<ViewsLock> guard(views_.lock());
      ViewState& view = views_.GetOrCreateLocked(view_id);
      view.x = x;
      view.y = y;
      view.owner_module = owner_module;
      view.relay_flag_a = true;
      view.relay_flag_b = false;
    }
    EnsureView(view_id, width, height, visible, url_text);
    SetViewPosition(view_id, x, y);
    return true;
  };
  if (main_thread_.RunsTasksOnCurrentThread()) return create();
  // From another thread the whole operation is posted, so that it keeps its place among the
  // caller's other operations; the answer is whether the channel can take it.
  if (!overlay_.CanSend()) return false;
  return main_thread_.PostTask([create] { create(); });
}

void ViewService::RemoveView(uint32_t view_id) { DestroyAndAnnounce(view_id, true, std::nullopt); }

void ViewService::DestroyAndAnnounce(uint32_t view_id, bool notify_modules, std::optional<uint32_t> owner) {
  main_thread_.RunOrPost([this, view_id, notify_modules, owner] {
    const uint32_t owner_module =
        owner ? *owner : views_.With(view_id, [](ViewState* view) { return view != nullptr ? view->owner_module : 0u; });
    DestroyView(view_id, notify_modules);
    overlay_.SendToOverlay(kViewDestroyed, Encode(ViewDestroyedMsg{view_id, owner_module}));
  });
}

void ViewService::SetViewRect(uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height) {
  main_thread_.RunOrPost([this, view_id, x, y, width, height] {
    NotifyViewChanged(ViewChange::Rect(view_id, x, y, width, height));
    const bool native = views_.With(view_id, [&](ViewState* view) {
      if (view == nullptr || view->kind != ViewKind::kNative) return false;
      view->x = x;
      view->y = y;
      return true;
    });
    if (native) return;
    EnsureView(view_id, width, height, true, u"", true);
    SetViewPosition(view_id, x, y);
  });
}

void ViewService::ShowView(uint32_t view_id, bool visible) {
  main_thread_.RunOrPost([this, view_id, visible] {
    NotifyViewChanged(ViewChange::Visible(view_id, visible));
    SetViewVisible(view_id, visible);
  });
}

void ViewService::ShowViewQuietly(uint32_t view_id, bool visible) {
  main_thread_.RunOrPost([this, view_id, visible] { SetViewVisible(view_id, visible); });
}

void ViewService::SetViewZOrder(uint32_t view_id, int32_t z) {
  main_thread_.RunOrPost([this, view_id, z] {
    NotifyViewChanged(ViewChange::ZOrder(view_id, z));
    ApplyZOrder(view_id, z);
  });
}

void ViewService::SetRelayFlag(uint32_t view_id, bool on, bool flag_b) {
  main_thread_.RunOrPost([this, view_id, on, flag_b] {
    NotifyViewChanged(ViewChange::Relay(view_id, flag_b, on));
    views_.With(view_id, [&](ViewState* view) {
      if (view != nullptr) (flag_b ? view->relay_flag_b : view->relay_flag_a) = on;
    });
  });
}

void ViewService::SetViewHitTest(uint32_t view_id, int32_t mode, int32_t alpha_threshold) {
  main_thread_.RunOrPost([this, view_id, mode, alpha_threshold] {
    const int32_t threshold = alpha_threshold <= 0 ? 32 : std::min(alpha_threshold, 255);
    bool on = false;
    const bool exists = views_.With(view_id, [&](ViewState* view) {
      if (view == nullptr) return false;
      on = mode == 1 && !(settings_.windowed && views_.IsExtraWebViewLocked(*view));
      return true;
    });
    if (exists && capture_.SetHitTest(view_id, on, threshold)) NotifyViewChanged(ViewChange::HitTest(view_id, on, static_cast<uint32_t>(threshold)));
  });
}

void ViewService::SetViewBackgroundColor(uint32_t view_id, uint32_t argb) {
  main_thread_.RunOrPost([this, view_id, argb] {
    web_.SetBackgroundColor(view_id, argb);
    overlay_.SendLog(StringPrintf("SetViewBackgroundColor, view_id=%u, argb=0x%x", view_id, argb));
  });
}

void ViewService::SetViewFrameRate(uint32_t view_id, int32_t fps) {
  const uint32_t rate = fps < 1 ? 1u : static_cast<uint32_t>(fps);
  main_thread_.RunOrPost([this, view_id, rate] { ApplyFrameRate(view_id, rate); });
}

void ViewService::NavigateView(uint32_t view_id, const char16_t* url) {
  std::u16string text = url != nullptr ? std::u16string(url) : std::u16string();
  main_thread_.RunOrPost([this, view_id, text] { NavigateTo(view_id, text); });
}

void ViewService::NavigateTo(uint32_t view_id, const std::u16string& url) {
  const bool exists = views_.With(view_id, [&](ViewState* view) {
    if (view != nullptr) view->url = url;
    return view != nullptr;
  });
  if (!exists) return;
  views_.NotifyNavigating(view_id);  // frames of the old content are not analysed against the new
  web_.NavigateView(view_id, url);
}

void ViewService::PostWebMessageToView(uint32_t view_id, const char* utf8_json) {
  std::string text = utf8_json != nullptr ? std::string(utf8_json) : std::string();
  main_thread_.RunOrPost([this, view_id, text] { pages_.PostWebMessageToView(view_id, text); });
}

bool ViewService::GetSurfaceSize(uint32_t* width, uint32_t* height) {
  std::lock_guard<std::mutex> lock(surface_mutex_);
  if (surface_width_ == 0 || surface_height_ == 0) return false;
  *width = surface_width_;
  *height = surface_height_;
  return true;
}

// A module's frames never fail the writer: refused while the queue is nearly full (the module host
// accounts the drop per module), and checked again when a posted send runs.
bool ViewService::SendRawMessage(uint32_t type, const uint8_t* bytes, uint32_t length) {
  if (main_thread_.RunsTasksOnCurrentThread()) return overlay_.SendIfRoom(type, bytes, length);
  if (!overlay_.CanSend() || !overlay_.HasRoom()) return false;
  std::vector<uint8_t> copy = bytes != nullptr ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>();
  return main_thread_.PostTask([this, type, copy = std::move(copy)] {
    overlay_.SendDroppable(type, copy.data(), copy.size(), kModuleOrPopup);
  });
}

bool ViewService::SendReservedMessage(uint32_t type, const uint8_t* bytes, uint32_t length) {
  main_thread_.CheckOnMainThread();
  const std::vector<uint8_t> payload = bytes != nullptr ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>();
  return overlay_.SendToOverlay(type, payload);
}

void ViewService::ModuleLog(int32_t level, const char* text) {
  if (level <= 0) return;
  const char* prefix = level == 1 ? "MOD-INFO" : level == 2 ? "MOD-WARN" : "MOD-ERROR";
  std::string line = std::string(prefix) + ": " + (text != nullptr ? text : "");
  main_thread_.RunOrPost([this, line = std::move(line)] { overlay_.SendLog(line); });
}

bool ViewService::RunOnMainThread(std::function<void()> work) {
  if (main_thread_.RunsTasksOnCurrentThread()) {
    work();
    return true;
  }
  return main_thread_.PostTask(std::move(work));
}

uint64_t ViewService::Now() { return clock_.Tick64(); }

uint32_t ViewService::GetParentProcessId() { return settings_.parent_pid; }

void ViewService::GetHostDirectory(std::u16string* out) {
  std::u16string dir = platform::ExecutableDirectory();
  if (dir.size() > 260) dir.clear();
  *out = dir;
}

void ViewService::DestroyViewNotifyAll(uint32_t view_id, uint32_t owner_module) {
  DestroyAndAnnounce(view_id, true, owner_module);
}

void ViewService::DestroyViewNotifyOverlay(uint32_t view_id, uint32_t owner_module) {
  DestroyAndAnnounce(view_id, false, owner_module);
}

void ViewService::SendPopupState(const PopupStateMsg& state) {
  main_thread_.RunOrPost([this, state] { overlay_.SendToOverlay(kPopupState, Encode(state)); });
}

void ViewService::LogView(uint32_t view_id, const char* text) {
  std::string line = ViewForm(text != nullptr ? text : "popup", view_id);
  main_thread_.RunOrPost([this, line = std::move(line)] { overlay_.SendLog(line); });
}

}  // namespace vyo::host
