#include "overlay_sim.h"

#include "base/text.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace vyo::sim {

std::u16string ToU16(uint64_t value) { return Utf8ToUtf16(std::to_string(value)); }

std::unique_ptr<OverlaySim> OverlaySim::Create(const std::string& tag, bool with_beat_map) {
  std::unique_ptr<OverlaySim> sim(new OverlaySim());
  const std::string sdk_tag = "sim_" + tag;  // objects named "vyosim_<tag>_<pid>_<n>_..."
  VyoOverlayConfig config{sizeof(config), VYO_OVERLAY_API_VERSION, sdk_tag.c_str(),
                          with_beat_map ? 0u : VYO_OVERLAY_NO_BEAT_MAP, 0};
  if (vyo_overlay_create(&config, &sim->overlay_) != VYO_OK) return nullptr;
  VyoOverlayNames names{sizeof(names)};
  vyo_overlay_get_names(sim->overlay_, &names);
  sim->pipe_name_ = Utf8ToUtf16(names.pipe);
  sim->input_map_name_ = Utf8ToUtf16(names.input_map);
  sim->input_event_name_ = Utf8ToUtf16(names.input_event);
  sim->beat_map_name_ = Utf8ToUtf16(names.beat_map);
  sim->surface_ = std::make_unique<SurfaceReader>(sim->overlay_);
  return sim;
}

OverlaySim::~OverlaySim() {
  // A host still running once the pipe is closed is ended at once (tests leave hung hosts behind).
  vyo_overlay_close(overlay_);
  if (vyo_overlay_wait_host_exit(overlay_, 0, nullptr) == VYO_E_TIMEOUT) {
    vyo_overlay_kill_host(overlay_);
    vyo_overlay_wait_host_exit(overlay_, 5000, nullptr);
  }
  surface_.reset();
  vyo_overlay_destroy(overlay_);
}

std::u16string OverlaySim::DefaultHostPath() { return platform::ProgramBesideThis(u"FenyraOverlayHost"); }

std::vector<std::u16string> OverlaySim::HostArgs() const {
  const char* const* argv = nullptr;
  uint32_t argc = 0;
  std::vector<std::u16string> args;
  if (vyo_overlay_host_args(overlay_, &argv, &argc) != VYO_OK) return args;
  for (uint32_t i = 0; i < argc; ++i) args.push_back(Utf8ToUtf16(argv[i]));
  return args;
}

bool OverlaySim::StartHost(const std::u16string& host_path, const std::vector<std::u16string>& args) {
  std::vector<std::string> utf8;
  for (const auto& a : args) utf8.push_back(Utf16ToUtf8(a));
  std::vector<const char*> argv;
  for (const auto& a : utf8) argv.push_back(a.c_str());
  return vyo_overlay_spawn_host(overlay_, Utf16ToUtf8(host_path).c_str(), argv.data(),
                                static_cast<uint32_t>(argv.size())) == VYO_OK;
}

bool OverlaySim::Connect(uint32_t timeout_ms) { return vyo_overlay_connect(overlay_, timeout_ms) == VYO_OK; }

bool OverlaySim::SendFrame(uint32_t type, const std::vector<uint8_t>& payload) {
  return vyo_overlay_send_frame(overlay_, type, payload.data(), static_cast<uint32_t>(payload.size())) == VYO_OK;
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
  return vyo_overlay_send_raw(overlay_, bytes.data(), static_cast<uint32_t>(bytes.size())) == VYO_OK;
}

std::optional<HostMessage> OverlaySim::Next(uint32_t timeout_ms) {
  VyoHostMessage m{sizeof(m)};
  if (vyo_overlay_poll(overlay_, timeout_ms, &m) != VYO_OK) return std::nullopt;
  HostMessage msg;
  msg.type = m.type;
  msg.payload.assign(m.payload, m.payload + m.length);
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
    if (!msg) {
      if (!Connected()) return std::nullopt;
      continue;
    }
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
  VyoBeat v{sizeof(v)};
  BeatMap b;
  if (vyo_overlay_read_beat(overlay_, &v) != VYO_OK) return b;
  b.frame_counter = v.frame_counter;
  b.last_frame_tick = v.last_frame_tick;
  b.stage = v.stage;
  b.stage_counter = v.stage_counter;
  b.stage_tick = v.stage_tick;
  b.detail = v.detail;
  return b;
}

bool OverlaySim::WriteInput(const host::InputRecord& record) {
  return vyo_overlay_send_input_record(overlay_, record.data(), static_cast<uint32_t>(record.size())) == VYO_OK;
}

uint32_t OverlaySim::InputReadIndex() const {
  uint32_t index = 0;
  vyo_overlay_input_read_index(overlay_, &index);
  return index;
}

void OverlaySim::SetInputWriteIndex(uint32_t index) { vyo_overlay_set_input_write_index(overlay_, index); }

void OverlaySim::CloseConnection() { vyo_overlay_close(overlay_); }

std::optional<uint32_t> OverlaySim::WaitExit(uint32_t timeout_ms) {
  uint32_t code = 0;
  if (vyo_overlay_wait_host_exit(overlay_, timeout_ms, &code) != VYO_OK) return std::nullopt;
  return code;
}

void OverlaySim::KillHost() { vyo_overlay_kill_host(overlay_); }

}  // namespace vyo::sim
