// A process that really crashes.
//   crash      crash reporting on (the helper from BugReport/ beside this program), the fault guard
//              over it with a crash hook; a guarded fault is contained, then an unguarded access
//              violation ends the process.
//   unguarded  the fault guard with a crash hook only; an unguarded access violation.
// The hook leaves "hook_<pid>.txt" (the fault code in hex) in log/ beside the program.
#include <cstdio>
#include <string>

#include "base/text.h"
#include "crash/crash_report_loader.h"
#include "logging/logger.h"
#include "platform/fault_guard.h"
#include "platform/process.h"
#include "platform/report_file.h"

namespace {

using namespace vyo;

volatile int* volatile g_null = nullptr;

__attribute__((noinline, no_sanitize("address", "undefined"))) void NullWrite(void*) { *g_null = 1; }

void Hook(uint32_t code, const void*) {
  char text[32];
  const int n = std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(code));
  const std::u16string dir = platform::ExecutableDirectory() + platform::PathSeparator() + u"log";
  platform::AppendReportFile(dir, u"hook_" + Utf8ToUtf16(std::to_string(platform::CurrentProcessId())) + u".txt",
                             text, static_cast<size_t>(n));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (mode == "crash") {
    base::LoggingOptions options;
    options.encrypt = false;
    options.memory_log = false;
    base::InitLogging("FenyraOverlayHost", options);
    if (!crash::CrashReportLoader::Instance().Init(u"FenyraOverlayHost", std::nullopt, 0x40000002F, 4,
                                                    &crash::CrashReportLoader::HostCrashCallback)) {
      return 3;
    }
    crash::CrashReportLoader::Instance().SetUserId(4711);
  } else if (mode != "unguarded") {
    return 2;
  }
  platform::SetCrashHook(Hook);
  if (platform::GuardedCall(NullWrite, nullptr) != platform::kFaultAccessViolation) return 4;
  NullWrite(nullptr);
  return 5;  // not reached
}
