#include "host/host_main.h"

#include <chrono>
#include <memory>
#include <thread>

#include "crash/crash_report_loader.h"

#include "base/text.h"
#include "host/app.h"
#include "logging/logger.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/fault_guard.h"
#include "platform/shared_memory_owner.h"
#include "qos/events.h"
#include "qos/sink.h"
#include "renderers/cdp/cdp_capture.h"
#include "renderers/cdp/cdp_runtime.h"

namespace vyo::host {

namespace {

// The telemetry collector, "host:port" (deployment configuration; empty: no upload).
#ifndef VYO_QOS_COLLECTOR
#define VYO_QOS_COLLECTOR ""
#endif

// The process-wide telemetry sink slot (null when no collector is configured).
std::unique_ptr<qos::QosHttpSink> g_sink;

void StartTelemetry(int dpi_mode) {
  const std::string collector = VYO_QOS_COLLECTOR;
  const size_t colon = collector.rfind(':');
  if (!collector.empty()) {
    const std::string host = collector.substr(0, colon);
    const auto port = static_cast<uint16_t>(colon == std::string::npos ? 80 : std::stoi(collector.substr(colon + 1)));
    g_sink = std::make_unique<qos::QosHttpSink>(qos::HttpTransport(host, port), qos::OfflineStore::Default());
  }
  qos::QosContext::Instance().SetDpiMode(dpi_mode);
  qos::QosReporter::Instance().SetSink(g_sink.get());
  qos::SetActiveHttpSink(g_sink.get());
  if (g_sink) g_sink->Start();
}

// Flushes the reporter and the sink (2000 ms each), then removes the sink.
void StopTelemetry() {
  qos::QosReporter::Instance().Stop(2000);
  if (g_sink) g_sink->Stop(2000);
  qos::QosReporter::Instance().SetSink(nullptr);
  qos::SetActiveHttpSink(nullptr);
  g_sink.reset();
}

void ReportStartup(uint32_t result, const char* word, uint32_t start_tick, int dpi_mode, uint32_t parent_pid) {
  const platform::OsVersion v = platform::GetOsVersion();
  qos::Report(qos::StartupEvent(result, word, platform::SystemClock().TickMs() - start_tick, v.major, v.minor, v.build,
                                dpi_mode, parent_pid));
}

// The engines this program drives: the platform's own (wait, GPU device, windows, profile file
// system, pipe server, keyboard layout, image decoder, cell analysis, watchdog), a browser over the
// DevTools protocol as the web runtime, and its screencast and screenshots as the capture port. VYO_CAPTURE_SILENT_SCREENCAST=1 makes screencasts deliver
// nothing (fault injection for the fallback tests).
HostBackends ProgramBackends() {
  HostBackends backends = PlatformBackends();
  backends.web_runtime = [](web::Poster post_to_main) { return web::cdp::CreateRuntime(std::move(post_to_main)); };
  web::cdp::CaptureOptions capture;
  capture.silent_screencast = platform::GetEnv("VYO_CAPTURE_SILENT_SCREENCAST").value_or("") == "1";
  backends.capture_port = [capture](web::Poster post_to_main, web::WebViewLookup views) {
    return web::cdp::CreateCapturePort(std::move(post_to_main), std::move(views), capture);
  };
  return backends;
}

// Crash reporting: the helper library beside the executable, with the host's crash callback;
// then the fault guard, whose unguarded faults go on to the helper's handlers.
void StartCrashReporting() {
  crash::CrashReportLoader::Instance().Init(u"FenyraOverlayHost", std::nullopt, 0x40000002Full, 4,
                                            &crash::CrashReportLoader::HostCrashCallback);
  platform::InstallFaultGuard();
}

void StopCrashReporting() {
  platform::UninstallFaultGuard();
  crash::CrashReportLoader::Instance().Uninit();
}

#if defined(VYO_TEST_HOOKS)
// Test builds only: a SurfaceInfo command of width 7777 stalls the main loop for good and one of
// width 6666 faults in it, so that tests can watch the watchdog and crash reporting end a real
// host.
void InstallTestHooks(WebViewHostApp& app) {
  app.dispatcher().On<SurfaceInfoCmd>([&app](const SurfaceInfoCmd& c) {
    if (c.width == 7777) {
      for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (c.width == 6666) {
      // An address no process maps (not null, so that the sanitizers leave the fault to the host).
      volatile uintptr_t address = 16;
      *reinterpret_cast<volatile int*>(address) = 1;
    }
    app.view_service().ApplySurfaceInfo(c.width, c.height);
  });
}
#endif

// The local log's lines go to the logger with the location of the code that wrote them.
void WriteToLogger(LogLevel level, std::string_view line, const SourceLocation& where) {
  base::LogWrite(static_cast<int>(level), line, where.file, where.line, where.function);
}

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
  SetLocalLogSink(&WriteToLogger);
  platform::Clock& clock = platform::SystemClock();
  const uint32_t start_tick = clock.TickMs();
  StartTelemetry(dpi_mode);
  StartCrashReporting();
  // What hosts that ended abnormally (a crash, the watchdog, SIGKILL) left in shared memory goes
  // before this host makes its own objects.
  const platform::SweepCounts swept = platform::SweepSharedMemoryOfEndedProcesses();
  if (swept.owners != 0 || swept.objects != 0) {
    HostLogf(LogLevel::kInfo, "shared memory of ended hosts removed, records=%u, objects=%u", swept.owners,
             swept.objects);
  }

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
    ReportStartup(1, "bad_args", start_tick, dpi_mode, options.parent_pid);
    StopTelemetry();
    StopCrashReporting();
    StopLogging();
    return kExitBadArgs;
  }

  auto app = std::make_unique<WebViewHostApp>(clock, ProgramBackends());
#if defined(VYO_TEST_HOOKS)
  InstallTestHooks(*app);
#endif
  if (!app->Initialise(options)) {
    HostLogf(LogLevel::kError, "%s", "initialisation failed, exiting (init_failed)");
    ReportStartup(2, "init_failed", start_tick, dpi_mode, options.parent_pid);
    app->Shutdown();
    app.reset();
    StopTelemetry();
    StopCrashReporting();
    StopLogging();
    return kExitInitFailed;
  }
  ReportStartup(0, "ok", start_tick, dpi_mode, options.parent_pid);
  const uint32_t exit_code = app->RunMainLoop();
  const std::string reason = app->exit_reason();
  app->Shutdown();
  HostLogf(LogLevel::kTrace, "main loop ended, exit_code=0x%x, reason=%s", exit_code, reason.c_str());
  // Exit statistics and the exit code with its reason.
  const auto run_ms = static_cast<int32_t>(clock.TickMs() - app->start_tick());
  const HostCounters& counters = app->counters();
  qos::Report(qos::ExitStatsEvent(run_ms, counters.views_created, counters.navigations_completed,
                                  counters.set_focus_count, counters.peak_view_count));
  qos::Report(qos::ExitEvent(exit_code, run_ms, reason));
  StopTelemetry();
  StopCrashReporting();
  StopLogging();
  // Last: the application object, whose watchdog's shutdown deadline covered everything above.
  app.reset();
  return exit_code;
}

}  // namespace vyo::host
