#include "crash/crash_report_loader.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "platform/dynamic_library.h"
#include "platform/process.h"
#include "platform/shared_memory_owner.h"

namespace vyo::crash {
namespace {

// The crash-report service's endpoints (the helper keeps them; it does not upload).
constexpr char16_t kQueryUrl[] = u"https://crash.fenyra-overlay.net/query_crash_config.php";
constexpr char16_t kMetaUrl[] = u"https://crash.fenyra-overlay.net/upload_crash_meta.php";
constexpr char16_t kFileUrl[] = u"https://crash.fenyra-overlay.net/upload_crash_file.php";

// Debugger notifications that are not crashes: debug output (narrow and wide) and the RIP exception.
bool IsDebuggerNotification(uint32_t code) { return code == 0x40010006u || code == 0x40010007u || code == 0x4001000Au; }

std::atomic<CrashReportLoader*> g_registered{nullptr};
// The loader whose module list follows the libraries loaded later.
std::atomic<CrashReportLoader*> g_modules_owner{nullptr};

void OnLibraryLoaded() {
  if (CrashReportLoader* loader = g_modules_owner.load()) loader->RefreshModules();
}

template <typename T>
void Put(uint8_t* record, size_t offset, T value) {
  std::memcpy(record + offset, &value, sizeof(value));
}

// Text built in a fixed buffer (cut when full): the crash path cannot allocate.
class FixedText {
 public:
  FixedText& Add(std::string_view text) {
    for (char c : text) {
      if (used_ + 1 < sizeof(text_)) text_[used_++] = c;
    }
    text_[used_] = 0;
    return *this;
  }
  FixedText& Int(int32_t value) {
    char digits[12];
    size_t n = 0;
    int64_t v = value;
    const bool negative = v < 0;
    if (negative) v = -v;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    if (negative) Add("-");
    while (n > 0) {
      const char c[1] = {digits[--n]};
      Add(std::string_view(c, 1));
    }
    return *this;
  }
  std::string_view view() const { return std::string_view(text_, used_); }

 private:
  char text_[512] = {};
  size_t used_ = 0;
};

char16_t ToLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

}  // namespace

std::u16string FormatVersion(const std::array<uint16_t, 4>& v) {
  char text[32];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]),
                static_cast<unsigned>(v[2]), static_cast<unsigned>(v[3]));
  return Utf8ToUtf16(text);
}

bool IsInFolders(std::u16string_view path, const std::vector<std::u16string>& folders) {
  for (std::u16string_view folder : folders) {
    while (!folder.empty() && (folder.back() == u'\\' || folder.back() == u'/')) folder.remove_suffix(1);
    if (folder.empty() || path.size() < folder.size()) continue;
    bool same = true;
    for (size_t i = 0; i < folder.size() && same; ++i) same = ToLower(path[i]) == ToLower(folder[i]);
    if (!same) continue;
    if (path.size() == folder.size() || path[folder.size()] == u'\\' || path[folder.size()] == u'/') return true;
  }
  return false;
}

std::u16string_view FileNamePart(std::u16string_view path) {
  size_t cut = path.rfind(u'\\');
  if (cut == std::u16string_view::npos) cut = path.rfind(u'/');
  return cut == std::u16string_view::npos ? path : path.substr(cut + 1);
}

CrashReportLoader& CrashReportLoader::Instance() {
  static CrashReportLoader loader(HostCrashServices());
  return loader;
}

CrashReportLoader::CrashReportLoader(CrashServices& services, std::u16string executable_path)
    : services_(services), executable_path_(std::move(executable_path)) {}

CrashReportLoader::~CrashReportLoader() { Uninit(); }

void CrashReportLoader::TraceF(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  services_.Trace(text);
}

bool CrashReportLoader::Init(std::u16string_view product_tag, std::optional<uint64_t> user_id, uint64_t option1,
                             uint32_t option2, VyoCrashCallback callback) {
  if (record_) return true;
  const std::u16string exe = executable_path_.empty() ? platform::ExecutablePath() : executable_path_;

  const auto file_version = exe.empty() ? std::nullopt : platform::FileVersion(exe);
  std::u16string version = FormatVersion(file_version ? *file_version : std::array<uint16_t, 4>{1, 1, 0, 41});
  if (version.empty()) version = u"0.0.0.0";
  CopyText(version_, version);
  CopyText(host_version_, version);
  CopyText(product_, product_tag);

  const size_t cut = exe.find_last_of(u"\\/");
  if (exe.empty() || cut == std::u16string::npos) {
    TraceF("%s", "[CrashReportLoader] Get Process Folder fail");
    return false;
  }
  const std::u16string folder = exe.substr(0, cut);
  const char16_t sep = platform::PathSeparator();
  const std::u16string crash_folder = folder + sep + u"BugReport";
  // A path that does not fit its buffer is never used cut short.
  const bool fits = CopyText(crash_folder_, crash_folder) &&
                    CopyText(dbghelp_path_, crash_folder + sep + u"dbghelp.dll") &&
                    CopyText(library_path_, crash_folder + sep + u"crash_report_helper" +
                                                std::u16string(platform::LibrarySuffix()));
  uint32_t error = 206;  // the file name is too long
  if (fits) library_ = platform::DynamicLibrary::Open(library_path_.data(), &error);
  if (!library_) {
    TraceF("[CrashReportLoader] Load library failed=%lu", static_cast<unsigned long>(error));
    TraceF("%s", "[CrashReportLoader] Load library fail");
    return false;
  }
  init_ = reinterpret_cast<VyoInitCrashReportHelperFn>(library_->Symbol("InitCrashReportHelper"));
  uninit_ = reinterpret_cast<VyoUninitCrashReportHelperFn>(library_->Symbol("UninitCrashReportHelper"));
  set_offline_ = reinterpret_cast<VyoSetCrashReportHelperOfflineFn>(library_->Symbol("SetCrashReportHelperOffline"));
  set_callback_ = reinterpret_cast<VyoSetCrashReportHelperCallbackFn>(library_->Symbol("SetCrashReportHelperCallback"));
  add_file_ = reinterpret_cast<VyoAddCrashReportHelperFileFn>(library_->Symbol("AddCrashReportHelperFile"));
  update_user_id_ =
      reinterpret_cast<VyoUpdateCrashReportHelperUserIdFn>(library_->Symbol("UpdateCrashReportHelperUserId"));
  refresh_modules_ =
      reinterpret_cast<VyoRefreshCrashReportHelperModulesFn>(library_->Symbol("RefreshCrashReportHelperModules"));

  if (user_id) user_id_.store(*user_id);
  services_.Prepare();
  RefreshModules();
  record_ = std::make_unique<Record>();
  record_->fill(0);
  uint8_t* r = record_->data();
  Put<uint16_t>(r, VYO_CRASH_RECORD_OFF_SIZE, VYO_CRASH_RECORD_SIZE);
  Put<const void*>(r, VYO_CRASH_RECORD_OFF_PRODUCT, product_.data());
  Put<const void*>(r, VYO_CRASH_RECORD_OFF_VERSION, version_.data());
  Put<const void*>(r, VYO_CRASH_RECORD_OFF_FOLDER, crash_folder_.data());
  Put<uint32_t>(r, VYO_CRASH_RECORD_OFF_FLAGS, 0x3FFF);
  Put<const void*>(r, VYO_CRASH_RECORD_OFF_DBGHELP, dbghelp_path_.data());
  Put<uint32_t>(r, VYO_CRASH_RECORD_OFF_ZERO, 0);
  Put<const void*>(r, VYO_CRASH_RECORD_OFF_QUERY_URL, kQueryUrl);
  Put<const void*>(r, VYO_CRASH_RECORD_OFF_META_URL, kMetaUrl);
  Put<const void*>(r, VYO_CRASH_RECORD_OFF_FILE_URL, kFileUrl);
  Put<uint64_t>(r, VYO_CRASH_RECORD_OFF_OPTION1, option1);
  Put<uint64_t>(r, VYO_CRASH_RECORD_OFF_USER_ID, user_id_.load());
  Put<uint32_t>(r, VYO_CRASH_RECORD_OFF_OPTION2, option2);
  Put<uint64_t>(r, VYO_CRASH_RECORD_OFF_RESERVED, 0);
  Put<uint32_t>(r, VYO_CRASH_RECORD_OFF_LAST, 3);

  const int32_t result = init_ != nullptr ? init_(r) : 1;
  if (result != 0) {
    TraceF("[CrashReportLoader] InitCrashRpt fail, %d.", static_cast<int>(result));
    record_.reset();
    library_.reset();
    ClearExports();
    return false;
  }
  if (set_offline_ != nullptr) set_offline_(0);
  TraceF("%s", "[CrashReportLoader] InitCrashRpt success");
  if (callback != nullptr && set_callback_ != nullptr) {
    g_registered.store(this);
    set_callback_(callback, nullptr);
  }
  g_modules_owner.store(this);
  platform::SetLibraryLoadedHook(&OnLibraryLoaded);
  return true;
}

void CrashReportLoader::PushUserId(uint64_t user_id) {
  if (!record_) return;
  // The helper may read the field at any time: one aligned 64-bit store.
  std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(record_->data() + VYO_CRASH_RECORD_OFF_USER_ID))
      .store(user_id);
  if (update_user_id_ != nullptr) update_user_id_(user_id);
}

void CrashReportLoader::SetUserId(uint64_t user_id) {
  user_id_.store(user_id);
  PushUserId(user_id);
}

void CrashReportLoader::Uninit() {
  if (!record_) return;
  CrashReportLoader* owner = this;
  if (g_modules_owner.compare_exchange_strong(owner, nullptr)) platform::SetLibraryLoadedHook(nullptr);
  if (uninit_ != nullptr) uninit_();
  CrashReportLoader* self = this;
  g_registered.compare_exchange_strong(self, nullptr);
  record_.reset();
  library_.reset();
  ClearExports();
}

void CrashReportLoader::ClearExports() {
  init_ = nullptr;
  uninit_ = nullptr;
  set_offline_ = nullptr;
  set_callback_ = nullptr;
  add_file_ = nullptr;
  update_user_id_ = nullptr;
  refresh_modules_ = nullptr;
}

void CrashReportLoader::RefreshModules() {
  const std::vector<std::u16string> system_folders = platform::SystemLibraryFolders();
  auto list = std::make_unique<std::vector<CrashModule>>();
  for (const platform::LoadedModule& m : platform::LoadedModules()) {
    CrashModule& c = list->emplace_back();
    c.begin = m.begin;
    c.end = m.end;
    const std::string name = Utf16ToUtf8(FileNamePart(m.path));
    // A name that does not fit or did not convert cleanly is not worth reporting.
    const char* usable =
        name.empty() || name.size() >= kModuleNameBytes || name.find("\xEF\xBF\xBD") != std::string::npos
            ? "unknown"
            : name.c_str();
    std::snprintf(c.name, sizeof(c.name), "%s", usable);
    if (const auto v = platform::FileVersion(m.path)) {
      c.has_version = true;
      if (IsInFolders(m.path, system_folders)) {
        c.version = host_version_;
      } else {
        CopyText(c.version, FormatVersion(*v));
      }
    }
  }
  {
    std::lock_guard<std::mutex> guard(module_lists_lock_);
    modules_.store(list.get());
    module_lists_.push_back(std::move(list));
  }
  if (refresh_modules_ != nullptr) refresh_modules_();
}

const CrashModule* CrashReportLoader::FindModule(const void* address) const {
  const std::vector<CrashModule>* list = modules_.load();
  if (list == nullptr || address == nullptr) return nullptr;
  const auto a = reinterpret_cast<uintptr_t>(address);
  for (const CrashModule& m : *list) {
    if (a >= m.begin && a < m.end) return &m;
  }
  return nullptr;
}

void* CrashReportLoader::Symbol(const char* name) const { return library_ ? library_->Symbol(name) : nullptr; }

int CrashReportLoader::HostCrashCallback(const VyoCrashCallbackInfo* info) {
  CrashReportLoader* loader = g_registered.load();
  return loader != nullptr ? loader->OnCrash(info) : 1;
}

int CrashReportLoader::OnCrash(const VyoCrashCallbackInfo* info) {
  const VyoCrashBlock* block = info != nullptr ? info->crash : nullptr;
  const int32_t stage = info != nullptr && block != nullptr ? info->stage : 0;
  const int32_t type = block != nullptr ? block->exception_type : 0;
  const uint32_t code = block != nullptr ? block->exception_code : 0;
  if (IsDebuggerNotification(code)) return 1;
  // One crash at a time: a second failing thread is not reported (the first ends the process).
  if (crash_in_progress_.exchange(1) != 0) return 1;

  const void* address = block != nullptr && block->pointers != nullptr && block->pointers->record != nullptr
                            ? block->pointers->record->address
                            : nullptr;
  // The process is ending: the names of the shared memory it created go first (nothing else
  // would remove them), while the overlay's mappings stay valid until the end.
  platform::UnlinkOwnedSharedMemory();
  const uint64_t user_id = user_id_.load();
  if (user_id != 0) PushUserId(user_id);

  // Only what was prepared at start: this may run in a signal handler of a thread that holds the
  // heap's lock.
  const CrashModule* module = FindModule(address);
  if (module != nullptr && module->has_version) version_ = module->version;
  const char* module_name = module != nullptr ? module->name : "unknown";

  FixedText line;
  line.Add("[FenyraOverlayHost]CrashReportCallback, code:").Int(static_cast<int32_t>(code));
  line.Add(", exctype:").Int(type).Add(", stage:").Int(stage).Add(", module:").Add(module_name);
  services_.LogError(line.view(), __builtin_FILE(), __builtin_LINE(), __builtin_FUNCTION());
  const int32_t ints[] = {0, 0, static_cast<int32_t>(code), type, stage};
  const std::string_view strs[] = {module_name};
  services_.ReportOffline(23, ints, strs);
  services_.ShutdownLog();
  services_.Pause(500);
  return 1;
}

}  // namespace vyo::crash
