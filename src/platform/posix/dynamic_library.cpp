#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "base/text.h"
#include "platform/process.h"

namespace vyo::platform {
namespace {

class PosixLibrary final : public DynamicLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { dlclose(handle_); }
  void* Symbol(const char* name) const override { return dlsym(handle_, name); }

 private:
  void* handle_;
};

std::atomic<LibraryLoadedHook> g_loaded_hook{nullptr};

void NotifyLoaded() {
  if (const LibraryLoadedHook hook = g_loaded_hook.load()) hook();
}

}  // namespace

void SetLibraryLoadedHook(LibraryLoadedHook hook) { g_loaded_hook.store(hook); }

std::u16string_view LibrarySuffix() { return u".so"; }

bool IsFullPath(std::u16string_view path) { return !path.empty() && path.front() == u'/'; }

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::u16string& path, uint32_t* error) {
  if (!IsFullPath(path) || path.find(u'\0') != std::u16string::npos) {
    if (error != nullptr) *error = EINVAL;
    return nullptr;
  }
  const std::string native = Utf16ToUtf8(path);
  void* handle = dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    // dlopen does not set errno: a missing file is ENOENT, anything else a bad library.
    if (error != nullptr) *error = access(native.c_str(), F_OK) != 0 ? ENOENT : ELIBBAD;
    return nullptr;
  }
  NotifyLoaded();
  return std::make_unique<PosixLibrary>(handle);
}

bool IsLibraryLoaded(const std::u16string& path) {
  if (!IsFullPath(path)) return false;
  void* handle = dlopen(Utf16ToUtf8(path).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);  // RTLD_NOLOAD still counted a reference
  return true;
}

std::u16string ModuleContaining(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == 0) {
    return {};
  }
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) != nullptr) return Utf8ToUtf16(resolved);
  return Utf8ToUtf16(info.dli_fname);
}

std::vector<LoadedModule> LoadedModules() {
  std::vector<LoadedModule> modules;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        uintptr_t low = UINTPTR_MAX;
        uintptr_t high = 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          low = std::min<uintptr_t>(low, info->dlpi_addr + ph.p_vaddr);
          high = std::max<uintptr_t>(high, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
        }
        if (high <= low) return 0;
        LoadedModule m;
        m.begin = low;
        m.end = high;
        // The program itself has no name in the list.
        const char* name = info->dlpi_name != nullptr && info->dlpi_name[0] != 0 ? info->dlpi_name : nullptr;
        char resolved[PATH_MAX];
        if (name == nullptr) {
          m.path = ExecutablePath();
        } else {
          m.path = Utf8ToUtf16(realpath(name, resolved) != nullptr ? resolved : name);
        }
        static_cast<std::vector<LoadedModule>*>(data)->push_back(std::move(m));
        return 0;
      },
      &modules);
  return modules;
}

std::optional<std::array<uint16_t, 4>> FileVersion(const std::u16string&) { return std::nullopt; }

std::vector<std::u16string> SystemLibraryFolders() {
  return {u"/lib", u"/lib64", u"/usr/lib", u"/usr/lib64", u"/usr/local/lib"};
}

}  // namespace vyo::platform
