// One overlay session with one host: the object behind a VyoOverlay. It owns the overlay's shared
// objects (input ring, input event, beat map), the host process it started, the pipe, and what it
// knows of every view's texture and hit mask. Methods return a VYO_* status and, on failure, leave
// a message for the calling thread (LastError). Used from one thread at a time.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/named_event.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "protocol/commands.h"
#include "protocol/hit_mask_layout.h"
#include "protocol/shared_memory_layout.h"
#include "protocol/protocol.h"
#include "vyo_overlay.h"

namespace vyo::sdk {

// The calling thread's last failure message, and the helper that records one.
const std::string& LastError();
int32_t Fail(int32_t status, std::string message);
void ClearError();

class Session {
 public:
  static int32_t Create(const std::string& tag, uint32_t flags, uint32_t parent_pid, std::unique_ptr<Session>* out);
  ~Session();

  const std::u16string& pipe_name() const { return pipe_name_; }
  const std::vector<std::string>& host_args_utf8() const { return args_utf8_; }
  const std::vector<std::u16string>& host_args() const { return args_; }
  const std::string& name_utf8(int which) const { return names_utf8_[which]; }  // pipe, ring, event, beat

  // The host program beside the running executable.
  static std::u16string DefaultHostPath();
  int32_t Spawn(const std::u16string& host_path, const std::vector<std::u16string>& args);
  int32_t Connect(uint32_t timeout_ms);
  bool Connected() const { return pipe_ && !pipe_broken_; }
  int32_t Close();
  int32_t WaitExit(uint32_t timeout_ms, uint32_t* code);
  int32_t Kill();
  uint32_t HostPid() const { return host_ ? host_->Pid() : 0; }

  int32_t Send(const host::Command& command);
  int32_t SendFrame(uint32_t type, const uint8_t* payload, uint32_t length);
  int32_t SendRaw(const uint8_t* bytes, uint32_t length);

  // The next message; its payload lives in this object until the next Poll.
  int32_t Poll(uint32_t timeout_ms, VyoHostMessage* out);
  int32_t Pump(uint32_t timeout_ms, uint32_t* count);
  void SetCallback(VyoHostMessageFn callback, void* context) {
    callback_ = callback;
    callback_context_ = context;
  }

  int32_t TextureInfo(uint32_t view_id, VyoTextureInfo* info) const;
  int32_t ReadDirty(uint32_t view_id, VyoDirty* out);
  int32_t ReadFrame(uint32_t view_id, uint8_t* pixels, uint32_t pitch, uint32_t width, uint32_t height, VyoFrame* out);
  // A texture announcement taken as if it had come over the pipe (attach mode, benchmarks).
  int32_t OnTextureReady(const host::SharedTextureReadyMsg& msg);

  int32_t ReadHitMask(uint32_t view_id, host::HitMaskView* out);
  int32_t HeartbeatAge(uint32_t* age_ms) const;
  int32_t HitTest(uint32_t view_id, int32_t x, int32_t y, int32_t* opaque);

  int32_t WriteRecords(const std::vector<host::InputRecord>& records);
  int32_t InputReadIndex(uint32_t* index) const;
  int32_t SetInputWriteIndex(uint32_t index);
  int32_t ReadBeat(VyoBeat* beat) const;

 private:
  using Clock = std::chrono::steady_clock;
  struct ViewTexture {
    host::SharedTextureReadyMsg announced;
    uint32_t serial = 0;
    std::unique_ptr<platform::SharedMemory> texture;  // Linux: the CPU device's texture
    std::unique_ptr<platform::SharedMemory> dirty;    // opened at the announcement, or at a later read
    uint32_t last_seq = 0;
    bool need_full = true;  // the caller's copy predates this texture
  };
  struct MaskCache {
    host::HitMaskView mask;
    Clock::time_point read_at{};
    bool valid = false;
  };

  Session() = default;
  void Forget(uint32_t view_id);

  std::u16string pipe_name_, input_map_name_, input_event_name_, beat_map_name_;
  std::string names_utf8_[4];
  std::vector<std::u16string> args_;
  std::vector<std::string> args_utf8_;
  std::unique_ptr<platform::SharedMemory> input_map_;
  std::unique_ptr<platform::NamedEvent> input_event_;
  std::unique_ptr<platform::SharedMemory> beat_map_;
  std::unique_ptr<platform::ChildProcess> host_;
  std::unique_ptr<platform::PipeClient> pipe_;
  bool pipe_broken_ = false;
  std::vector<uint8_t> payload_;
  VyoHostMessageFn callback_ = nullptr;
  void* callback_context_ = nullptr;
  std::map<uint32_t, ViewTexture> textures_;
  std::map<uint32_t, MaskCache> masks_;
  bool heartbeat_seen_ = false;
  Clock::time_point heartbeat_at_{};
  uint32_t heartbeat_period_ms_ = 100;
};

}  // namespace vyo::sdk
