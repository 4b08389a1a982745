// Telemetry: event records, the common fields and the upload payload text.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace vyo::qos {

constexpr int32_t kQosId = 7081;
constexpr size_t kMaxInts = 24;
constexpr size_t kMaxStrs = 6;
constexpr size_t kMaxStringBytes = 127;

struct QosEvent {
  int32_t id = kQosId;
  int32_t kind = 0;
  std::vector<int32_t> ints;
  std::vector<std::string> strs;
};

// Replaces characters that would confuse the collector (" → ', , → ;, { and } → their fullwidth
// forms) and cuts the text to 127 bytes at a character boundary.
std::string SanitizeEventString(std::string_view text);
// Cuts UTF-8 text to at most `max` bytes without splitting a character.
std::string CutUtf8(std::string_view text, size_t max);

// Nanoseconds of a performance-counter reading, exactly and without overflow.
uint64_t CounterToNanos(int64_t counter, int64_t frequency);

// The process-wide common fields of every payload.
class QosContext {
 public:
  static QosContext& Instance();

  // Base info from the overlay: fields separated by the byte 0x01; fewer than 11 fields change nothing.
  void SetBaseInfo(std::string_view text);
  void SetDpiMode(int32_t mode);

  // Builds the payload text; false for an event with too many integers or strings.
  bool BuildPayload(const QosEvent& event, std::string* out);
  // The same for the crash path: takes the lock only if it is free at once, otherwise builds from
  // the last published copy of the common fields.
  bool BuildPayloadNoWait(const QosEvent& event, std::string* out);

  // Tests: a fixed clock and machine identity.
  void ResetForTesting(platform::Clock* clock, const std::string& machine_id, const std::string& run_id);

 private:
  QosContext();
  struct Fields {
    int32_t client_a = (1 << 16) | 1;
    int32_t client_b = 41;
    std::string machine_id, run_id, label, tag;
    int32_t value_c = 0;
    uint64_t value_u = 0;
    int32_t value_n = 0;
    int32_t value_d = 0;
    std::string client_version = "1.1.0.41";
    int32_t reserved = -1;
    std::string s0, s1, s2, s3;
  };
  void RebuildLocked();
  bool Build(const Fields& fields, const QosEvent& event, std::string* out);

  std::mutex mutex_;
  Fields fields_;
  // Published copy for the crash path, swapped under snapshot_mutex_.
  std::mutex snapshot_mutex_;
  Fields snapshot_;
  platform::Clock* clock_;
};

}  // namespace vyo::qos
