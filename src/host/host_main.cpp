#include "host/host_main.h"

#include <memory>

#include "base/text.h"
#include "host/app.h"
#include "logging/logger.h"
#include "base/log.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace vyo::host {

namespace {

// Logging is the last subsystem down.
void StopLogging() {
  SetLocalLogSink(nullptr);
  base::ShutdownLogging();
}

}  // namespace

uint32_t HostMain(const std::vector<std::u16string>* args) {
  if (args == nullptr) return kExitNullArgs;

  const uint32_t parent_for_foreground = ParseProcessId(FindOption(*args, u"--parent-pid"));
  platform::ForegroundGrant grant;
  if (parent_for_foreground != 0) grant = platform::AllowForegroundFor(parent_for_foreground);
  const int dpi_mode = platform::ApplyDpiAwareness();

  // Logging first: the host's encrypted log files and memory log.
  base::InitLogging("FenyraOverlayHost");
  SetLocalLogSink([](LogLevel level, std::string_view line) { base::LogWrite(static_cast<int>(level), line); });
  platform::Clock& clock = platform::SystemClock();

  HostLogf(LogLevel::kTrace, "DPI awareness applied, mode=%d (2=PerMonitorV2, 1=System, 0=failed)", dpi_mode);
  HostLogf(LogLevel::kTrace, "AllowSetForegroundWindow returned to parent, pid=%u, ok=%d, error=%u",
           parent_for_foreground, grant.ok ? 1 : 0, grant.error);

  bool windowed_error = false;
  const HostOptions options = ParseHostOptions(*args, &windowed_error);
  if (windowed_error) {
    HostLogf(LogLevel::kError, "windowed present requested without game window/pid, hwnd=%p, pid=%u",
             reinterpret_cast<void*>(static_cast<uintptr_t>(options.game_hwnd)), options.game_pid);
  }
  if (!IsValid(options)) {
    HostLogf(LogLevel::kError, "%s", "invalid command line, exiting (bad_args)");
    StopLogging();
    return kExitBadArgs;
  }

  auto app = std::make_unique<WebViewHostApp>(clock);
  if (!app->Initialise(options)) {
    HostLogf(LogLevel::kError, "%s", "initialisation failed, exiting (init_failed)");
    app->Shutdown();
    app.reset();
    StopLogging();
    return kExitInitFailed;
  }
  const uint32_t exit_code = app->RunMainLoop();
  const std::string reason = app->exit_reason();
  app->Shutdown();
  HostLogf(LogLevel::kTrace, "main loop ended, exit_code=0x%x, reason=%s", exit_code, reason.c_str());
  app.reset();
  StopLogging();
  return exit_code;
}

}  // namespace vyo::host
