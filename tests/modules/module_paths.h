// Where the test programs find the modules they load. Windows builds put every library beside the
// test programs, and a program under Wine sees its folder as a Windows path, not the build's own
// (Unix) path; other builds use the folders the build names.
#pragma once
#include <string>

#include "base/text.h"
#include "platform/dynamic_library.h"
#include "platform/process.h"

namespace vyo::modules::testing {

inline std::string TestModuleDir() {
#ifdef _WIN32
  return Utf16ToUtf8(platform::ExecutableDirectory());
#else
  return TEST_MODULE_DIR;
#endif
}

// The full path of a module library built by the project, from its name without suffix.
inline std::string TestModulePath(const std::string& name) {
#ifdef _WIN32
  const char* separator = "\\";
#else
  const char* separator = "/";
#endif
  return TestModuleDir() + separator + name + Utf16ToUtf8(platform::LibrarySuffix());
}

}  // namespace vyo::modules::testing
