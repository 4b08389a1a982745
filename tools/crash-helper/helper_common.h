// What both builds of the crash report helper share: the call journal and the exported calls that
// only store values.
#pragma once
#include <atomic>
#include <cstring>

#include "crash/helper_abi.h"

#ifdef _WIN32
#define VYO_HELPER_EXPORT extern "C" __declspec(dllexport)
#else
#define VYO_HELPER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace vyo::crash_helper {

inline VyoCrashHelperState g_state{};
inline std::atomic<VyoCrashCallback> g_callback{nullptr};
inline std::atomic<uint64_t> g_user_id{0};

inline void Journal(uint32_t call) {
  if (g_state.call_count < VYO_HELPER_MAX_CALLS) g_state.calls[g_state.call_count] = call;
  ++g_state.call_count;
}

// Reads a wide-text pointer out of the configuration record.
inline const VyoCrashWideChar* RecordText(const uint8_t* record, size_t offset) {
  const VyoCrashWideChar* text = nullptr;
  std::memcpy(&text, record + offset, sizeof(text));
  return text;
}

// Journals the Init call and keeps a copy of the record: 0, or the result for a missing record (2)
// or one of another size (3).
inline int32_t TakeRecord(const uint8_t* record) {
  Journal(VYO_HELPER_CALL_INIT);
  if (record == nullptr) return 2;
  uint16_t size = 0;
  std::memcpy(&size, record, sizeof(size));
  if (size != VYO_CRASH_RECORD_SIZE) return 3;
  std::memcpy(g_state.record, record, VYO_CRASH_RECORD_SIZE);
  return 0;
}

inline uint64_t RecordU64(const uint8_t* record, size_t offset) {
  uint64_t value = 0;
  std::memcpy(&value, record + offset, sizeof(value));
  return value;
}

}  // namespace vyo::crash_helper

// The exports that only store what they are given. Init and Uninit are the platform's own.
VYO_HELPER_EXPORT void SetCrashReportHelperOffline(uint32_t value) {
  vyo::crash_helper::Journal(VYO_HELPER_CALL_OFFLINE);
  vyo::crash_helper::g_state.offline = value;  // the helper never uploads; the value is kept
}

VYO_HELPER_EXPORT void SetCrashReportHelperCallback(VyoCrashCallback callback, void*) {
  vyo::crash_helper::Journal(VYO_HELPER_CALL_CALLBACK);
  vyo::crash_helper::g_callback.store(callback);
  vyo::crash_helper::g_state.has_callback = callback != nullptr;
}

VYO_HELPER_EXPORT void AddCrashReportHelperFile(const VyoCrashWideChar*) {
  // Reports carry no extra files in this helper; the call is recorded.
  vyo::crash_helper::Journal(VYO_HELPER_CALL_ADD_FILE);
}

VYO_HELPER_EXPORT void UpdateCrashReportHelperUserId(uint64_t user_id) {
  vyo::crash_helper::Journal(VYO_HELPER_CALL_USER_ID);
  vyo::crash_helper::g_user_id.store(user_id);
  vyo::crash_helper::g_state.user_id = user_id;
}

VYO_HELPER_EXPORT void GetCrashReportHelperState(VyoCrashHelperState* out) {
  if (out != nullptr) *out = vyo::crash_helper::g_state;
}
