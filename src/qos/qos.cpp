#include "qos/qos.h"

#include <cinttypes>
#include <cstdio>

#include "platform/cross_process_lock.h"
#include "platform/process.h"

namespace vyo::qos {
namespace {

std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\x01', start);
    out.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

int32_t ParseI32(std::string_view s) {
  int64_t v = 0;
  bool negative = false;
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > (int64_t{1} << 32)) break;
  }
  return static_cast<int32_t>(negative ? -v : v);
}

uint64_t ParseU64(std::string_view s) {
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

void AppendJsonString(std::string& out, std::string_view s) {
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

}  // namespace

std::string CutUtf8(std::string_view text, size_t max) {
  if (text.size() <= max) return std::string(text);
  size_t end = max;
  // Step back over continuation bytes so the cut falls before a character's lead byte.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

std::string SanitizeEventString(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"': out.push_back('\''); break;
      case ',': out.push_back(';'); break;
      case '{': out += "\xEF\xBD\x9B"; break;
      case '}': out += "\xEF\xBD\x9D"; break;
      default: out.push_back(c);
    }
  }
  return CutUtf8(out, kMaxStringBytes);
}

uint64_t CounterToNanos(int64_t counter, int64_t frequency) {
  if (counter <= 0 || frequency <= 0) return 0;
  const auto c = static_cast<uint64_t>(counter);
  const auto f = static_cast<uint64_t>(frequency);
  // Whole seconds and the remainder separately: no intermediate product exceeds 64 bits for any
  // frequency up to 18 GHz.
  return (c / f) * 1'000'000'000ull + (c % f) * 1'000'000'000ull / f;
}

QosContext& QosContext::Instance() {
  // Never destroyed: threads may build payloads until the process ends.
  static QosContext* instance = new QosContext();
  return *instance;
}

QosContext::QosContext() : clock_(&platform::SystemClock()) {
  fields_.machine_id = platform::MachineId();
  char run[48];
  std::snprintf(run, sizeof(run), "%08x%08x%016llx", platform::CurrentProcessId(), clock_->TickMs(),
                static_cast<unsigned long long>(clock_->PerfCounter()));
  fields_.run_id = run;
  fields_.s3 = CutUtf8(fields_.client_version, kMaxStringBytes);
  RebuildLocked();
}

void QosContext::ResetForTesting(platform::Clock* clock, const std::string& machine_id, const std::string& run_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  fields_ = Fields{};
  clock_ = clock;
  fields_.machine_id = machine_id;
  fields_.run_id = run_id;
  fields_.s3 = CutUtf8(fields_.client_version, kMaxStringBytes);
  RebuildLocked();
}

void QosContext::RebuildLocked() {
  const Fields& f = fields_;
  const std::string u = std::to_string(f.value_u);
  fields_.s0 = CutUtf8(f.machine_id + "#" + std::to_string(f.value_n) + "#" + u + "##" + u + "###" + u, kMaxStringBytes);
  fields_.s1 = CutUtf8(f.run_id + "#" + f.tag + "#" + std::to_string(f.value_c) + "##0#" + std::to_string(f.value_d) + "#0",
                       kMaxStringBytes);
  std::lock_guard<std::mutex> lock(snapshot_mutex_);
  snapshot_ = fields_;
}

void QosContext::SetBaseInfo(std::string_view text) {
  const std::vector<std::string_view> f = SplitFields(text);
  if (f.size() < 11) return;
  std::lock_guard<std::mutex> lock(mutex_);
  fields_.client_a = ParseI32(f[0]);
  fields_.client_b = ParseI32(f[1]);
  fields_.machine_id = std::string(f[2]);
  fields_.run_id = std::string(f[3]);
  fields_.label = std::string(f[4]);
  fields_.tag = std::string(f[5]);
  fields_.value_c = ParseI32(f[6]);
  fields_.value_u = ParseU64(f[7]);
  fields_.value_n = ParseI32(f[8]);
  fields_.value_d = ParseI32(f[9]);
  fields_.client_version = std::string(f[10]);
  fields_.s2 = CutUtf8(fields_.label, kMaxStringBytes);
  fields_.s3 = CutUtf8(fields_.client_version, kMaxStringBytes);
  RebuildLocked();
}

void QosContext::SetDpiMode(int32_t mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  fields_.value_d = mode;
  RebuildLocked();
}

bool QosContext::BuildPayload(const QosEvent& event, std::string* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Build(fields_, event, out);
}

bool QosContext::BuildPayloadNoWait(const QosEvent& event, std::string* out) {
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (lock.owns_lock()) return Build(fields_, event, out);
  Fields copy;
  {
    std::unique_lock<std::mutex> snap(snapshot_mutex_, std::try_to_lock);
    if (!snap.owns_lock()) return false;
    copy = snapshot_;
  }
  return Build(copy, event, out);
}

bool QosContext::Build(const Fields& f, const QosEvent& event, std::string* out) {
  if (event.ints.size() > kMaxInts || event.strs.size() > kMaxStrs) return false;
  const uint64_t ns = CounterToNanos(clock_->PerfCounter(), clock_->PerfFrequency());
  std::vector<int32_t> ints = {f.client_a, f.client_b, static_cast<int32_t>(static_cast<uint32_t>(ns)),
                               static_cast<int32_t>(static_cast<uint32_t>(ns >> 32)), event.kind, f.reserved};
  ints.insert(ints.end(), event.ints.begin(), event.ints.end());
  std::vector<std::string> strs = {f.s0, f.s1, f.s2, f.s3};
  for (const auto& s : event.strs) strs.push_back(SanitizeEventString(s));

  std::string& o = *out;
  o = "zqos={\"Head\":{\"Cmd\":5},\"Body\":{\"QOSRep\":{\"BusinessID\":1,\"QosNum\":1,\"Flag\":1,\"QosList\":[{\"QosID\":";
  o += std::to_string(event.id);
  o += ",\"QosVal\":0,\"AppendDescFlag\":2,\"AppendDesc\":{\"Comm\":{\"IntList\":[";
  const size_t int_count = std::min<size_t>(ints.size(), 30);
  for (size_t i = 0; i < int_count; ++i) {
    if (i != 0) o.push_back(',');
    o += std::to_string(ints[i]);
  }
  o += "],\"StrList\":[";
  const size_t str_count = std::min<size_t>(strs.size(), 10);
  for (size_t i = 0; i < str_count; ++i) {
    if (i != 0) o.push_back(',');
    AppendJsonString(o, strs[i]);
  }
  o += "],\"IntNum\":" + std::to_string(ints.size()) + ",\"StrNum\":" + std::to_string(strs.size()) + "}}}]}}}";
  return true;
}

}  // namespace vyo::qos
