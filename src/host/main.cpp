// Process entry of the host: converts the argument vector and returns the host's exit code as this
// platform's process status.
#include <string>
#include <vector>

#include "base/text.h"
#include "host/host_main.h"
#include "platform/process.h"

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
  if (argv == nullptr) return vyo::platform::ExitStatusFor(vyo::host::HostMain(nullptr));
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  return vyo::platform::ExitStatusFor(vyo::host::HostMain(&args));
}
#else
int main(int argc, char** argv) {
  if (argv == nullptr) return vyo::platform::ExitStatusFor(vyo::host::HostMain(nullptr));
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) args.push_back(vyo::Utf8ToUtf16(argv[i]));
  return vyo::platform::ExitStatusFor(vyo::host::HostMain(&args));
}
#endif
