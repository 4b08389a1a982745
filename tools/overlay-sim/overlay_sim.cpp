#include "overlay_sim.h"

#include <atomic>
#include <cstring>

#include "base/text.h"
#include "protocol/wire.h"
#include "platform/clock.h"

namespace vyo::sim {

std::u16string ToU16(uint64_t value) { return Utf8ToUtf16(std::to_string(value)); }

std::unique_ptr<OverlaySim> OverlaySim::Create(const std::string& tag, bool with_beat_map) {
  static std::atomic<uint32_t> counter{0};
  std::unique_ptr<OverlaySim> sim(new OverlaySim());
  const std::u16string base = Utf8ToUtf16("vyosim_" + tag + "_" + std::to_string(platform::CurrentProcessId()) + "_" +
                                          std::to_string(counter++));
  sim->pipe_name_ = base + u"_pipe";
  sim->input_map_name_ = base + u"_input";
  sim->input_event_name_ = base + u"_inputev";
  sim->beat_map_name_ = base + u"_beat";
  sim->surface_ = std::make_unique<SurfaceReader>(sim->pipe_name_);
  sim->input_map_ = platform::SharedMemory::Create(sim->input_map_name_, host::kInputRingSize);
  sim->input_event_ = platform::NamedEvent::Create(sim->input_event_name_);
  if (!sim->input_map_ || !sim->input_event_) return nullptr;
  if (with_beat_map) {
    sim->beat_map_ = platform::SharedMemory::Create(sim->beat_map_name_, host::kBeatMapSize);
    if (!sim->beat_map_) return nullptr;
  } else {
    sim->beat_map_name_.clear();
  }
  return sim;
}

OverlaySim::~OverlaySim() {
  CloseConnection();
  if (host_ && !host_->Wait(0)) {
    host_->Kill();
    host_->Wait(5000);
  }
}

std::u16string OverlaySim::DefaultHostPath() {
  std::u16string path = platform::ExecutableDirectory();
  path += platform::PathSeparator();
  path += u"FenyraOverlayHost";
#if defined(_WIN32)
  path += u".exe";
#endif
  return path;
}

std::vector<std::u16string> OverlaySim::HostArgs() const {
  std::vector<std::u16string> args = {u"--pipe",        pipe_name_,        u"--input-map",  input_map_name_,
                                      u"--input-event", input_event_name_, u"--parent-pid", ToU16(platform::CurrentProcessId())};
  if (!beat_map_name_.empty()) {
    args.push_back(u"--beat-map");
    args.push_back(beat_map_name_);
  }
  return args;
}

bool OverlaySim::StartHost(const std::u16string& host_path, const std::vector<std::u16string>& args) {
  host_ = platform::ChildProcess::Start(host_path, args);
  return host_ != nullptr;
}

bool OverlaySim::Connect(uint32_t timeout_ms) {
  // Try in short slices so that a host that has already exited is noticed at once.
  platform::Clock& clock = platform::SystemClock();
  const uint64_t deadline = clock.Tick64() + timeout_ms;
  for (;;) {
    pipe_ = platform::PipeClient::Connect(pipe_name_, 200);
    if (pipe_) {
      pipe_broken_ = false;
      return true;
    }
    if (host_ && host_->Wait(0)) return false;
    if (clock.Tick64() >= deadline) return false;
  }
}

bool OverlaySim::SendFrame(uint32_t type, const std::vector<uint8_t>& payload) {
  if (!pipe_) return false;
  uint8_t header[host::kFrameHeaderSize];
  host::EncodeFrameHeader(host::FrameHeader{host::kFrameMagic, host::kFrameVersion, type,
                                            static_cast<uint32_t>(payload.size())},
                          header);
  if (pipe_->WriteMessage(header, sizeof(header)) != platform::PipeResult::kOk) return false;
  if (payload.empty()) return true;
  return pipe_->WriteMessage(payload.data(), static_cast<uint32_t>(payload.size())) == platform::PipeResult::kOk;
}

bool OverlaySim::Send(const host::Command& command) {
  if (const auto* c = std::get_if<host::ViewCreateCmd>(&command)) surface_->OnViewPlaced(c->view_id, c->x, c->y);
  if (const auto* c = std::get_if<host::ViewSetRectCmd>(&command)) surface_->OnViewPlaced(c->view_id, c->x, c->y);
  if (const auto* c = std::get_if<host::ViewSetZOrderCmd>(&command)) surface_->OnViewZOrder(c->view_id, c->z);
  if (const auto* c = std::get_if<host::ViewSetVisibleCmd>(&command)) surface_->OnViewVisible(c->view_id, c->visible);
  if (const auto* c = std::get_if<host::ViewDestroyCmd>(&command)) surface_->OnViewDestroyed(c->view_id);
  return SendFrame(host::CommandTypeOf(command), host::EncodeCommand(command));
}

bool OverlaySim::SendRawMessage(const std::vector<uint8_t>& bytes) {
  return pipe_ && pipe_->WriteMessage(bytes.data(), static_cast<uint32_t>(bytes.size())) == platform::PipeResult::kOk;
}

std::optional<HostMessage> OverlaySim::Next(uint32_t timeout_ms) {
  if (!pipe_) return std::nullopt;
  uint32_t size = 0;
  const platform::PipeResult polled = pipe_->Poll(timeout_ms, &size);
  if (polled != platform::PipeResult::kOk) pipe_broken_ = true;
  if (polled != platform::PipeResult::kOk || size == 0) return std::nullopt;
  uint8_t header_bytes[host::kFrameHeaderSize];
  if (pipe_->ReadMessage(header_bytes, sizeof(header_bytes)) != platform::PipeResult::kOk) return std::nullopt;
  const host::FrameHeader header = host::DecodeFrameHeader(header_bytes);
  if (!host::IsValidFrameHeader(header)) return std::nullopt;
  HostMessage msg;
  msg.type = header.type;
  msg.payload.resize(header.length);
  if (header.length != 0 &&
      pipe_->ReadMessage(msg.payload.data(), header.length) != platform::PipeResult::kOk) {
    return std::nullopt;
  }
  if (msg.type == host::kSharedTextureReady) {
    if (auto ready = host::DecodeSharedTextureReady(msg.payload)) surface_->OnTextureReady(*ready);
  }
  received_.push_back(msg);
  return msg;
}

std::optional<HostMessage> OverlaySim::WaitFor(uint32_t type, uint32_t timeout_ms) {
  platform::Clock& clock = platform::SystemClock();
  const uint64_t deadline = clock.Tick64() + timeout_ms;
  for (;;) {
    const uint64_t now = clock.Tick64();
    if (now >= deadline) return std::nullopt;
    auto msg = Next(static_cast<uint32_t>(deadline - now));
    if (!msg) return std::nullopt;
    if (msg->type == type) return msg;
  }
}

bool OverlaySim::WaitForLog(const std::string& needle, uint32_t timeout_ms) {
  for (const auto& m : received_) {
    if (m.type == host::kHostLog && m.text().find(needle) != std::string::npos) return true;
  }
  platform::Clock& clock = platform::SystemClock();
  const uint64_t deadline = clock.Tick64() + timeout_ms;
  for (;;) {
    const uint64_t now = clock.Tick64();
    if (now >= deadline) return false;
    auto msg = WaitFor(host::kHostLog, static_cast<uint32_t>(deadline - now));
    if (!msg) return false;
    if (msg->text().find(needle) != std::string::npos) return true;
  }
}

size_t OverlaySim::DrainFor(uint32_t ms) {
  platform::Clock& clock = platform::SystemClock();
  const uint64_t deadline = clock.Tick64() + ms;
  size_t count = 0;
  for (;;) {
    const uint64_t now = clock.Tick64();
    if (now >= deadline) return count;
    if (Next(static_cast<uint32_t>(deadline - now))) ++count;
    else if (!Connected()) return count;
  }
}

BeatMap OverlaySim::ReadBeatMap() const {
  BeatMap b;
  if (!beat_map_) return b;
  const uint8_t* p = beat_map_->data();
  b.frame_counter = host::LoadU32(p);
  b.last_frame_tick = host::LoadU32(p + 4);
  b.stage = host::LoadU32(p + 8);
  b.stage_counter = host::LoadU32(p + 12);
  b.stage_tick = host::LoadU32(p + 16);
  b.detail = host::LoadU32(p + 20);
  return b;
}

bool OverlaySim::WriteInput(const host::InputRecord& record) {
  uint8_t* ring = input_map_->data();
  auto write_index = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring));
  auto read_index = std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring + 4));
  const uint32_t w = write_index.load();
  const uint32_t next = (w + 1) % host::kInputSlots;
  if (next == read_index.load()) return false;
  std::memcpy(ring + 8 + static_cast<size_t>(w) * host::kInputRecordSize, record.data(), host::kInputRecordSize);
  write_index.store(next, std::memory_order_release);
  input_event_->Signal();
  return true;
}

uint32_t OverlaySim::InputReadIndex() const { return host::LoadU32(input_map_->data() + 4); }

void OverlaySim::SetInputWriteIndex(uint32_t index) {
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(input_map_->data())).store(index);
  input_event_->Signal();
}

void OverlaySim::CloseConnection() {
  if (pipe_) pipe_->Close();
  pipe_.reset();
}

std::optional<uint32_t> OverlaySim::WaitExit(uint32_t timeout_ms) {
  return host_ ? host_->Wait(timeout_ms) : std::nullopt;
}

void OverlaySim::KillHost() {
  if (host_) host_->Kill();
}

}  // namespace vyo::sim
