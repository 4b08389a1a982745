// The module host: loads plug-in module libraries, hands each its services table, drives it (tick,
// overlay messages, page messages, view events) and unloads it. Every call into a module runs under
// the fault guard; a module that faults is reported and unloaded, and the host carries on.
//
// Loading, routing and unloading run on the main thread. The services table's functions may be
// called from any module thread: they read the module records under a lock that is never held while
// calling out, and act through IModuleServices, which carries view work to the main thread in order.
#pragma once
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

#include "modules/module_services.h"
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
  };

 private:
  friend struct ServiceEntries;
  uint32_t AllocateModuleIdLocked();
  uint32_t AllocateViewIdLocked();
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

  host::IModuleServices& services_;
  ModuleHostDeps deps_;
  mutable std::mutex lock_;  // guards everything below; never held while calling out
  std::map<uint32_t, std::unique_ptr<Record>> modules_;
  std::map<uint32_t, uint32_t> view_owner_;
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
