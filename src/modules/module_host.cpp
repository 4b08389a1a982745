#include "modules/module_host.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "base/lock_checks.h"
#include "base/text.h"
#include "platform/dynamic_library.h"
#include "platform/fault_guard.h"
#include "platform/files.h"
#include "protocol/protocol.h"
#include "vyo_module.h"

namespace vyo::modules {
namespace {

constexpr size_t kMaxModuleText = 0x100000;  // longest text read from a module
constexpr uint32_t kDroppedOutputLogBudget = 8;
constexpr uint32_t kStaleContextLogBudget = 16;

template <typename Char>
size_t BoundedLength(const Char* text) {
  if (text == nullptr) return 0;
  size_t n = 0;
  while (n < kMaxModuleText && text[n] != 0) ++n;
  return n;
}

std::string CopyUtf8(const char* text) { return std::string(text == nullptr ? "" : text, BoundedLength(text)); }
std::u16string CopyUtf16(const vyom_char16* text) {
  std::u16string out;
  const size_t n = BoundedLength(text);
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char16_t>(text[i]));
  return out;
}

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

std::u16string FolderOf(const std::u16string& path) {
  const size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

std::string FileNameUtf8(const std::u16string& path) {
  const size_t slash = path.find_last_of(u"\\/");
  return Utf16ToUtf8(slash == std::u16string::npos ? path : path.substr(slash + 1));
}

}  // namespace

struct ModuleHost::Record {
  VyomServices table{};
  Context* context = nullptr;
  VyomGetAbiVersionFn get_abi_version = nullptr;
  VyomInitializeFn initialize = nullptr;
  VyomTickFn tick = nullptr;
  VyomOnHostMessageFn on_host_message = nullptr;
  VyomOnPageMessageFn on_page_message = nullptr;
  VyomOnViewEventFn on_view_event = nullptr;
  VyomShutdownFn shutdown = nullptr;
  std::unique_ptr<platform::DynamicLibrary> library;
  std::set<uint32_t> owned_views;
  std::u16string module_path;
  std::optional<platform::FileId> file_id;
  std::string module_config;
  std::string module_name;
  std::u16string module_folder;
  bool loaded = false;
  bool unloading = false;
  bool faulted = false;
  bool silent = false;
  bool in_shutdown = false;  // services stay usable during the shutdown call
  int call_depth = 0;
  bool unload_pending = false;
  uint32_t pending_status = 0;
  uint32_t pending_value = 0;
  uint32_t dropped_output_logs = 0;
  uint32_t refused_work_logs = 0;
};

// The plain functions of the services table. Each catches everything: no exception reaches a module.
struct ServiceEntries {
  static ModuleHost* Host(void* ctx) { return ctx == nullptr ? nullptr : static_cast<ModuleHost::Context*>(ctx)->host; }

  template <typename F>
  static void Guard(F&& f) {
    try {
      f();
    } catch (...) {
    }
  }

  static uint32_t CreateView(void* ctx, const vyom_char16* url, int32_t x, int32_t y, int32_t w, int32_t h,
                             int32_t visible) {
    uint32_t result = 0;
    Guard([&] {
      ModuleHost* host = Host(ctx);
      if (host == nullptr) return;
      const uint32_t module_id = host->LoadedModuleOf(ctx);
      if (module_id == 0) return;
      // The place of the view's ViewDestroyed, held by the view until it goes; the work below takes
      // the places of what its creation sends. Without them the call fails now.
      if (!host->services_.ReserveOverlayFrames(1)) {
        host->NoteRefusedWork(module_id);
        return;
      }
      uint32_t view_id = 0;
      {
        std::lock_guard<std::mutex> guard(host->lock_);
        auto it = host->modules_.find(module_id);
        if (it != host->modules_.end()) view_id = host->AllocateViewIdLocked();
        if (view_id != 0) {
          // The module owns the id from now on: it may destroy it before the work below has run.
          host->view_owner_[view_id] = module_id;
          it->second->owned_views.insert(view_id);
          host->destroy_places_.insert(view_id);
        }
      }
      if (view_id == 0) {
        host->services_.ReleaseOverlayFrames(1);
        return;
      }
      const std::u16string url_text = CopyUtf16(url);
      const bool posted = host->SubmitWork(ctx, module_id, [host, module_id, view_id, url_text, x, y, w, h, visible] {
        bool wanted = false;
        {
          std::lock_guard<std::mutex> guard(host->lock_);
          auto o = host->view_owner_.find(view_id);
          auto it = host->modules_.find(module_id);
          // A module unloaded meanwhile took its views (and their ViewDestroyed) along.
          wanted = o != host->view_owner_.end() && o->second == module_id && it != host->modules_.end() &&
                   !it->second->unloading;
        }
        if (wanted) host->services_.CreateView(view_id, module_id, url_text.c_str(), x, y, w, h, visible != 0);
      }, kViewWorkFrames);
      if (!posted) {
        {
          std::lock_guard<std::mutex> guard(host->lock_);
          host->view_owner_.erase(view_id);
          host->destroy_places_.erase(view_id);
          auto it = host->modules_.find(module_id);
          if (it != host->modules_.end()) it->second->owned_views.erase(view_id);
        }
        host->services_.ReleaseOverlayFrames(1);
        return;
      }
      result = view_id;
    });
    return result;
  }
  static void DestroyView(void* ctx, uint32_t view) {
    Guard([&] {
      ModuleHost* host = Host(ctx);
      if (host == nullptr) return;
      const uint32_t module_id = host->CheckOwned(ctx, view);
      if (module_id == 0) return;
      {
        // No longer the module's to act on: a second destroy is ignored.
        std::lock_guard<std::mutex> guard(host->lock_);
        auto it = host->modules_.find(module_id);
        if (it != host->modules_.end()) it->second->owned_views.erase(view);
      }
      // Never refused: destroys are bounded by the views made, and ViewDestroyed has its place.
      host->SubmitWork(ctx, module_id, [host, view] {
        const bool held = host->TakeDestroyPlace(view);
        host->services_.RemoveView(view);
        host->ForgetView(view);  // the registry may not have had it (a creation that failed)
        if (held) host->services_.ReleaseOverlayFrames(1);  // ViewDestroyed is queued
      }, 0, /*always=*/true);
    });
  }
  // Hands `work` to the main thread for a view the calling module owns.
  template <typename F>
  static void ForOwnedView(void* ctx, uint32_t view, F work) {
    Guard([&] {
      ModuleHost* host = Host(ctx);
      if (host == nullptr) return;
      const uint32_t module_id = host->CheckOwned(ctx, view);
      if (module_id != 0) {
        host->SubmitWork(ctx, module_id, [host, work = std::move(work)] { work(host->services_); }, kViewWorkFrames);
      }
    });
  }
  static void SetViewRect(void* ctx, uint32_t view, int32_t x, int32_t y, int32_t w, int32_t h) {
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.SetViewRect(view, x, y, w, h); });
  }
  static void SetViewVisible(void* ctx, uint32_t view, int32_t visible) {
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.ShowView(view, visible != 0); });
  }
  static void SetViewZOrder(void* ctx, uint32_t view, int32_t z) {
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.SetViewZOrder(view, z); });
  }
  static void SetRelayFlagA(void* ctx, uint32_t view, int32_t on) {
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.SetRelayFlagA(view, on != 0); });
  }
  static void SetViewBackground(void* ctx, uint32_t view, uint32_t argb) {
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.SetViewBackgroundColor(view, argb); });
  }
  static void SetViewFrameRate(void* ctx, uint32_t view, int32_t fps) {
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.SetViewFrameRate(view, std::max(fps, 1)); });
  }
  static void Navigate(void* ctx, uint32_t view, const vyom_char16* url) {
    std::u16string text;
    Guard([&] { text = CopyUtf16(url); });
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.NavigateView(view, text.c_str()); });
  }
  static void PostMessage(void* ctx, uint32_t view, const char* json) {
    std::string text;
    Guard([&] { text = CopyUtf8(json); });
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.PostWebMessageToView(view, text.c_str()); });
  }
  static void SendToOverlay(void* ctx, const char* text) {
    Guard([&] {
      ModuleHost* host = Host(ctx);
      if (host == nullptr) return;
      const uint32_t module_id = host->LoadedModuleOf(ctx);
      if (module_id == 0) return;
      // The frame's place is taken now: an output the queue cannot take is dropped here, at the call,
      // and one accepted is sent.
      std::vector<uint8_t> payload = host::Encode(host::ModuleOutputMsg{module_id, CopyUtf8(text)});
      const bool posted = host->SubmitWork(ctx, module_id, [host, module_id, payload = std::move(payload)] {
        if (!host->services_.SendReservedMessage(host::kModuleOutput, payload.data(),
                                                 static_cast<uint32_t>(payload.size()))) {
          host->NoteDroppedOutput(module_id);
        }
      }, 1);
      if (!posted) host->NoteDroppedOutput(module_id);
    });
  }
  static void Log(void* ctx, int32_t level, const char* text) {
    Guard([&] {
      ModuleHost* host = Host(ctx);
      if (host == nullptr) return;
      std::string copy = CopyUtf8(text);
      host->SubmitWork(ctx, host->LoadedModuleOf(ctx),
                       [host, level, copy = std::move(copy)] { host->services_.ModuleLog(level, copy.c_str()); }, 0);
    });
  }
  static uint64_t Now(void* ctx) {
    uint64_t now = 0;
    Guard([&] {
      if (ModuleHost* host = Host(ctx)) now = host->services_.Now();
    });
    return now;
  }
  static void SetRelayFlagB(void* ctx, uint32_t view, int32_t on) {
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.SetRelayFlagB(view, on != 0); });
  }
  static void SetHitTest(void* ctx, uint32_t view, int32_t mode, int32_t alpha) {
    ForOwnedView(ctx, view, [=](host::IModuleServices& s) { s.SetViewHitTest(view, mode, alpha); });
  }
  static int32_t GetSurfaceSize(void* ctx, int32_t* width, int32_t* height) {
    int32_t known = 0;
    Guard([&] {
      ModuleHost* host = Host(ctx);
      if (host == nullptr) return;
      uint32_t w = 0, h = 0;
      known = host->services_.GetSurfaceSize(&w, &h) ? 1 : 0;
      if (width != nullptr) *width = known ? static_cast<int32_t>(w) : 0;
      if (height != nullptr) *height = known ? static_cast<int32_t>(h) : 0;
    });
    return known;
  }
  static void RequestOverlayExit(void* ctx) {
    Guard([&] {
      ModuleHost* host = Host(ctx);
      if (host == nullptr || host->LoadedModuleOf(ctx) == 0) return;
      host->services_.ModuleLog(1, "module requested overlay exit");
      const uint8_t zero[4] = {0, 0, 0, 0};
      host->services_.SendRawMessage(host::kExitRequest, zero, 4);
    });
  }
  static void RequestFullFrames(void* ctx, int32_t ms) {
    Guard([&] {
      ModuleHost* host = Host(ctx);
      if (host == nullptr || !host->deps_.request_full_frames) return;
      const uint32_t module_id = host->LoadedModuleOf(ctx);
      if (module_id == 0) return;
      std::vector<uint32_t> views;
      {
        std::lock_guard<std::mutex> guard(host->lock_);
        auto it = host->modules_.find(module_id);
        if (it != host->modules_.end()) views.assign(it->second->owned_views.begin(), it->second->owned_views.end());
      }
      for (uint32_t view : views) host->deps_.request_full_frames(view, std::min(ms, 60000));
    });
  }
  static int32_t GetLoginInfo(void* ctx, VyomLoginInfo* info) {
    int32_t result = 0;
    Guard([&] {
      ModuleHost* host = Host(ctx);
      if (host == nullptr || info == nullptr || info->size < 16 || host->LoadedModuleOf(ctx) == 0) return;
      // The value is copied under the lock and written to the module's memory after it: a fault in
      // that write (a bad buffer) must not leave the host's lock held.
      int64_t qmr_id = 0;
      {
        std::lock_guard<std::mutex> guard(host->lock_);
        if (!host->login_cached_) return;
        qmr_id = host->login_qmr_id_;
      }
      info->qmr_id = qmr_id;
      result = 1;
    });
    return result;
  }
  static void SetFullRefresh(void* ctx, uint32_t view, int32_t on) {
    Guard([&] {
      if (ModuleHost* host = Host(ctx); host && host->deps_.set_full_refresh && host->CheckOwned(ctx, view))
        host->deps_.set_full_refresh(view, on != 0);
    });
  }
  static uint32_t OpenPopup(void* ctx, uint32_t, const vyom_char16*, const char*, int32_t, int32_t, int32_t, int32_t) {
    Guard([&] {
      // Managed popups are not available in this host yet: the request is refused.
      if (ModuleHost* host = Host(ctx); host && host->LoadedModuleOf(ctx) != 0)
        host->services_.ModuleLog(2, "ModuleHost: open_popup refused, popups are not available");
    });
    return 0;
  }
  static void ClosePopup(void*, uint32_t) {}
};

ModuleHost::ModuleHost(host::IModuleServices& services, ModuleHostDeps deps)
    : services_(services), deps_(std::move(deps)) {
  platform::InstallFaultGuard();
}

ModuleHost::~ModuleHost() { ShutdownModules(); }

uint32_t ModuleHost::AllocateModuleIdLocked() {
  uint32_t id = next_module_id_ == 0 ? 1 : next_module_id_;
  for (uint32_t tries = 0; tries < 65535; ++tries) {
    if (id != 0 && modules_.count(id) == 0) {
      next_module_id_ = id + 1;
      return id;
    }
    ++id;
  }
  return 0;
}

uint32_t ModuleHost::AllocateViewIdLocked() {
  uint32_t id = std::max(next_view_id_, kFirstModuleViewId);
  if (id > kLastModuleViewId) id = kFirstModuleViewId;
  for (uint32_t tries = 0; tries < 1048575; ++tries) {
    const uint32_t candidate = id;
    id = id == kLastModuleViewId ? kFirstModuleViewId : id + 1;
    if (view_owner_.count(candidate) != 0) continue;
    if (deps_.view_id_in_use && deps_.view_id_in_use(candidate)) continue;
    next_view_id_ = id;
    return candidate;
  }
  return 0;
}

void ModuleHost::Report(uint32_t module_id, uint32_t status, uint32_t value, const std::string& name,
                        const std::u16string& path, uint64_t start_ms, bool send_event) {
  const std::vector<uint8_t> payload =
      host::Encode(host::ModuleStatusMsg{module_id, status, static_cast<int32_t>(value), name});
  services_.SendRawMessage(host::kModuleStatus, payload.data(), static_cast<uint32_t>(payload.size()));
  if (send_event && deps_.report_event) {
    qos::QosEvent event;
    event.kind = 25;
    event.ints = {status == kModuleLoaded ? 0 : 1, static_cast<int32_t>(NowMs() - start_ms),
                  static_cast<int32_t>(module_id), static_cast<int32_t>(status)};
    event.strs = {name.empty() ? FileNameUtf8(path) : name};
    deps_.report_event(std::move(event));
  }
}

void ModuleHost::ReportFault(uint32_t module_id, uint32_t code, const std::string& name, const std::u16string& path) {
  if (!deps_.report_event) return;
  qos::QosEvent event;
  event.kind = 26;
  event.ints = {1, 0, static_cast<int32_t>(module_id), static_cast<int32_t>(code)};
  event.strs = {name.empty() ? FileNameUtf8(path) : name};
  deps_.report_event(std::move(event));
}

void ModuleHost::ReportConfigResult(uint32_t result) { Report(0, kModuleConfigProblem, result, {}, {}, 0, false); }

uint32_t ModuleHost::CallModule(uint32_t module_id, const std::function<void()>& fn, bool unload_on_fault) {
  CheckNoRegistryLock("call a module");
  Record* record = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = modules_.find(module_id);
    if (it == modules_.end() || it->second->faulted) return 0;
    record = it->second.get();
    ++record->call_depth;
  }
  // The depth goes down on every way out of the call, an exception included: a depth left raised
  // would defer this module's unload for good.
  struct DepthScope {
    ModuleHost* host;
    Record* record;
    bool done = false;
    ~DepthScope() {
      if (done) return;
      std::lock_guard<std::mutex> guard(host->lock_);
      --record->call_depth;
    }
  } scope{this, record};
  struct Trampoline {
    static void Run(void* f) { (*static_cast<const std::function<void()>*>(f))(); }
  };
  uint32_t code = 0;
  try {
    code = platform::GuardedCall(&Trampoline::Run, const_cast<std::function<void()>*>(&fn));
  } catch (...) {
    // An exception leaving a module's entry point would end the process (it cannot cross the C
    // interface); it is taken as that module's abort.
    code = platform::kFaultAbort;
  }
  bool unload = false;
  uint32_t status = 0, value = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    --record->call_depth;
    scope.done = true;
    if (code != 0) {
      record->faulted = true;
      if (unload_on_fault && (!record->unload_pending || record->pending_status != kModuleFaulted)) {
        record->unload_pending = true;
        record->pending_status = kModuleFaulted;
        record->pending_value = code;
      }
    }
    if (unload_on_fault && record->call_depth == 0 && record->unload_pending && !record->unloading) {
      unload = true;
      status = record->pending_status;
      value = record->pending_value;
    }
  }
  if (code != 0) ReportFault(module_id, code, record->module_name, record->module_path);
  if (unload) UnloadModule(module_id, status, value);
  return code;
}

// The module's entry points; null when one of the three it must have is missing.
std::unique_ptr<ModuleHost::Record> ModuleHost::BindExports(platform::DynamicLibrary& library) {
  auto record = std::make_unique<Record>();
  record->get_abi_version = reinterpret_cast<VyomGetAbiVersionFn>(library.Symbol("VYOM_GetAbiVersion"));
  record->initialize = reinterpret_cast<VyomInitializeFn>(library.Symbol("VYOM_Initialize"));
  record->shutdown = reinterpret_cast<VyomShutdownFn>(library.Symbol("VYOM_Shutdown"));
  if (!record->get_abi_version || !record->initialize || !record->shutdown) return nullptr;
  record->tick = reinterpret_cast<VyomTickFn>(library.Symbol("VYOM_Tick"));
  record->on_host_message = reinterpret_cast<VyomOnHostMessageFn>(library.Symbol("VYOM_OnHostMessage"));
  record->on_page_message = reinterpret_cast<VyomOnPageMessageFn>(library.Symbol("VYOM_OnPageMessage"));
  record->on_view_event = reinterpret_cast<VyomOnViewEventFn>(library.Symbol("VYOM_OnViewEvent"));
  return record;
}

// The service table a module is given at initialisation.
void ModuleHost::FillServiceTable(Record& record) {
  VyomServices& t = record.table;
  t.size = sizeof(VyomServices);
  t.version = 1;
  t.context = record.context;
  t.create_view = &ServiceEntries::CreateView;
  t.destroy_view = &ServiceEntries::DestroyView;
  t.set_view_rect = &ServiceEntries::SetViewRect;
  t.set_view_visible = &ServiceEntries::SetViewVisible;
  t.set_view_z_order = &ServiceEntries::SetViewZOrder;
  t.set_relay_flag_a = &ServiceEntries::SetRelayFlagA;
  t.set_view_background = &ServiceEntries::SetViewBackground;
  t.set_view_frame_rate = &ServiceEntries::SetViewFrameRate;
  t.navigate = &ServiceEntries::Navigate;
  t.post_message = &ServiceEntries::PostMessage;
  t.send_to_overlay = &ServiceEntries::SendToOverlay;
  t.log = &ServiceEntries::Log;
  t.now = &ServiceEntries::Now;
  t.set_relay_flag_b = &ServiceEntries::SetRelayFlagB;
  t.set_hit_test = &ServiceEntries::SetHitTest;
  t.get_surface_size = &ServiceEntries::GetSurfaceSize;
  t.request_overlay_exit = &ServiceEntries::RequestOverlayExit;
  t.request_full_frames = &ServiceEntries::RequestFullFrames;
  t.get_login_info = &ServiceEntries::GetLoginInfo;
  t.set_full_refresh = &ServiceEntries::SetFullRefresh;
  t.open_popup = &ServiceEntries::OpenPopup;
  t.close_popup = &ServiceEntries::ClosePopup;
}

// The module file at `path`: 0 with its full path and identity, or the status (and its value) it
// is refused with.
uint32_t ModuleHost::CheckModuleFile(const std::u16string& path, std::u16string* full_path,
                                     std::optional<platform::FileId>* file_id, uint32_t* value) {
  if (path.empty()) return *value = 0, kModuleBadPath;
  if (platform::IsDirectory(path) || !platform::RealPath(path)) return *value = 2, kModuleBadPath;
  const std::optional<std::u16string> full = platform::FullPathName(path);
  if (!full || full->empty()) {
    services_.ModuleLog(2, "ModuleHost: path canonicalize failed");
    return *value = 5, kModuleBadPath;
  }
  *full_path = *full;
  // The same file reached by another path (a link, a ".." after a linked folder) is the same
  // library: files are told apart by their identity, taken through the path as the system resolves
  // it; paths are compared only when it cannot be had.
  *file_id = platform::FileIdentity(path);
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [id, other] : modules_) {
      const bool same = *file_id && other->file_id ? **file_id == *other->file_id : other->module_path == *full;
      if (same) {
        // One library image per path: a second load would share the first one's globals.
        return *value = kErrorAlreadyExists, kModuleLoadFailed;
      }
    }
  }
  return 0;
}

uint32_t ModuleHost::LoadModule(const std::u16string& path, const std::string& config, const std::string& name) {
  uint32_t module_id = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    module_id = AllocateModuleIdLocked();
  }
  if (module_id == 0) return 0;
  const uint64_t start = NowMs();
  auto report = [&](uint32_t status, uint32_t value) { Report(module_id, status, value, name, path, start, true); };

  std::u16string full_path;
  std::optional<platform::FileId> file_id;
  uint32_t refused_value = 0;
  if (const uint32_t refused = CheckModuleFile(path, &full_path, &file_id, &refused_value); refused != 0) {
    return report(refused, refused_value), module_id;
  }
  services_.ModuleLog(1, "ModuleHost: signature verification skipped");
  uint32_t error = 0;
  std::unique_ptr<platform::DynamicLibrary> library = platform::DynamicLibrary::Open(full_path, &error);
  if (!library) return report(kModuleLoadFailed, error), module_id;

  std::unique_ptr<Record> record = BindExports(*library);
  if (!record) {
    library.reset();
    return report(kModuleMissingExport, 0), module_id;
  }
  record->library = std::move(library);
  record->module_path = full_path;
  record->file_id = file_id;
  record->module_config = config;
  record->module_name = name;
  record->module_folder = FolderOf(full_path);
  Record* r = record.get();
  {
    std::lock_guard<std::mutex> guard(lock_);
    contexts_.push_back(Context{this, module_id, std::make_shared<std::atomic<int32_t>>(0)});
    r->context = &contexts_.back();
    modules_[module_id] = std::move(record);
  }
  auto drop_record = [&](bool quarantine) {
    std::unique_ptr<Record> gone;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = modules_.find(module_id);
      if (it == modules_.end()) return;
      gone = std::move(it->second);
      modules_.erase(it);
      if (quarantine) quarantined_.push_back(std::move(gone->library));
    }
  };

  uint32_t version = 0;
  const uint32_t version_fault = CallModule(module_id, [&] { version = r->get_abi_version(); }, false);
  if (version_fault != 0) {
    drop_record(true);
    return report(kModuleFaulted, version_fault), module_id;
  }
  if (version != VYOM_ABI_VERSION) {
    drop_record(false);
    return report(kModuleBadVersion, version), module_id;
  }

  FillServiceTable(*r);

  std::u16string folder = r->module_folder;
  std::vector<vyom_char16> folder_text(folder.begin(), folder.end());
  folder_text.push_back(0);
  std::string config_text = r->module_config;  // NUL-terminated copy that lives through the call
  VyomInitArgs args{};
  args.size = sizeof(VyomInitArgs);
  args.module_id = module_id;
  args.config = config_text.empty() ? nullptr : config_text.c_str();
  args.config_length = static_cast<uint32_t>(config_text.size());
  args.module_folder = folder.empty() ? nullptr : folder_text.data();
  args.host_parent_pid = deps_.parent_pid;
  {
    std::lock_guard<std::mutex> guard(lock_);
    r->loaded = true;
  }
  int32_t ok = 0;
  const uint32_t fault = CallModule(module_id, [&] { ok = r->initialize(&r->table, &args); }, false);
  bool unload_requested = false;
  uint32_t pending_status = 0, pending_value = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    unload_requested = r->unload_pending;
    pending_status = r->pending_status;
    pending_value = r->pending_value;
  }
  if (fault == 0 && ok != 0) {
    Report(module_id, kModuleLoaded, 0, name, full_path, start, true);
    services_.ModuleLog(1, "ModuleHost: module loaded");
    if (unload_requested) UnloadModule(module_id, pending_status, pending_value);
    return module_id;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    r->loaded = false;
    r->unloading = true;
    r->silent = true;  // a module whose initialisation failed is not called again
    r->shutdown = nullptr;
  }
  DestroyOwnedViews(module_id);
  drop_record(fault != 0);
  if (fault != 0) return report(kModuleFaulted, fault), module_id;
  return report(kModuleInitFailed, 0), module_id;
}

void ModuleHost::DestroyOwnedViews(uint32_t module_id) {
  std::vector<uint32_t> views;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = modules_.find(module_id);
    if (it == modules_.end()) return;
    for (uint32_t view : it->second->owned_views) {
      auto owner = view_owner_.find(view);
      if (owner != view_owner_.end() && owner->second == module_id) views.push_back(view);
    }
  }
  for (uint32_t view : views) {
    const bool held = TakeDestroyPlace(view);
    services_.RemoveView(view);
    ForgetView(view);  // the registry may not have had it yet (a posted creation)
    if (held) services_.ReleaseOverlayFrames(1);  // ViewDestroyed is queued
  }
}

void ModuleHost::UnloadModule(uint32_t module_id, uint32_t status, uint32_t value) {
  Record* r = nullptr;
  bool was_loaded = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = modules_.find(module_id);
    if (it == modules_.end() || it->second->unloading) return;
    r = it->second.get();
    if (r->call_depth > 0) {
      if (!r->unload_pending || status == kModuleFaulted) {
        r->unload_pending = true;
        r->pending_status = status;
        r->pending_value = value;
      }
      return;
    }
    r->unloading = true;
    was_loaded = r->loaded;
  }
  const std::u16string path = r->module_path;
  const std::string name = r->module_name;
  DestroyOwnedViews(module_id);
  {
    std::lock_guard<std::mutex> guard(lock_);
    r->loaded = false;
  }
  if (was_loaded && !r->faulted && r->shutdown != nullptr) {
    VyomShutdownFn shutdown = r->shutdown;
    // The record stays "unloading": a fault here is reported below, not by a second unload.
    {
      std::lock_guard<std::mutex> guard(lock_);
      r->in_shutdown = true;
    }
    const uint32_t fault = CallModule(module_id, [shutdown] { shutdown(); }, false);
    {
      std::lock_guard<std::mutex> guard(lock_);
      r->in_shutdown = false;
    }
    if (fault != 0 && status != kModuleFaulted) {
      status = kModuleFaulted;
      value = fault;
    }
  }
  std::unique_ptr<Record> gone;
  uint32_t places_released = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = modules_.find(module_id);
    if (it != modules_.end()) {
      gone = std::move(it->second);
      modules_.erase(it);
      for (auto owner = view_owner_.begin(); owner != view_owner_.end();) {
        if (owner->second == module_id && destroy_places_.erase(owner->first) != 0) ++places_released;
        owner = owner->second == module_id ? view_owner_.erase(owner) : std::next(owner);
      }
      if (gone->faulted) quarantined_.push_back(std::move(gone->library));
    }
  }
  if (places_released != 0) services_.ReleaseOverlayFrames(places_released);
  gone.reset();  // unloads the library unless it was kept above
  Report(module_id, status, value, name, path, 0, false);
}

void ModuleHost::ShutdownModules() {
  for (;;) {
    uint32_t id = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = std::find_if(modules_.begin(), modules_.end(), [](const auto& m) { return !m.second->unloading; });
      if (it == modules_.end()) break;
      id = it->first;
    }
    UnloadModule(id, kModuleShutdown, 0);
  }
}

void ModuleHost::TickModules(uint64_t now) {
  std::vector<std::pair<uint32_t, VyomTickFn>> snapshot;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [id, r] : modules_)
      if (r->loaded && !r->unloading && r->tick != nullptr) snapshot.emplace_back(id, r->tick);
  }
  for (const auto& [id, tick] : snapshot) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = modules_.find(id);
      if (it == modules_.end() || !it->second->loaded || it->second->unloading) continue;
    }
    CallModule(id, [tick = tick, now] { tick(now); });
  }
}

bool FindJsonValue(std::string_view text, std::string_view key, std::string_view* value, bool* is_string) {
  const std::string quoted = "\"" + std::string(key) + "\"";
  size_t from = 0;
  while (true) {
    const size_t at = text.find(quoted, from);
    if (at == std::string_view::npos) return false;
    size_t before = at;
    while (before > 0 && std::strchr(" \t\r\n", text[before - 1]) != nullptr && text[before - 1] != 0) --before;
    if (before == 0 || text[before - 1] == '{' || text[before - 1] == ',') {
      size_t p = at + quoted.size();
      while (p < text.size() && std::strchr(" \t\r\n:", text[p]) != nullptr && text[p] != 0) ++p;
      if (p < text.size() && text[p] == '"') {
        size_t end = p + 1;
        while (end < text.size() && !(text[end] == '"' && text[end - 1] != '\\')) ++end;
        *value = text.substr(p + 1, end - p - 1);
        *is_string = true;
      } else {
        *value = text.substr(p);
        *is_string = false;
      }
      return true;
    }
    from = at + 1;
  }
}

int64_t ParseLoginId(std::string_view text) {
  size_t p = 0;
  if (p < text.size() && text[p] == '"') ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '-' || text[p] == '+')) negative = text[p++] == '-';
  int64_t value = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
    const int digit = text[p] - '0';
    if (!negative && value > (INT64_MAX - digit) / 10) return INT64_MAX;
    if (negative && value < (INT64_MIN + digit) / 10) return INT64_MIN;
    value = negative ? value * 10 - digit : value * 10 + digit;
  }
  return value;
}

void ModuleHost::RouteHostMessage(uint32_t module_id, std::string_view text) {
  std::string_view type;
  bool is_string = false;
  if (FindJsonValue(text, "type", &type, &is_string) && is_string && type == "login_info") {
    std::string_view id_text;
    bool id_string = false;
    const int64_t id = FindJsonValue(text, "qmr_id", &id_text, &id_string) ? ParseLoginId(id_text)
                                                                             : 0;
    bool changed = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!login_cached_ || login_qmr_id_ != id) {
        login_cached_ = true;
        login_qmr_id_ = id;
        changed = true;
      }
    }
    if (changed) {
      services_.ModuleLog(1, "ModuleHost: login_info cached");
      if (deps_.set_crash_user_id) deps_.set_crash_user_id(id);
    }
  }
  std::vector<std::pair<uint32_t, VyomOnHostMessageFn>> targets;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [id, r] : modules_) {
      if ((module_id == 0 || id == module_id) && r->loaded && !r->unloading && r->on_host_message != nullptr)
        targets.emplace_back(id, r->on_host_message);
    }
  }
  const std::string copy(text);  // NUL-terminated for the module
  for (const auto& [id, fn] : targets) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = modules_.find(id);
      if (it == modules_.end() || !it->second->loaded || it->second->unloading) continue;
    }
    CallModule(id, [fn = fn, &copy] { fn(copy.c_str(), static_cast<uint32_t>(copy.size())); });
  }
}

void ModuleHost::RoutePageMessage(uint32_t view_id, std::string_view text) {
  uint32_t owner = 0;
  VyomOnPageMessageFn fn = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto o = view_owner_.find(view_id);
    if (o == view_owner_.end()) return;
    auto it = modules_.find(o->second);
    if (it == modules_.end() || !it->second->loaded || it->second->unloading) return;
    owner = o->second;
    fn = it->second->on_page_message;
  }
  if (fn == nullptr) return;
  const std::string copy(text);
  CallModule(owner, [fn, view_id, &copy] { fn(view_id, copy.c_str(), static_cast<uint32_t>(copy.size())); });
}

void ModuleHost::RouteViewEvent(uint32_t view_id, uint32_t event, uint32_t argument) {
  uint32_t owner = 0;
  VyomOnViewEventFn fn = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto o = view_owner_.find(view_id);
    if (o == view_owner_.end()) return;
    auto it = modules_.find(o->second);
    // Views of a module being unloaded still report their destruction, unless the module faulted.
    if (it == modules_.end() || it->second->faulted || it->second->silent ||
        (!it->second->loaded && !it->second->unloading)) {
      return;
    }
    owner = o->second;
    fn = it->second->on_view_event;
  }
  if (fn == nullptr) return;
  CallModule(owner, [fn, view_id, event, argument] { fn(view_id, event, argument); });
}

void ModuleHost::ForgetView(uint32_t view_id) {
  bool held_place = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto o = view_owner_.find(view_id);
    if (o == view_owner_.end()) return;
    auto it = modules_.find(o->second);
    if (it != modules_.end()) it->second->owned_views.erase(view_id);
    view_owner_.erase(o);
    // Gone without a ViewDestroyed from here (the overlay destroyed it): its place is given back.
    held_place = destroy_places_.erase(view_id) != 0;
  }
  if (held_place) services_.ReleaseOverlayFrames(1);
}

bool ModuleHost::TakeDestroyPlace(uint32_t view_id) {
  std::lock_guard<std::mutex> guard(lock_);
  return destroy_places_.erase(view_id) != 0;
}

bool ModuleHost::SubmitWork(void* ctx, uint32_t module_id, std::function<void()> work, uint32_t frames,
                            bool always) {
  if (module_id == 0) return false;
  const std::shared_ptr<std::atomic<int32_t>> in_flight = static_cast<Context*>(ctx)->in_flight;
  if (in_flight->fetch_add(1) >= kMaxModuleWorkInFlight && !always) {
    in_flight->fetch_sub(1);
    NoteRefusedWork(module_id);
    return false;
  }
  if (frames != 0 && !services_.ReserveOverlayFrames(frames)) {
    in_flight->fetch_sub(1);
    NoteRefusedWork(module_id);
    return false;
  }
  // The work's places are given back once it has run: while it runs, frames that may be dropped
  // cannot take them, so what it sends finds the room they kept.
  host::IModuleServices* services = &services_;
  const bool posted = services_.RunOnMainThread([services, in_flight, frames, work = std::move(work)] {
    work();
    if (frames != 0) services->ReleaseOverlayFrames(frames);
    in_flight->fetch_sub(1);
  });
  if (!posted) {
    if (frames != 0) services_.ReleaseOverlayFrames(frames);
    in_flight->fetch_sub(1);
  }
  return posted;
}

void ModuleHost::NoteRefusedWork(uint32_t module_id) {
  bool log = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = modules_.find(module_id);
    if (it != modules_.end() && it->second->refused_work_logs < kDroppedOutputLogBudget) {
      ++it->second->refused_work_logs;
      log = true;
    }
  }
  if (log) services_.ModuleLog(2, "ModuleHost: module call refused, too much of its work is waiting");
}

uint32_t ModuleHost::OwnerOf(uint32_t view_id) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto o = view_owner_.find(view_id);
  return o == view_owner_.end() ? 0 : o->second;
}

size_t ModuleHost::loaded_count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<size_t>(std::count_if(modules_.begin(), modules_.end(), [](const auto& m) { return m.second->loaded; }));
}

uint32_t ModuleHost::LoadedModuleOf(void* ctx) {
  const Context* context = static_cast<const Context*>(ctx);
  uint32_t id = 0;
  bool log = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = modules_.find(context->module_id);
    if (it != modules_.end() && ((it->second->loaded && !it->second->unloading) || it->second->in_shutdown)) {
      id = context->module_id;
    } else if (stale_context_logs_ < kStaleContextLogBudget) {
      ++stale_context_logs_;
      log = true;
    }
  }
  if (log) services_.ModuleLog(2, "ModuleHost: service call from a module that is not loaded ignored");
  return id;
}

uint32_t ModuleHost::CheckOwned(void* ctx, uint32_t view_id) {
  const uint32_t module_id = LoadedModuleOf(ctx);
  if (module_id == 0) return 0;
  std::lock_guard<std::mutex> guard(lock_);
  auto o = view_owner_.find(view_id);
  if (o == view_owner_.end() || o->second != module_id) return 0;
  auto it = modules_.find(module_id);
  return it != modules_.end() && it->second->owned_views.count(view_id) != 0 ? module_id : 0;
}

void ModuleHost::NoteDroppedOutput(uint32_t module_id) {
  bool log = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = modules_.find(module_id);
    if (it != modules_.end() && it->second->dropped_output_logs < kDroppedOutputLogBudget) {
      ++it->second->dropped_output_logs;
      log = true;
    }
  }
  if (log) services_.ModuleLog(2, "ModuleHost: module output dropped, the pipe queue is full");
}

}  // namespace vyo::modules
