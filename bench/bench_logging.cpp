// Records per second of synchronous logging with compression and encryption (the host's file
// sink, memory log off) against the baseline: the same record lines, built the same way, written
// unprocessed to a file, one write per record.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "goal_report.h"
#include "logging/log_format.h"
#include "logging/logger.h"
#include "platform/log_files.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

fs::path BenchDir() {
  const fs::path dir = fs::temp_directory_path() / ("vyo-bench-log-" + std::to_string(vyo::platform::CurrentProcessId()));
  fs::create_directories(dir);
  return dir;
}

std::string Message(std::int64_t i) {
  return "[FenyraOverlayHost]frame copied, view_id=" + std::to_string(i % 16) + ", bytes=" + std::to_string(i * 4096) +
         ", elapsed_us=" + std::to_string(i % 997);
}

void BM_PlainFileWrite(benchmark::State& state) {
  const fs::path dir = BenchDir();
  auto file = vyo::platform::LogFile::Open((dir / "plain.log").u16string(), vyo::platform::LogFile::Mode::kCreateAlways);
  if (file == nullptr) {
    state.SkipWithError("cannot open the baseline file");
    return;
  }
  std::int64_t i = 0;
  for (auto _ : state) {
    base::LogRecord r;
    r.time = base::NowForLog();
    r.thread_id = vyo::platform::CurrentThreadId();
    r.kind = base::kLogTrace;
    r.file = "bench_logging.cpp";
    r.line = 42;
    r.function = "BM_PlainFileWrite";
    r.message = Message(i++);
    const std::string line = base::RecordLine(r);
    benchmark::DoNotOptimize(file->Write(line.data(), line.size()));
  }
  state.SetItemsProcessed(state.iterations());
  file.reset();
  state.counters["file_bytes_per_record"] =
      static_cast<double>(fs::file_size(dir / "plain.log")) / static_cast<double>(std::max<std::int64_t>(1, i));
  fs::remove_all(dir);
}

void BM_LoggerCompressedEncrypted(benchmark::State& state) {
  const fs::path dir = BenchDir();
  base::LoggingOptions options;
  options.directory = dir.u16string() + u"/";
  options.memory_log = false;
  if (!base::InitLogging("FenyraOverlayHost", options)) {
    state.SkipWithError("cannot start the logger");
    return;
  }
  std::int64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(base::LogWrite(base::kLogTrace, Message(i++)));
  state.SetItemsProcessed(state.iterations());
  const std::u16string path = base::logger::Instance().LogFilePath();
  base::ShutdownLogging();
  std::error_code ec;
  const auto bytes = fs::file_size(fs::path(path), ec);
  if (!ec) state.counters["file_bytes_per_record"] = static_cast<double>(bytes) / static_cast<double>(std::max<std::int64_t>(1, i));
  fs::remove_all(dir);
}

BENCHMARK(BM_PlainFileWrite);
BENCHMARK(BM_LoggerCompressedEncrypted);

}  // namespace

int main(int argc, char** argv) {
  using namespace vyo::bench;
  return RunWithGoals(argc, argv, [](const Figures& f) {
    const auto plain = f.Find("BM_PlainFileWrite");
    const auto logger = f.Find("BM_LoggerCompressedEncrypted");
    const auto rate = [](const std::optional<Figure>& x) {
      return x ? std::optional<double>(x->Counter("items_per_second")) : std::nullopt;
    };
    char detail[160] = "";
    if (plain && logger) {
      std::snprintf(detail, sizeof detail, "plain file writes (%.0f k/s against %.0f k/s; %.1f against %.1f bytes a record)",
                    logger->Counter("items_per_second") / 1e3, plain->Counter("items_per_second") / 1e3,
                    logger->Counter("file_bytes_per_record"), plain->Counter("file_bytes_per_record"));
    }
    PrintGoal("encrypted compressed log writing", Ratio(rate(logger), rate(plain)), Goal::kAtLeast, 0.75, "x", detail);
  });
}
