// The reference overlay: plays the overlay's side of the host's interface, as a C++ layer over the
// overlay SDK (include/vyo_overlay.h), so that the reference overlay and the SDK are one code path.
// Through the SDK it creates the input ring, the input event and the beat map, starts the host
// with a command line, speaks the pipe protocol, reads the heartbeat and writes input records; on
// top it keeps every received message, takes typed commands and waits for a message type or a log
// line. Integration tests, benchmarks and the command-line program all drive the host through it.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/shared_memory_layout.h"
#include "protocol/commands.h"
#include "protocol/protocol.h"
#include "surface_reader.h"
#include "vyo_overlay.h"

namespace vyo::sim {

struct HostMessage {
  uint32_t type = 0;
  std::vector<uint8_t> payload;
  std::string text() const { return std::string(payload.begin(), payload.end()); }
};

struct BeatMap {
  uint32_t frame_counter = 0, last_frame_tick = 0, stage = 0, stage_counter = 0, stage_tick = 0, detail = 0;
};

class OverlaySim {
 public:
  // Creates the overlay's objects under names unique to this process and `tag`.
  static std::unique_ptr<OverlaySim> Create(const std::string& tag, bool with_beat_map = true);
  ~OverlaySim();

  // The host program beside the running executable.
  static std::u16string DefaultHostPath();

  // A correct command line for the host (without the program itself).
  std::vector<std::u16string> HostArgs() const;

  // Starts the host with `args` (HostArgs() unless given).
  bool StartHost(const std::u16string& host_path, const std::vector<std::u16string>& args);
  bool StartHost() { return StartHost(DefaultHostPath(), HostArgs()); }
  // Connects to the host's pipe.
  bool Connect(uint32_t timeout_ms = 10000);

  bool Send(const host::Command& command);
  bool SendFrame(uint32_t type, const std::vector<uint8_t>& payload);
  // One pipe message of any bytes (malformed frames).
  bool SendRawMessage(const std::vector<uint8_t>& bytes);

  // Next host message within `timeout_ms`; nullopt on time-out or when the pipe is gone.
  std::optional<HostMessage> Next(uint32_t timeout_ms);
  // Reads messages until one of `type` arrives (all of them are kept in received()).
  std::optional<HostMessage> WaitFor(uint32_t type, uint32_t timeout_ms);
  // Reads messages until a HostLog whose text contains `needle` arrives.
  bool WaitForLog(const std::string& needle, uint32_t timeout_ms);
  // Reads every message that arrives within the next `ms` milliseconds and returns how many. A
  // fixed span, never "until the pipe is quiet": the host sends a heartbeat every 100 ms.
  size_t DrainFor(uint32_t ms);
  const std::vector<HostMessage>& received() const { return received_; }

  BeatMap ReadBeatMap() const;
  // Appends a record to the input ring and signals the input event. False when the ring is full.
  bool WriteInput(const host::InputRecord& record);
  uint32_t InputReadIndex() const;
  // Writes the ring's write index directly (to present a corrupt ring).
  void SetInputWriteIndex(uint32_t index);

  // False once the pipe is closed or the host's end has gone away.
  bool Connected() const { return vyo_overlay_connected(overlay_) != 0; }
  void CloseConnection();
  std::optional<uint32_t> WaitExit(uint32_t timeout_ms);
  void KillHost();
  uint32_t host_pid() const { return vyo_overlay_host_pid(overlay_); }
  // The SDK object underneath.
  VyoOverlay* overlay() const { return overlay_; }

  // The views' textures as the overlay sees them (fed by SharedTextureReady and the view commands
  // sent through Send).
  SurfaceReader& surface() { return *surface_; }

  const std::u16string& pipe_name() const { return pipe_name_; }
  const std::u16string& input_map_name() const { return input_map_name_; }
  const std::u16string& input_event_name() const { return input_event_name_; }
  const std::u16string& beat_map_name() const { return beat_map_name_; }

 private:
  OverlaySim() = default;

  VyoOverlay* overlay_ = nullptr;
  std::u16string pipe_name_, input_map_name_, input_event_name_, beat_map_name_;
  std::vector<HostMessage> received_;
  std::unique_ptr<SurfaceReader> surface_;
};

// Encodes a numeric value as UTF-16 text.
std::u16string ToU16(uint64_t value);

}  // namespace vyo::sim
