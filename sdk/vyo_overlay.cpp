// The C interface over Session: argument and size checks, UTF-8 to UTF-16 for the protocol's
// texts, input records built from VyoInput, and a guard so that no exception crosses the boundary.
#include "vyo_overlay.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "base/text.h"
#include "protocol/shared_memory_layout.h"
#include "protocol/wire.h"
#include "session.h"

struct VyoOverlay {
  std::unique_ptr<vyo::sdk::Session> session;
  std::vector<const char*> argv;
  std::vector<uint8_t> mask_cells;  // the cells handed out by vyo_overlay_read_hit_mask
};

static_assert(sizeof(VyoOverlayConfig) == 24 && offsetof(VyoOverlayConfig, tag) == 8, "config layout");
static_assert(sizeof(VyoOverlayNames) == 40, "names layout");
static_assert(sizeof(VyoHostMessage) == 40 && offsetof(VyoHostMessage, text) == 32, "message layout");
static_assert(sizeof(VyoTextureInfo) == 32 && offsetof(VyoTextureInfo, shared_handle) == 24, "texture info layout");
static_assert(sizeof(VyoDirty) == 28, "dirty layout");
static_assert(sizeof(VyoFrame) == 48, "frame layout");
static_assert(sizeof(VyoHitMask) == 40 && offsetof(VyoHitMask, cells) == 32, "hit mask layout");
static_assert(sizeof(VyoBeat) == 28, "beat layout");
static_assert(sizeof(VyoInput) == 56 && offsetof(VyoInput, text) == 48, "input layout");

namespace {

using vyo::sdk::Fail;
using vyo::sdk::Session;

// Runs `body` with the thread's message cleared; any exception becomes a status.
template <typename F>
int32_t Guard(F&& body) {
  try {
    vyo::sdk::ClearError();
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(VYO_E_INTERNAL, "out of memory");
  } catch (const std::exception& e) {
    return Fail(VYO_E_INTERNAL, std::string("internal failure: ") + e.what());
  } catch (...) {
    return Fail(VYO_E_INTERNAL, "internal failure");
  }
}

// Guard for calls on a session: a null object or struct, or a struct smaller than its version-1
// size, is refused before the body runs.
template <typename F>
int32_t OnSession(VyoOverlay* o, F&& body) {
  return Guard([&]() -> int32_t {
    if (o == nullptr || !o->session) return Fail(VYO_E_ARGUMENT, "no overlay object");
    return body(*o->session);
  });
}

bool SizeOk(const void* p, uint32_t size, uint32_t minimum) { return p != nullptr && size >= minimum; }
#define VYO_CHECK_STRUCT(p, type)                                                                  \
  if (!SizeOk(p, (p) == nullptr ? 0 : (p)->size, static_cast<uint32_t>(sizeof(type)))) {        \
    return Fail(VYO_E_ARGUMENT, #type " is null or its size field is smaller than its layout"); \
  }

std::u16string Text16(const char* utf8) { return utf8 == nullptr ? std::u16string() : vyo::Utf8ToUtf16(utf8); }
std::string Text8(const char* utf8) { return utf8 == nullptr ? std::string() : std::string(utf8); }

vyo::host::InputRecord BaseRecord(uint32_t view_id, uint32_t kind) {
  vyo::host::InputRecord r{};
  vyo::host::StoreU32(r.data(), view_id);
  vyo::host::StoreU32(r.data() + 4, kind);
  return r;
}
void Store64(uint8_t* p, uint64_t v) {
  vyo::host::StoreU32(p, static_cast<uint32_t>(v));
  vyo::host::StoreU32(p + 4, static_cast<uint32_t>(v >> 32));
}

// The records one VyoInput stands for (several for a long text).
int32_t BuildRecords(const VyoInput& in, std::vector<vyo::host::InputRecord>* out) {
  if (in.kind == VYO_IN_TEXT) {
    const std::u16string text = Text16(in.text);
    if (text.empty()) return Fail(VYO_E_ARGUMENT, "a text record needs text");
    constexpr size_t kUnits = 129;  // 260 bytes with the NUL
    for (size_t start = 0; start < text.size();) {
      size_t n = std::min(kUnits, text.size() - start);
      // Never split a surrogate pair between two records.
      if (start + n < text.size() && text[start + n - 1] >= 0xD800 && text[start + n - 1] <= 0xDBFF) --n;
      auto r = BaseRecord(in.view_id, in.kind);
      vyo::host::StoreU32(r.data() + 40, static_cast<uint32_t>(n));
      for (size_t i = 0; i < n; ++i) {
        r[44 + 2 * i] = static_cast<uint8_t>(text[start + i] & 0xFF);
        r[45 + 2 * i] = static_cast<uint8_t>(text[start + i] >> 8);
      }
      out->push_back(r);
      start += n;
    }
    return VYO_OK;
  }
  auto r = BaseRecord(in.view_id, in.kind);
  const bool key = in.kind == VYO_IN_KEYDOWN || in.kind == VYO_IN_KEYUP || in.kind == VYO_IN_CHAR ||
                   in.kind == VYO_IN_SYSKEYDOWN || in.kind == VYO_IN_SYSKEYUP || in.kind == 0x0106u;
  if (key) {
    const bool up = in.kind == VYO_IN_KEYUP || in.kind == VYO_IN_SYSKEYUP;
    uint64_t lparam = 1 | (uint64_t{in.scan_code & 0xFF} << 16) | (in.extended != 0 ? uint64_t{1} << 24 : 0);
    if (in.repeat != 0 || up) lparam |= uint64_t{1} << 30;
    if (up) lparam |= uint64_t{1} << 31;
    Store64(r.data() + 8, in.key);
    Store64(r.data() + 16, lparam);
  } else {
    uint64_t wparam = in.buttons & 0x7F;
    if (in.kind == VYO_IN_MOUSEWHEEL || in.kind == 0x020Eu) {
      wparam |= uint64_t{static_cast<uint16_t>(static_cast<int16_t>(in.wheel))} << 16;
    }
    Store64(r.data() + 8, wparam);
    Store64(r.data() + 16, (static_cast<uint64_t>(static_cast<uint16_t>(in.y)) << 16) | static_cast<uint16_t>(in.x));
    vyo::host::StoreU32(r.data() + 24, static_cast<uint32_t>(in.x));
    vyo::host::StoreU32(r.data() + 28, static_cast<uint32_t>(in.y));
  }
  vyo::host::StoreU32(r.data() + 36, in.modifiers);
  out->push_back(r);
  return VYO_OK;
}

}  // namespace

extern "C" {

uint32_t vyo_overlay_api_version(void) { return VYO_OVERLAY_API_VERSION; }

const char* vyo_overlay_last_error(void) { return vyo::sdk::LastError().c_str(); }

const char* vyo_overlay_status_name(int32_t status) {
  static const char* const names[] = {"VYO_OK",          "VYO_E_ARGUMENT",    "VYO_E_VERSION",     "VYO_E_SYSTEM",
                                      "VYO_E_START",     "VYO_E_TIMEOUT",     "VYO_E_DISCONNECTED", "VYO_E_NOT_FOUND",
                                      "VYO_E_BUSY",      "VYO_E_FULL",        "VYO_E_PROTOCOL",    "VYO_E_STATE",
                                      "VYO_E_UNSUPPORTED", "VYO_E_INTERNAL"};
  return status >= 0 && status < static_cast<int32_t>(sizeof(names) / sizeof(names[0])) ? names[status] : "unknown";
}

int32_t vyo_overlay_create(const VyoOverlayConfig* config, VyoOverlay** out) {
  return Guard([&]() -> int32_t {
    if (out == nullptr) return Fail(VYO_E_ARGUMENT, "no place for the overlay object");
    *out = nullptr;
    VYO_CHECK_STRUCT(config, VyoOverlayConfig);
    if (config->version != VYO_OVERLAY_API_VERSION) {
      return Fail(VYO_E_VERSION, "built for interface version " + std::to_string(config->version) +
                                     ", this library is version " + std::to_string(VYO_OVERLAY_API_VERSION));
    }
    auto o = std::make_unique<VyoOverlay>();
    const int32_t status =
        Session::Create(config->tag != nullptr ? config->tag : "overlay", config->flags, config->parent_pid, &o->session);
    if (status != VYO_OK) return status;
    for (const auto& a : o->session->host_args_utf8()) o->argv.push_back(a.c_str());
    *out = o.release();
    return VYO_OK;
  });
}

void vyo_overlay_destroy(VyoOverlay* overlay) {
  Guard([&]() -> int32_t {
    delete overlay;
    return VYO_OK;
  });
}

int32_t vyo_overlay_get_names(VyoOverlay* o, VyoOverlayNames* names) {
  return OnSession(o, [&](Session& s) -> int32_t {
    VYO_CHECK_STRUCT(names, VyoOverlayNames);
    names->pipe = s.name_utf8(0).c_str();
    names->input_map = s.name_utf8(1).c_str();
    names->input_event = s.name_utf8(2).c_str();
    names->beat_map = s.name_utf8(3).c_str();
    return VYO_OK;
  });
}

int32_t vyo_overlay_host_args(VyoOverlay* o, const char* const** argv, uint32_t* argc) {
  return OnSession(o, [&](Session&) -> int32_t {
    if (argv == nullptr || argc == nullptr) return Fail(VYO_E_ARGUMENT, "no place for the arguments");
    *argv = o->argv.data();
    *argc = static_cast<uint32_t>(o->argv.size());
    return VYO_OK;
  });
}

int32_t vyo_overlay_start_host(VyoOverlay* o, const char* host_path, uint32_t timeout_ms) {
  return OnSession(o, [&](Session& s) -> int32_t {
    const std::u16string path = host_path != nullptr ? Text16(host_path) : Session::DefaultHostPath();
    const int32_t started = s.Spawn(path, s.host_args());
    return started != VYO_OK ? started : s.Connect(timeout_ms);
  });
}

int32_t vyo_overlay_spawn_host(VyoOverlay* o, const char* host_path, const char* const* argv, uint32_t argc) {
  return OnSession(o, [&](Session& s) -> int32_t {
    if (argc != 0 && argv == nullptr) return Fail(VYO_E_ARGUMENT, "no arguments");
    std::vector<std::u16string> args;
    for (uint32_t i = 0; i < argc; ++i) args.push_back(Text16(argv[i]));
    return s.Spawn(host_path != nullptr ? Text16(host_path) : Session::DefaultHostPath(), args);
  });
}

int32_t vyo_overlay_connect(VyoOverlay* o, uint32_t timeout_ms) {
  return OnSession(o, [&](Session& s) { return s.Connect(timeout_ms); });
}
int32_t vyo_overlay_connected(VyoOverlay* o) {
  return o != nullptr && o->session && o->session->Connected() ? 1 : 0;
}
int32_t vyo_overlay_close(VyoOverlay* o) {
  return OnSession(o, [&](Session& s) { return s.Close(); });
}
int32_t vyo_overlay_wait_host_exit(VyoOverlay* o, uint32_t timeout_ms, uint32_t* code) {
  return OnSession(o, [&](Session& s) { return s.WaitExit(timeout_ms, code); });
}
int32_t vyo_overlay_stop_host(VyoOverlay* o, uint32_t timeout_ms, uint32_t* code) {
  return OnSession(o, [&](Session& s) -> int32_t {
    s.Close();
    const int32_t status = s.WaitExit(timeout_ms, code);
    if (status == VYO_E_TIMEOUT) {
      s.Kill();
      s.WaitExit(5000, nullptr);
      return Fail(VYO_E_TIMEOUT, "the host did not exit within " + std::to_string(timeout_ms) + " ms and was ended");
    }
    return status;
  });
}
int32_t vyo_overlay_kill_host(VyoOverlay* o) {
  return OnSession(o, [&](Session& s) { return s.Kill(); });
}
uint32_t vyo_overlay_host_pid(VyoOverlay* o) { return o != nullptr && o->session ? o->session->HostPid() : 0; }

int32_t vyo_overlay_poll(VyoOverlay* o, uint32_t timeout_ms, VyoHostMessage* message) {
  return OnSession(o, [&](Session& s) -> int32_t {
    VYO_CHECK_STRUCT(message, VyoHostMessage);
    return s.Poll(timeout_ms, message);
  });
}
int32_t vyo_overlay_pump(VyoOverlay* o, uint32_t timeout_ms, uint32_t* count) {
  return OnSession(o, [&](Session& s) { return s.Pump(timeout_ms, count); });
}
int32_t vyo_overlay_set_callback(VyoOverlay* o, VyoHostMessageFn callback, void* context) {
  return OnSession(o, [&](Session& s) {
    s.SetCallback(callback, context);
    return VYO_OK;
  });
}
int32_t vyo_overlay_describe_message(const VyoHostMessage* message, char* out, uint32_t capacity) {
  return Guard([&]() -> int32_t {
    VYO_CHECK_STRUCT(message, VyoHostMessage);
    if (out == nullptr || capacity == 0) return Fail(VYO_E_ARGUMENT, "no output buffer");
    const std::vector<uint8_t> payload(message->payload, message->payload + (message->payload ? message->length : 0));
    const std::string text = vyo::host::DescribeHostMessage(message->type, payload);
    const size_t n = std::min<size_t>(text.size(), capacity - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return VYO_OK;
  });
}

// ---- Commands
#define VYO_SEND(...) OnSession(o, [&](Session& s) { return s.Send(__VA_ARGS__); })
int32_t vyo_overlay_view_create(VyoOverlay* o, uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height,
                                int32_t visible, const char* url) {
  return VYO_SEND(vyo::host::ViewCreateCmd{view_id, x, y, width, height, visible != 0, Text16(url)});
}
int32_t vyo_overlay_view_destroy(VyoOverlay* o, uint32_t view_id) { return VYO_SEND(vyo::host::ViewDestroyCmd{view_id}); }
int32_t vyo_overlay_view_set_rect(VyoOverlay* o, uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height) {
  return VYO_SEND(vyo::host::ViewSetRectCmd{view_id, x, y, width, height});
}
int32_t vyo_overlay_view_set_visible(VyoOverlay* o, uint32_t view_id, int32_t visible) {
  return VYO_SEND(vyo::host::ViewSetVisibleCmd{view_id, visible != 0});
}
int32_t vyo_overlay_view_navigate(VyoOverlay* o, uint32_t view_id, const char* url) {
  return VYO_SEND(vyo::host::ViewNavigateCmd{view_id, Text16(url)});
}
int32_t vyo_overlay_view_post_message(VyoOverlay* o, uint32_t view_id, const char* json) {
  return VYO_SEND(vyo::host::ViewPostMessageCmd{view_id, Text8(json)});
}
int32_t vyo_overlay_view_set_focus(VyoOverlay* o, uint32_t view_id) { return VYO_SEND(vyo::host::ViewSetFocusCmd{view_id}); }
int32_t vyo_overlay_focus_clear(VyoOverlay* o) { return VYO_SEND(vyo::host::FocusClearCmd{}); }
int32_t vyo_overlay_view_set_frame_rate(VyoOverlay* o, uint32_t view_id, uint32_t fps) {
  return VYO_SEND(vyo::host::ViewSetFrameRateCmd{view_id, fps});
}
int32_t vyo_overlay_view_set_background(VyoOverlay* o, uint32_t view_id, uint32_t argb) {
  return VYO_SEND(vyo::host::ViewSetBackgroundCmd{view_id, argb});
}
int32_t vyo_overlay_view_full_frame_mode(VyoOverlay* o, uint32_t view_id, int32_t on) {
  return VYO_SEND(vyo::host::ViewFullFrameModeCmd{view_id, on != 0});
}
int32_t vyo_overlay_view_live_mode(VyoOverlay* o, uint32_t view_id, int32_t on) {
  return VYO_SEND(vyo::host::ViewLiveModeCmd{view_id, on != 0});
}
int32_t vyo_overlay_view_set_z_order(VyoOverlay* o, uint32_t view_id, int32_t z) {
  return VYO_SEND(vyo::host::ViewSetZOrderCmd{view_id, z});
}
int32_t vyo_overlay_telemetry_context(VyoOverlay* o, const char* text) {
  return VYO_SEND(vyo::host::TelemetryContextCmd{Text8(text)});
}
int32_t vyo_overlay_telemetry_upload(VyoOverlay* o, const uint8_t* bytes, uint32_t length) {
  if (length != 0 && bytes == nullptr) return Fail(VYO_E_ARGUMENT, "no bytes");
  return VYO_SEND(vyo::host::TelemetryUploadCmd{std::vector<uint8_t>(bytes, bytes + length)});
}
int32_t vyo_overlay_native_button_create(VyoOverlay* o, uint32_t view_id, int32_t width, int32_t height,
                                         int32_t visible, const char* normal, const char* hover, const char* pressed) {
  return VYO_SEND(
      vyo::host::NativeButtonCreateCmd{view_id, width, height, visible != 0, Text16(normal), Text16(hover), Text16(pressed)});
}
int32_t vyo_overlay_native_button_event(VyoOverlay* o, uint32_t view_id, uint32_t event) {
  return VYO_SEND(vyo::host::NativeButtonEventCmd{view_id, event});
}
int32_t vyo_overlay_module_message(VyoOverlay* o, uint32_t module_id, const char* text) {
  return VYO_SEND(vyo::host::ModuleMessageCmd{module_id, Text8(text)});
}
int32_t vyo_overlay_surface_info(VyoOverlay* o, uint32_t width, uint32_t height) {
  return VYO_SEND(vyo::host::SurfaceInfoCmd{width, height});
}
int32_t vyo_overlay_set_presentation_mode(VyoOverlay* o, uint32_t mode, uint32_t graphics_api, uint64_t game_window,
                                          uint32_t game_pid) {
  return VYO_SEND(vyo::host::SetPresentationModeCmd{mode, graphics_api, game_window, game_pid});
}
int32_t vyo_overlay_popup_place(VyoOverlay* o, uint32_t view_id, int32_t x, int32_t y) {
  return VYO_SEND(vyo::host::PopupPlaceCmd{view_id, x, y});
}
#undef VYO_SEND
int32_t vyo_overlay_send_frame(VyoOverlay* o, uint32_t type, const uint8_t* payload, uint32_t length) {
  return OnSession(o, [&](Session& s) { return s.SendFrame(type, payload, length); });
}
int32_t vyo_overlay_send_raw(VyoOverlay* o, const uint8_t* bytes, uint32_t length) {
  return OnSession(o, [&](Session& s) -> int32_t {
    if (bytes == nullptr && length != 0) return Fail(VYO_E_ARGUMENT, "no bytes");
    return s.SendRaw(bytes, length);
  });
}

// ---- Textures, hit masks
int32_t vyo_overlay_texture_info(VyoOverlay* o, uint32_t view_id, VyoTextureInfo* info) {
  return OnSession(o, [&](Session& s) -> int32_t {
    VYO_CHECK_STRUCT(info, VyoTextureInfo);
    return s.TextureInfo(view_id, info);
  });
}
int32_t vyo_overlay_open_texture(VyoOverlay* o, const VyoTextureInfo* info) {
  return OnSession(o, [&](Session& s) -> int32_t {
    VYO_CHECK_STRUCT(info, VyoTextureInfo);
    return s.OnTextureReady(
        vyo::host::SharedTextureReadyMsg{info->view_id, info->width, info->height, info->format, info->shared_handle});
  });
}
int32_t vyo_overlay_read_dirty(VyoOverlay* o, uint32_t view_id, VyoDirty* dirty) {
  return OnSession(o, [&](Session& s) -> int32_t {
    VYO_CHECK_STRUCT(dirty, VyoDirty);
    return s.ReadDirty(view_id, dirty);
  });
}
int32_t vyo_overlay_read_frame(VyoOverlay* o, uint32_t view_id, uint8_t* pixels, uint32_t pitch, uint32_t width,
                               uint32_t height, VyoFrame* frame) {
  return OnSession(o, [&](Session& s) -> int32_t {
    if (frame != nullptr) VYO_CHECK_STRUCT(frame, VyoFrame);
    return s.ReadFrame(view_id, pixels, pitch, width, height, frame);
  });
}
int32_t vyo_overlay_read_hit_mask(VyoOverlay* o, uint32_t view_id, VyoHitMask* mask) {
  return OnSession(o, [&](Session& s) -> int32_t {
    VYO_CHECK_STRUCT(mask, VyoHitMask);
    vyo::host::HitMaskView view;
    const int32_t status = s.ReadHitMask(view_id, &view);
    if (status != VYO_OK) return status;
    o->mask_cells = std::move(view.cells);
    mask->view_id = view_id;
    mask->seq = view.seq;
    mask->cols = view.cols;
    mask->rows = view.rows;
    mask->cell = view.cell;
    mask->threshold = view.threshold;
    mask->cells = o->mask_cells.data();
    return VYO_OK;
  });
}
int32_t vyo_overlay_heartbeat_age(VyoOverlay* o, uint32_t* age_ms) {
  return OnSession(o, [&](Session& s) -> int32_t {
    if (age_ms == nullptr) return Fail(VYO_E_ARGUMENT, "no place for the age");
    return s.HeartbeatAge(age_ms);
  });
}
int32_t vyo_overlay_hit_test(VyoOverlay* o, uint32_t view_id, int32_t x, int32_t y, int32_t* opaque) {
  return OnSession(o, [&](Session& s) -> int32_t {
    if (opaque == nullptr) return Fail(VYO_E_ARGUMENT, "no place for the answer");
    return s.HitTest(view_id, x, y, opaque);
  });
}

// ---- Input, beat map
int32_t vyo_overlay_send_input(VyoOverlay* o, const VyoInput* input) {
  return OnSession(o, [&](Session& s) -> int32_t {
    VYO_CHECK_STRUCT(input, VyoInput);
    std::vector<vyo::host::InputRecord> records;
    const int32_t built = BuildRecords(*input, &records);
    return built != VYO_OK ? built : s.WriteRecords(records);
  });
}
int32_t vyo_overlay_click(VyoOverlay* o, uint32_t view_id, int32_t x, int32_t y) {
  return OnSession(o, [&](Session& s) -> int32_t {
    std::vector<vyo::host::InputRecord> records;
    for (uint32_t kind : {VYO_IN_MOUSEMOVE, VYO_IN_LBUTTONDOWN, VYO_IN_LBUTTONUP}) {
      VyoInput in{};
      in.size = sizeof(in);
      in.view_id = view_id;
      in.kind = kind;
      in.x = x;
      in.y = y;
      in.buttons = kind == VYO_IN_LBUTTONDOWN ? VYO_BUTTON_LEFT : 0;
      BuildRecords(in, &records);
    }
    return s.WriteRecords(records);
  });
}
int32_t vyo_overlay_send_input_record(VyoOverlay* o, const uint8_t* record, uint32_t length) {
  return OnSession(o, [&](Session& s) -> int32_t {
    if (record == nullptr || length != vyo::host::kInputRecordSize) {
      return Fail(VYO_E_ARGUMENT, "an input record has exactly 304 bytes");
    }
    vyo::host::InputRecord r;
    std::memcpy(r.data(), record, r.size());
    return s.WriteRecords({r});
  });
}
int32_t vyo_overlay_input_read_index(VyoOverlay* o, uint32_t* index) {
  return OnSession(o, [&](Session& s) -> int32_t {
    if (index == nullptr) return Fail(VYO_E_ARGUMENT, "no place for the index");
    return s.InputReadIndex(index);
  });
}
int32_t vyo_overlay_set_input_write_index(VyoOverlay* o, uint32_t index) {
  return OnSession(o, [&](Session& s) { return s.SetInputWriteIndex(index); });
}
int32_t vyo_overlay_read_beat(VyoOverlay* o, VyoBeat* beat) {
  return OnSession(o, [&](Session& s) -> int32_t {
    VYO_CHECK_STRUCT(beat, VyoBeat);
    return s.ReadBeat(beat);
  });
}

}  // extern "C"
