// A scripted WatchdogSource and a StallLog that records what it was given.
#pragma once
#include <atomic>
#include <string>
#include <vector>

#include "watchdog/watchdog.h"

namespace vyo::watchdog::testing {

struct FakeSource final : WatchdogSource {
  std::atomic<int32_t> stage{0}, detail{0}, frame{0}, pending{0};
  std::atomic<uint32_t> stage_tick{0}, drained{0}, write_start{0}, parent_pid{0};
  std::atomic<bool> writing{false}, parent_watched{false}, parent_exited{false};
  std::atomic<int> parent_queries{0};

  int32_t Stage() override { return stage; }
  uint32_t StageTick() override { return stage_tick; }
  int32_t Detail() override { return detail; }
  int32_t FrameCounter() override { return frame; }
  uint32_t InputDrained() override { return drained; }
  int32_t InputPending() override { return pending; }
  bool PipeWriting() override { return writing; }
  uint32_t PipeWriteStartTick() override { return write_start; }
  bool ParentWatched() override { return parent_watched; }
  bool ParentExited() override {
    ++parent_queries;
    return parent_exited;
  }
  uint32_t ParentPid() override { return parent_pid; }
};

struct RecordingLog final : StallLog {
  struct Record {
    int kind;
    std::string text;
    std::string file;
  };
  std::vector<Record> records;
  int shutdowns = 0;
  bool WriteBounded(int kind, std::string_view text, int, const char* file, int, const char*) override {
    records.push_back({kind, std::string(text), file});
    return true;
  }
  bool ShutdownBounded(int) override {
    ++shutdowns;
    return true;
  }
};

}  // namespace vyo::watchdog::testing
