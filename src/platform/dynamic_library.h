// Dynamic libraries loaded by full path, and facts about loaded modules.
// Windows: LoadLibraryExW with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32, so
// that neither the library nor its dependencies come from the current directory or PATH.
// Linux: dlopen(RTLD_NOW | RTLD_LOCAL).
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyo::platform {

// The file name ending of a dynamic library on this platform: ".dll" or ".so".
std::u16string_view LibrarySuffix();

// True for a full path (a drive or UNC path on Windows, a path from '/' on Linux).
bool IsFullPath(std::u16string_view path);

class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;  // unloads the library
  // Loads the library at a full path; a relative path or a bare name is refused. Null on failure,
  // with the system error number in `error` when given (ERROR_BAD_PATHNAME / EINVAL for a path
  // that is not full).
  static std::unique_ptr<DynamicLibrary> Open(const std::u16string& path, uint32_t* error = nullptr);
  // The exported symbol, or null.
  virtual void* Symbol(const char* name) const = 0;
};

// Called on the loading thread after each library DynamicLibrary::Open loaded, so that a list
// taken of the loaded modules (the crash path's) can be taken again. One hook; null removes it.
using LibraryLoadedHook = void (*)();
void SetLibraryLoadedHook(LibraryLoadedHook hook);

// True while the library at `path` is loaded in this process (the reference count is not changed).
bool IsLibraryLoaded(const std::u16string& path);

// Full path of the loaded module (program or library) that contains `address`; empty when none
// does or the path does not fit 260 characters (Windows).
std::u16string ModuleContaining(const void* address);

// A module mapped in this process: the address range of its loaded segments and its full path.
struct LoadedModule {
  uintptr_t begin = 0;
  uintptr_t end = 0;  // one past the last byte
  std::u16string path;
};
// Every module loaded now (the program and its libraries). The crash path takes this list at start
// so that naming a faulting module later needs no loader call.
std::vector<LoadedModule> LoadedModules();

// The file version of a module from its version resource (Windows); none on Linux, where
// libraries carry no version resource.
std::optional<std::array<uint16_t, 4>> FileVersion(const std::u16string& path);

// Folders whose libraries belong to the operating system: the system folder and the "SysWOW64"
// and "WinSxS" folders of the Windows folder; on Linux the system library folders.
std::vector<std::u16string> SystemLibraryFolders();

}  // namespace vyo::platform
