// The module host: loads plug-in module libraries, hands each its services table, drives it (tick,
// overlay messages, page messages, view events) and unloads it. Every call into a module runs under
// the fault guard; a module that faults is reported and unloaded, and the host carries on.
//
// Loading, routing and unloading run on the main thread. The services table's functions may be
// called from any module thread: they read the module records under a lock that is never held while
// calling out, and hand their work to the main thread in order (IModuleServices::RunOnMainThread).
//
// Work a module posts is bounded, and a call either fails now or its effect happens: each module has
// at most kMaxModuleWorkInFlight operations posted and not yet done (more are refused: create_view
// returns 0, send_to_overlay counts as dropped, other void calls are ignored with a log line;
// destroy_view is never refused, it is bounded by the views made). A frame that work will send is
// given its place in the overlay's queue when the call is made (kViewWorkFrames for an operation on
// a view, one more for the ViewDestroyed of a view made, held by the view until it goes, one for
// send_to_overlay); without room the call is refused. So the frames that must not be dropped are never refused later, and the writer never
// fails for a module's flood.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "view_service/module_services.h"
#include "platform/dynamic_library.h"
#include "platform/files.h"
#include "qos/qos.h"

namespace vyo::platform {
class DynamicLibrary;
}

namespace vyo::modules {

enum ModuleStatusCode : uint32_t {
  kModuleLoaded = 0,
  kModuleBadPath = 1,
  kModuleLoadFailed = 3,
  kModuleMissingExport = 4,
  kModuleBadVersion = 5,
  kModuleInitFailed = 6,
  kModuleFaulted = 7,
  kModuleShutdown = 8,
  kModuleConfigProblem = 10,
};

constexpr uint32_t kFirstModuleViewId = 0x40000000;
constexpr uint32_t kLastModuleViewId = 0x7FFFFFFF;
constexpr uint32_t kErrorAlreadyExists = 183;
// Operations one module may have posted to the main thread and not yet done there.
constexpr int32_t kMaxModuleWorkInFlight = 256;
// Places in the overlay's queue an operation on a view keeps for the frames that must not be dropped
// it may cause: ViewCreated or a view change, and the shared texture the view then gets
// (SharedTextureReady, sent again when a new size makes a new texture).
constexpr uint32_t kViewWorkFrames = 2;

// What the module host needs beyond IModuleServices, injected by the application.
struct ModuleHostDeps {
  std::function<void(qos::QosEvent)> report_event;       // telemetry (events 25 and 26)
  std::function<bool(uint32_t view_id)> view_id_in_use;  // ids the registry already holds
  std::function<void(uint32_t view_id, int32_t ms)> request_full_frames;  // capture; may be empty
  std::function<void(uint32_t view_id, bool on)> set_full_refresh;        // capture; may be empty
  std::function<void(int64_t user_id)> set_crash_user_id;                 // may be empty
  uint32_t parent_pid = 0;
};

class ModuleHost {
 public:
  ModuleHost(host::IModuleServices& services, ModuleHostDeps deps);
  ~ModuleHost();  // shuts the modules down
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  // Main thread. Returns the module id (0 when no id could be had); failures are reported with
  // ModuleStatus and the load event.
  uint32_t LoadModule(const std::u16string& path, const std::string& config, const std::string& name);
  // Idempotent; deferred while a call into the module is on the stack.
  void UnloadModule(uint32_t module_id, uint32_t status, uint32_t value);
  void ShutdownModules();
  void ReportConfigResult(uint32_t result);

  void TickModules(uint64_t now);
  void RouteHostMessage(uint32_t module_id, std::string_view text);
  void RoutePageMessage(uint32_t view_id, std::string_view text);
  void RouteViewEvent(uint32_t view_id, uint32_t event, uint32_t argument);
  void ForgetView(uint32_t view_id);

  // Any thread.
  bool IsModuleView(uint32_t view_id) const { return OwnerOf(view_id) != 0; }
  uint32_t OwnerOf(uint32_t view_id) const;
  size_t loaded_count() const;

  struct Record;
  struct Context {
    ModuleHost* host;
    uint32_t module_id;
    // Operations of the module posted to the main thread and not yet done there. Shared with the
    // posted work, which may run after the module (or the module host) is gone.
    std::shared_ptr<std::atomic<int32_t>> in_flight;
  };

 private:
  friend struct ServiceEntries;
  uint32_t AllocateModuleIdLocked();
  uint32_t AllocateViewIdLocked();
  // The steps of LoadModule.
  uint32_t CheckModuleFile(const std::u16string& path, std::u16string* full_path,
                           std::optional<platform::FileId>* file_id, uint32_t* value);
  static std::unique_ptr<Record> BindExports(platform::DynamicLibrary& library);
  static void FillServiceTable(Record& record);
  void Report(uint32_t module_id, uint32_t status, uint32_t value, const std::string& name,
              const std::u16string& path, uint64_t start_ms, bool send_event);
  void ReportFault(uint32_t module_id, uint32_t code, const std::string& name, const std::u16string& path);
  // Runs fn inside the fault guard with the module's call depth raised; applies the fault rule and
  // any unload requested meanwhile once the outermost call returns. Returns the fault code.
  uint32_t CallModule(uint32_t module_id, const std::function<void()>& fn, bool unload_on_fault = true);
  void DestroyOwnedViews(uint32_t module_id);
  // The module id when `ctx` names a loaded module that owns `view_id`, else 0.
  uint32_t CheckOwned(void* ctx, uint32_t view_id);
  uint32_t LoadedModuleOf(void* ctx);
  void NoteDroppedOutput(uint32_t module_id);
  // Runs `work` for the module on the main thread (now there, else posted), counted in flight until
  // it is done, with `frames` places of the overlay's queue kept for what it sends. False, with
  // nothing done, when the module has kMaxModuleWorkInFlight operations in flight (unless `always`),
  // the places cannot be had, or the work cannot be posted.
  bool SubmitWork(void* ctx, uint32_t module_id, std::function<void()> work, uint32_t frames,
                  bool always = false);
  void NoteRefusedWork(uint32_t module_id);
  // The overlay place held for the view's ViewDestroyed taken from the view (true when it held one);
  // the caller releases it once the frame is queued.
  bool TakeDestroyPlace(uint32_t view_id);

  host::IModuleServices& services_;
  ModuleHostDeps deps_;
  mutable std::mutex lock_;  // guards everything below; never held while calling out
  std::map<uint32_t, std::unique_ptr<Record>> modules_;
  std::map<uint32_t, uint32_t> view_owner_;
  // Module views holding a reserved overlay place for their ViewDestroyed (taken with the view).
  std::set<uint32_t> destroy_places_;
  std::deque<Context> contexts_;  // stable: a context outlives its module
  std::vector<std::unique_ptr<platform::DynamicLibrary>> quarantined_;  // faulted images, never called again
  uint32_t next_view_id_ = kFirstModuleViewId;
  uint32_t next_module_id_ = 1;
  bool login_cached_ = false;
  int64_t login_qmr_id_ = 0;
  uint32_t stale_context_logs_ = 0;
};

// The value of `key` in a JSON text by a minimal scan: the quoted key must follow the start, "{" or
// ",". A string value is returned without its quotes; any other value from its first character.
bool FindJsonValue(std::string_view text, std::string_view key, std::string_view* value, bool* is_string);
// Signed decimal from the start of `text` (one leading '"' skipped); saturates; 0 when none.
int64_t ParseLoginId(std::string_view text);

}  // namespace vyo::modules
