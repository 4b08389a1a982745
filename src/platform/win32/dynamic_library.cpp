#include "platform/dynamic_library.h"

#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <atomic>
#include <cwchar>

namespace vyo::platform {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
std::u16string FromWide(const wchar_t* text, size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

std::atomic<LibraryLoadedHook> g_loaded_hook{nullptr};

class Win32Library final : public DynamicLibrary {
 public:
  explicit Win32Library(HMODULE module) : module_(module) {}
  ~Win32Library() override { FreeLibrary(module_); }
  void* Symbol(const char* name) const override {
    return reinterpret_cast<void*>(GetProcAddress(module_, name));
  }

 private:
  HMODULE module_;
};

// A module's full path; empty when it does not fit 260 characters (a full buffer is a failure).
std::u16string ModulePath(HMODULE module) {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return FromWide(buffer, length);
}

}  // namespace

std::u16string_view LibrarySuffix() { return u".dll"; }

bool IsFullPath(std::u16string_view path) {
  if (path.size() >= 3 && ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')) &&
      path[1] == u':' && (path[2] == u'\\' || path[2] == u'/')) {
    return true;
  }
  return path.size() >= 3 && path[0] == u'\\' && path[1] == u'\\';
}

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::u16string& path, uint32_t* error) {
  if (!IsFullPath(path) || path.find(u'\0') != std::u16string::npos) {
    if (error != nullptr) *error = ERROR_BAD_PATHNAME;
    return nullptr;
  }
  // The library's own folder and the system folder are searched for its dependencies; never the
  // current directory or PATH.
  HMODULE module = LoadLibraryExW(W(path), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    // Systems without the search flags: the altered search path still starts at the library's
    // own folder.
    module = LoadLibraryExW(W(path), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (module == nullptr) {
    if (error != nullptr) *error = GetLastError();
    return nullptr;
  }
  if (const LibraryLoadedHook hook = g_loaded_hook.load()) hook();
  return std::make_unique<Win32Library>(module);
}

bool IsLibraryLoaded(const std::u16string& path) {
  HMODULE module = nullptr;
  return IsFullPath(path) &&
         GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, W(path), &module) != 0 &&
         module != nullptr;
}

void SetLibraryLoadedHook(LibraryLoadedHook hook) { g_loaded_hook.store(hook); }

std::u16string ModuleContaining(const void* address) {
  HMODULE module = nullptr;
  if (address == nullptr ||
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCWSTR>(address), &module) == 0) {
    return {};
  }
  return ModulePath(module);
}

std::vector<LoadedModule> LoadedModules() {
  std::vector<LoadedModule> modules;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return modules;
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Module32FirstW(snapshot, &entry); more; more = Module32NextW(snapshot, &entry)) {
    LoadedModule m;
    m.begin = reinterpret_cast<uintptr_t>(entry.modBaseAddr);
    m.end = m.begin + entry.modBaseSize;
    m.path = FromWide(entry.szExePath, wcslen(entry.szExePath));
    modules.push_back(std::move(m));
  }
  CloseHandle(snapshot);
  return modules;
}

std::optional<std::array<uint16_t, 4>> FileVersion(const std::u16string& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(W(path), &ignored);
  if (size == 0) return std::nullopt;
  std::string block(size, '\0');
  if (!GetFileVersionInfoW(W(path), 0, size, block.data())) return std::nullopt;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT info_size = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &info_size) || info == nullptr ||
      info_size < sizeof(VS_FIXEDFILEINFO)) {
    return std::nullopt;
  }
  return std::array<uint16_t, 4>{HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                                 HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS)};
}

std::vector<std::u16string> SystemLibraryFolders() {
  std::vector<std::u16string> folders;
  wchar_t buffer[MAX_PATH];
  UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) folders.push_back(FromWide(buffer, length));
  length = GetWindowsDirectoryW(buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    std::u16string windows = FromWide(buffer, length);
    if (!windows.empty() && windows.back() == u'\\') windows.pop_back();
    folders.push_back(windows + u"\\SysWOW64");
    folders.push_back(windows + u"\\WinSxS");
  }
  return folders;
}

}  // namespace vyo::platform
