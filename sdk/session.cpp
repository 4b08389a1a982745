#include "session.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "base/text.h"
#include "protocol/shared_memory_layout.h"
#include "protocol/texture_layout.h"
#include "protocol/wire.h"

namespace vyo::sdk {

namespace {

thread_local std::string g_last_error;

uint32_t Remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0u : static_cast<uint32_t>(std::min<int64_t>(left.count(), UINT32_MAX));
}

bool ValidTag(const std::string& tag) {
  if (tag.empty() || tag.size() > 40) return false;
  return std::all_of(tag.begin(), tag.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
  });
}

}  // namespace

const std::string& LastError() { return g_last_error; }
int32_t Fail(int32_t status, std::string message) {
  g_last_error = std::move(message);
  return status;
}
void ClearError() { g_last_error.clear(); }

int32_t Session::Create(const std::string& tag, uint32_t flags, uint32_t parent_pid, std::unique_ptr<Session>* out) {
  static std::atomic<uint32_t> counter{0};
  if (!ValidTag(tag)) return Fail(VYO_E_ARGUMENT, "the tag must be 1 to 40 letters, digits, '_', '-' or '.'");
  std::unique_ptr<Session> s(new Session());
  const std::string base =
      "vyo" + tag + "_" + std::to_string(platform::CurrentProcessId()) + "_" + std::to_string(counter++);
  s->names_utf8_[0] = base + "_pipe";
  s->names_utf8_[1] = base + "_input";
  s->names_utf8_[2] = base + "_inputev";
  s->names_utf8_[3] = (flags & VYO_OVERLAY_NO_BEAT_MAP) != 0 ? "" : base + "_beat";
  s->pipe_name_ = Utf8ToUtf16(s->names_utf8_[0]);
  s->input_map_name_ = Utf8ToUtf16(s->names_utf8_[1]);
  s->input_event_name_ = Utf8ToUtf16(s->names_utf8_[2]);
  s->beat_map_name_ = Utf8ToUtf16(s->names_utf8_[3]);
  s->input_map_ = platform::SharedMemory::Create(s->input_map_name_, host::kInputRingSize);
  if (!s->input_map_) return Fail(VYO_E_SYSTEM, "cannot create the input ring " + s->names_utf8_[1]);
  s->input_event_ = platform::NamedEvent::Create(s->input_event_name_);
  if (!s->input_event_) return Fail(VYO_E_SYSTEM, "cannot create the input event " + s->names_utf8_[2]);
  if (!s->beat_map_name_.empty()) {
    s->beat_map_ = platform::SharedMemory::Create(s->beat_map_name_, host::kBeatMapSize);
    if (!s->beat_map_) return Fail(VYO_E_SYSTEM, "cannot create the beat map " + s->names_utf8_[3]);
  }
  const uint32_t pid = parent_pid != 0 ? parent_pid : platform::CurrentProcessId();
  s->args_utf8_ = {"--pipe",        s->names_utf8_[0], "--input-map",  s->names_utf8_[1],
                   "--input-event", s->names_utf8_[2], "--parent-pid", std::to_string(pid)};
  if (!s->beat_map_name_.empty()) {
    s->args_utf8_.push_back("--beat-map");
    s->args_utf8_.push_back(s->names_utf8_[3]);
  }
  for (const auto& a : s->args_utf8_) s->args_.push_back(Utf8ToUtf16(a));
  *out = std::move(s);
  return VYO_OK;
}

Session::~Session() {
  Close();
  if (host_ && !host_->Wait(0)) {
    if (!host_->Wait(5000)) {
      host_->Kill();
      host_->Wait(5000);
    }
  }
}

std::u16string Session::DefaultHostPath() { return platform::ProgramBesideThis(u"FenyraOverlayHost"); }

int32_t Session::Spawn(const std::u16string& host_path, const std::vector<std::u16string>& args) {
  if (host_ && !host_->Wait(0)) return Fail(VYO_E_STATE, "a host started by this session is still running");
  host_ = platform::ChildProcess::Start(host_path, args);
  if (!host_) return Fail(VYO_E_START, "cannot start the host " + Utf16ToUtf8(host_path));
  return VYO_OK;
}

int32_t Session::Connect(uint32_t timeout_ms) {
  // Short slices, so that a host that has already exited is noticed at once.
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pipe_ = platform::PipeClient::Connect(pipe_name_, std::min<uint32_t>(200, std::max<uint32_t>(1, Remaining(deadline))));
    if (pipe_) {
      pipe_broken_ = false;
      return VYO_OK;
    }
    if (host_) {
      if (const auto code = host_->Wait(0)) {
        return Fail(VYO_E_DISCONNECTED, "the host exited with " + std::to_string(*code) + " before its pipe opened");
      }
    }
    if (Remaining(deadline) == 0) {
      return Fail(VYO_E_TIMEOUT, "no pipe " + names_utf8_[0] + " within " + std::to_string(timeout_ms) + " ms");
    }
  }
}

int32_t Session::Close() {
  if (pipe_) pipe_->Close();
  pipe_.reset();
  return VYO_OK;
}

int32_t Session::WaitExit(uint32_t timeout_ms, uint32_t* code) {
  if (!host_) return Fail(VYO_E_STATE, "this session started no host");
  const auto status = host_->Wait(timeout_ms);
  if (!status) return Fail(VYO_E_TIMEOUT, "the host did not exit within " + std::to_string(timeout_ms) + " ms");
  if (code != nullptr) *code = *status;
  return VYO_OK;
}

int32_t Session::Kill() {
  if (!host_) return Fail(VYO_E_STATE, "this session started no host");
  host_->Kill();
  return VYO_OK;
}

int32_t Session::Send(const host::Command& command) {
  const std::vector<uint8_t> payload = host::EncodeCommand(command);
  return SendFrame(host::CommandTypeOf(command), payload.data(), static_cast<uint32_t>(payload.size()));
}

int32_t Session::SendFrame(uint32_t type, const uint8_t* payload, uint32_t length) {
  if (!pipe_) return Fail(VYO_E_STATE, "not connected to the host");
  if (length > host::kMaxPayload) return Fail(VYO_E_ARGUMENT, "a payload is at most 1 MiB");
  if (length != 0 && payload == nullptr) return Fail(VYO_E_ARGUMENT, "no payload bytes");
  // The host releases a destroyed view's texture, DirtyMap and mask: stop reading them now.
  if (type == host::kViewDestroy && length >= 4) Forget(host::LoadU32(payload));
  uint8_t header[host::kFrameHeaderSize];
  host::EncodeFrameHeader(host::FrameHeader{host::kFrameMagic, host::kFrameVersion, type, length}, header);
  if (pipe_->WriteMessage(header, sizeof(header)) != platform::PipeResult::kOk ||
      (length != 0 && pipe_->WriteMessage(payload, length) != platform::PipeResult::kOk)) {
    pipe_broken_ = true;
    return Fail(VYO_E_DISCONNECTED, "the pipe write failed (the host has gone)");
  }
  return VYO_OK;
}

int32_t Session::SendRaw(const uint8_t* bytes, uint32_t length) {
  if (!pipe_) return Fail(VYO_E_STATE, "not connected to the host");
  if (pipe_->WriteMessage(bytes, length) != platform::PipeResult::kOk) {
    pipe_broken_ = true;
    return Fail(VYO_E_DISCONNECTED, "the pipe write failed (the host has gone)");
  }
  return VYO_OK;
}

int32_t Session::Poll(uint32_t timeout_ms, VyoHostMessage* out) {
  if (!pipe_) return Fail(VYO_E_STATE, "not connected to the host");
  if (pipe_broken_) return Fail(VYO_E_DISCONNECTED, "the host has closed the pipe");
  uint32_t size = 0;
  const platform::PipeResult polled = pipe_->Poll(timeout_ms, &size);
  if (polled != platform::PipeResult::kOk) {
    pipe_broken_ = true;
    return Fail(VYO_E_DISCONNECTED, "the host has closed the pipe");
  }
  if (size == 0) return Fail(VYO_E_TIMEOUT, "no host message within " + std::to_string(timeout_ms) + " ms");
  uint8_t header_bytes[host::kFrameHeaderSize];
  if (size != host::kFrameHeaderSize || pipe_->ReadMessage(header_bytes, sizeof(header_bytes)) != platform::PipeResult::kOk) {
    pipe_broken_ = true;
    return Fail(VYO_E_PROTOCOL, "a frame header of " + std::to_string(size) + " bytes (16 expected)");
  }
  const host::FrameHeader header = host::DecodeFrameHeader(header_bytes);
  if (!host::IsValidFrameHeader(header)) {
    pipe_broken_ = true;
    return Fail(VYO_E_PROTOCOL, "a frame header with a wrong magic, version or length");
  }
  payload_.resize(header.length);
  if (header.length != 0) {
    // The payload follows as its own message; it is already on its way, the wait is a safeguard.
    uint32_t next = 0;
    if (pipe_->Poll(5000, &next) != platform::PipeResult::kOk || next != header.length ||
        pipe_->ReadMessage(payload_.data(), header.length) != platform::PipeResult::kOk) {
      pipe_broken_ = true;
      return Fail(VYO_E_PROTOCOL, "a payload that does not match its header's length");
    }
  }
  if (header.type == host::kSharedTextureReady) {
    if (auto ready = host::DecodeSharedTextureReady(payload_)) OnTextureReady(*ready);
  } else if (header.type == host::kHitMaskHeartbeat) {
    if (auto beat = host::DecodeHitMaskHeartbeat(payload_)) {
      heartbeat_seen_ = true;
      heartbeat_at_ = Clock::now();
      heartbeat_period_ms_ = std::clamp<uint32_t>(beat->period_ms, 10, 10000);
    }
  } else if (header.type == host::kViewDestroyed && payload_.size() >= 4) {
    Forget(host::LoadU32(payload_.data()));
  }
  VyoHostMessage m{};
  m.size = sizeof(VyoHostMessage);
  m.type = header.type;
  m.payload = payload_.data();
  m.length = header.length;
  m.id = payload_.size() >= 4 ? host::LoadU32(payload_.data()) : 0;
  m.value = payload_.size() >= 8 ? host::LoadU32(payload_.data() + 4) : 0;
  // Text: the whole payload of a log line; a counted text (u32 length, then the bytes) after the
  // fixed fields of the others, handed out only when it fits the payload.
  size_t count_at = 0;
  if (header.type == host::kHostLog) {
    m.text = reinterpret_cast<const char*>(payload_.data());
    m.text_length = header.length;
  } else if (header.type == host::kPageMessage || header.type == host::kModuleOutput) {
    count_at = 4;
  } else if (header.type == host::kModuleStatus || header.type == host::kEnvironmentResult) {
    count_at = 12;
  }
  const host::PayloadView view(payload_.data(), payload_.size());
  if (count_at != 0 && view.Has(count_at, 4) && view.Has(count_at + 4, view.U32(count_at))) {
    m.text = reinterpret_cast<const char*>(payload_.data() + count_at + 4);
    m.text_length = view.U32(count_at);
  }
  if (callback_ != nullptr) callback_(callback_context_, &m);
  if (out != nullptr) std::memcpy(out, &m, std::min<size_t>(out->size, sizeof(m)));
  if (out != nullptr) out->size = std::min<uint32_t>(out->size, sizeof(m));
  return VYO_OK;
}

int32_t Session::Pump(uint32_t timeout_ms, uint32_t* count) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  uint32_t n = 0;
  int32_t status = VYO_OK;
  do {
    status = Poll(Remaining(deadline), nullptr);
    if (status == VYO_OK) ++n;
  } while ((status == VYO_OK || status == VYO_E_TIMEOUT) && Remaining(deadline) > 0);
  if (count != nullptr) *count = n;
  return status == VYO_E_TIMEOUT ? VYO_OK : status;
}

void Session::Forget(uint32_t view_id) {
  textures_.erase(view_id);
  masks_.erase(view_id);
}

int32_t Session::OnTextureReady(const host::SharedTextureReadyMsg& msg) {
  ViewTexture& t = textures_[msg.view_id];
  t.announced = msg;
  ++t.serial;
  t.texture.reset();
  t.dirty.reset();
  t.last_seq = 0;
  t.need_full = true;
  masks_.erase(msg.view_id);
  // The DirtyMap exists before its texture is announced; a resize brings a new one and a new
  // announcement, so it is opened here once (and again at a read only when this failed).
  t.dirty = platform::SharedMemory::OpenExisting(host::DirtyMapName(pipe_name_, msg.view_id), host::kDirtyMapSize,
                                                 platform::MapAccess::kRead);
#if defined(_WIN32)
  return VYO_OK;
#else
  const size_t size = host::TextureObjectSize(msg.width, msg.height);
  if (size == 0 || msg.format != host::kTextureFormatBgra) {
    return Fail(VYO_E_PROTOCOL, "view " + std::to_string(msg.view_id) + ": a texture of an unusable size or format");
  }
  t.texture = platform::SharedMemory::OpenExisting(host::TextureObjectName(msg.shared_handle), size,
                                                   platform::MapAccess::kWrite);
  uint32_t w = 0, h = 0;
  if (!t.texture || !host::ReadTextureHeader(t.texture->data(), size, &w, &h) || w != msg.width || h != msg.height) {
    t.texture.reset();
    return Fail(VYO_E_SYSTEM, "view " + std::to_string(msg.view_id) + ": cannot open its texture");
  }
  return VYO_OK;
#endif
}

int32_t Session::TextureInfo(uint32_t view_id, VyoTextureInfo* info) const {
  const auto it = textures_.find(view_id);
  if (it == textures_.end()) return Fail(VYO_E_NOT_FOUND, "view " + std::to_string(view_id) + " has no texture");
  VyoTextureInfo v{};
  v.size = sizeof(v);
  v.view_id = view_id;
  v.width = it->second.announced.width;
  v.height = it->second.announced.height;
  v.format = it->second.announced.format;
  v.serial = it->second.serial;
  v.shared_handle = it->second.announced.shared_handle;
  std::memcpy(info, &v, std::min<size_t>(info->size, sizeof(v)));
  return VYO_OK;
}

int32_t Session::ReadDirty(uint32_t view_id, VyoDirty* out) {
  const auto it = textures_.find(view_id);
  if (it == textures_.end()) return Fail(VYO_E_NOT_FOUND, "view " + std::to_string(view_id) + " has no texture");
  ViewTexture& t = it->second;
  if (!t.dirty) {
    t.dirty = platform::SharedMemory::OpenExisting(host::DirtyMapName(pipe_name_, view_id), host::kDirtyMapSize,
                                                   platform::MapAccess::kRead);
  }
  if (!t.dirty) return Fail(VYO_E_NOT_FOUND, "view " + std::to_string(view_id) + " has no DirtyMap");
  const host::DirtyUpdate d = host::ReadDirty(t.dirty->data());
  VyoDirty v{sizeof(VyoDirty), d.seq, d.full, d.x, d.y, d.w, d.h};
  std::memcpy(out, &v, std::min<size_t>(out->size, sizeof(v)));
  return VYO_OK;
}

int32_t Session::ReadFrame(uint32_t view_id, uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height,
                           VyoFrame* out) {
  const auto it = textures_.find(view_id);
  if (it == textures_.end()) return Fail(VYO_E_NOT_FOUND, "view " + std::to_string(view_id) + " has no texture");
  ViewTexture& t = it->second;
  VyoFrame f{};
  f.size = sizeof(f);
  f.view_id = view_id;
  f.width = t.announced.width;
  f.height = t.announced.height;
  f.serial = t.serial;
  f.seq = t.last_seq;
#if defined(_WIN32)
  (void)pixels, (void)pitch, (void)width, (void)height;
  if (out != nullptr) std::memcpy(out, &f, std::min<size_t>(out->size, sizeof(f)));
  return Fail(VYO_E_UNSUPPORTED, "this build reads no textures: open the shared handle with a Direct3D 11 device");
#else
  if (width != f.width || height != f.height || pitch < width * 4u || pixels == nullptr) {
    return Fail(VYO_E_ARGUMENT, "the buffer is " + std::to_string(width) + "x" + std::to_string(height) +
                                    ", the texture of view " + std::to_string(view_id) + " is " +
                                    std::to_string(f.width) + "x" + std::to_string(f.height));
  }
  if (!t.texture) {
    // The announcement could not be opened: try once more (the host may have been slow).
    if (OnTextureReady(t.announced) != VYO_OK) return VYO_E_SYSTEM;
    f.serial = t.serial;
  }
  if (!t.dirty) {
    t.dirty = platform::SharedMemory::OpenExisting(host::DirtyMapName(pipe_name_, view_id), host::kDirtyMapSize,
                                                   platform::MapAccess::kRead);
  }
  uint8_t* base = t.texture->data();
  if (!host::AcquireKey(base, host::kOverlayKey)) {
    return Fail(VYO_E_BUSY, "the host holds the texture of view " + std::to_string(view_id));
  }
  // The DirtyMap is written under the key: read it while holding it.
  if (t.dirty) {
    const host::DirtyUpdate d = host::ReadDirty(t.dirty->data());
    if (d.seq != t.last_seq) {
      int64_t x0 = 0, y0 = 0, x1 = f.width, y1 = f.height;
      if (!d.full && !t.need_full) {
        x0 = std::clamp<int64_t>(d.x, 0, f.width);
        y0 = std::clamp<int64_t>(d.y, 0, f.height);
        x1 = std::clamp<int64_t>(int64_t{d.x} + d.w, 0, f.width);
        y1 = std::clamp<int64_t>(int64_t{d.y} + d.h, 0, f.height);
      }
      const uint8_t* rows = base + host::kTextureHeaderSize;
      const size_t src_pitch = static_cast<size_t>(f.width) * 4;
      if (x0 == 0 && x1 == f.width && pitch == src_pitch) {
        std::memcpy(pixels + y0 * src_pitch, rows + y0 * src_pitch, static_cast<size_t>(y1 - y0) * src_pitch);
      } else {
        for (int64_t row = y0; row < y1 && x1 > x0; ++row) {
          std::memcpy(pixels + row * pitch + x0 * 4, rows + row * src_pitch + x0 * 4, static_cast<size_t>(x1 - x0) * 4);
        }
      }
      f.updated = 1;
      f.full = (x0 == 0 && y0 == 0 && x1 == f.width && y1 == f.height) ? 1 : 0;
      f.x = static_cast<int32_t>(x0);
      f.y = static_cast<int32_t>(y0);
      f.w = static_cast<int32_t>(x1 - x0);
      f.h = static_cast<int32_t>(y1 - y0);
      f.seq = d.seq;
      t.last_seq = d.seq;
      t.need_full = false;
    }
  }
  host::ReleaseKey(base, host::kHostKey);
  if (out != nullptr) std::memcpy(out, &f, std::min<size_t>(out->size, sizeof(f)));
  return VYO_OK;
#endif
}

int32_t Session::ReadHitMask(uint32_t view_id, host::HitMaskView* out) {
  auto block = platform::SharedMemory::OpenExisting(host::HitMaskName(pipe_name_, view_id), host::kHitMaskBlockSize,
                                                    platform::MapAccess::kRead);
  if (!block) return Fail(VYO_E_NOT_FOUND, "view " + std::to_string(view_id) + " has no hit mask");
  // The host rewrites a mask in well under a millisecond: a few tries, each after a yield.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (host::ReadHitMask(block->data(), out)) return VYO_OK;
    std::this_thread::yield();
  }
  return Fail(VYO_E_BUSY, "the hit mask of view " + std::to_string(view_id) + " was being written on every try");
}

int32_t Session::HeartbeatAge(uint32_t* age_ms) const {
  if (!heartbeat_seen_) return Fail(VYO_E_NOT_FOUND, "no hit-mask heartbeat yet");
  const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - heartbeat_at_).count();
  *age_ms = static_cast<uint32_t>(std::min<int64_t>(age, UINT32_MAX));
  return VYO_OK;
}

int32_t Session::HitTest(uint32_t view_id, int32_t x, int32_t y, int32_t* opaque) {
  uint32_t age = 0;
  if (HeartbeatAge(&age) != VYO_OK || age > 3 * heartbeat_period_ms_) {
    return Fail(VYO_E_NOT_FOUND, "the hit masks are not current (no recent heartbeat)");
  }
  // Pointer moves come far more often than masks change: one read per heartbeat period at most.
  MaskCache& cache = masks_[view_id];
  const auto now = Clock::now();
  if (!cache.valid || now - cache.read_at >= std::chrono::milliseconds(heartbeat_period_ms_ / 2)) {
    const int32_t status = ReadHitMask(view_id, &cache.mask);
    if (status != VYO_OK) {
      cache.valid = false;
      return status;
    }
    cache.valid = true;
    cache.read_at = now;
  }
  const host::HitMaskView& m = cache.mask;
  if (x < 0 || y < 0 || m.cell == 0) {
    *opaque = 0;
    return VYO_OK;
  }
  const uint32_t col = static_cast<uint32_t>(x) / m.cell, row = static_cast<uint32_t>(y) / m.cell;
  *opaque = col < m.cols && row < m.rows && m.Opaque(col, row) ? 1 : 0;
  return VYO_OK;
}

int32_t Session::WriteRecords(const std::vector<host::InputRecord>& records) {
  uint8_t* ring = input_map_->data();
  auto write_index = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring));
  auto read_index = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring + 4));
  uint32_t w = write_index.load(std::memory_order_relaxed) % host::kInputSlots;
  const uint32_t r = read_index.load(std::memory_order_acquire) % host::kInputSlots;
  const uint32_t free_slots = host::kInputSlots - 1 - (w + host::kInputSlots - r) % host::kInputSlots;
  if (records.size() > free_slots) {
    return Fail(VYO_E_FULL, "the input ring has " + std::to_string(free_slots) + " free slots, " +
                                std::to_string(records.size()) + " needed");
  }
  for (const auto& record : records) {
    std::memcpy(ring + 8 + static_cast<size_t>(w) * host::kInputRecordSize, record.data(), host::kInputRecordSize);
    w = (w + 1) % host::kInputSlots;
  }
  write_index.store(w, std::memory_order_release);
  input_event_->Signal();
  return VYO_OK;
}

int32_t Session::InputReadIndex(uint32_t* index) const {
  *index = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(input_map_->data() + 4)).load();
  return VYO_OK;
}

int32_t Session::SetInputWriteIndex(uint32_t index) {
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(input_map_->data())).store(index);
  input_event_->Signal();
  return VYO_OK;
}

int32_t Session::ReadBeat(VyoBeat* beat) const {
  if (!beat_map_) return Fail(VYO_E_NOT_FOUND, "this session has no beat map");
  const uint8_t* p = beat_map_->data();
  VyoBeat b{sizeof(VyoBeat)};
  uint32_t* fields[] = {&b.frame_counter, &b.last_frame_tick, &b.stage, &b.stage_counter, &b.stage_tick, &b.detail};
  for (size_t i = 0; i < 6; ++i) {
    *fields[i] = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(p) + 4 * i)).load();
  }
  std::memcpy(beat, &b, std::min<size_t>(beat->size, sizeof(b)));
  return VYO_OK;
}

}  // namespace vyo::sdk
