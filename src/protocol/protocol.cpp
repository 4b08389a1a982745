#include "protocol/protocol.h"
#include "protocol/shared_memory_layout.h"

#include <cstdio>

#include "protocol/wire.h"

namespace vyo::host {

void EncodeFrameHeader(const FrameHeader& header, uint8_t out[kFrameHeaderSize]) {
  StoreU32(out, header.magic);
  StoreU32(out + 4, header.version);
  StoreU32(out + 8, header.type);
  StoreU32(out + 12, header.length);
}

FrameHeader DecodeFrameHeader(const uint8_t in[kFrameHeaderSize]) {
  return FrameHeader{LoadU32(in), LoadU32(in + 4), LoadU32(in + 8), LoadU32(in + 12)};
}

bool IsValidFrameHeader(const FrameHeader& header) {
  return header.magic == kFrameMagic && header.version == kFrameVersion && header.length <= kMaxPayload;
}

std::vector<uint8_t> BuildFrame(uint32_t type, const uint8_t* payload, uint32_t length) {
  std::vector<uint8_t> frame(static_cast<size_t>(kFrameHeaderSize) + length, 0);
  EncodeFrameHeader(FrameHeader{kFrameMagic, kFrameVersion, type, length}, frame.data());
  if (payload != nullptr && length != 0) std::memcpy(frame.data() + kFrameHeaderSize, payload, length);
  return frame;
}

namespace {

std::vector<uint8_t> U32s(std::initializer_list<uint32_t> values) {
  ByteWriter w;
  for (uint32_t v : values) w.U32(v);
  return w.Take();
}

std::vector<uint8_t> Counted(std::initializer_list<uint32_t> head, const std::string& text) {
  ByteWriter w;
  for (uint32_t v : head) w.U32(v);
  w.U32(static_cast<uint32_t>(text.size()));
  w.Utf8(text);
  return w.Take();
}

uint32_t B(bool v) { return v ? 1 : 0; }
uint32_t U(int32_t v) { return static_cast<uint32_t>(v); }

}  // namespace

std::vector<uint8_t> Encode(const SharedTextureReadyMsg& m) {
  ByteWriter w;
  w.U32(m.view_id);
  w.U32(m.width);
  w.U32(m.height);
  w.U32(m.format);
  w.U64(m.shared_handle);
  return w.Take();
}
std::vector<uint8_t> Encode(const PageMessageMsg& m) { return Counted({m.view_id}, m.json); }
std::vector<uint8_t> Encode(const CursorChangedMsg& m) {
  ByteWriter w;
  w.U32(m.view_id);
  w.U32(m.cursor_id);
  w.U64(0);
  return w.Take();
}
std::vector<uint8_t> Encode(const ViewStatusMsg& m) { return U32s({m.view_id, m.code}); }
std::vector<uint8_t> Encode(const ButtonAtlasReadyMsg& m) {
  const uint32_t w = m.width, h = m.height;
  return U32s({m.view_id, 3, 0, 0, w, h, 0, h, w, h, 0, 2 * h, w, h});
}
std::vector<uint8_t> Encode(const ModuleStatusMsg& m) {
  return Counted({m.module_id, m.status, U(m.value)}, m.text);
}
std::vector<uint8_t> Encode(const ModuleOutputMsg& m) { return Counted({m.module_id}, m.text); }
std::vector<uint8_t> Encode(const ViewCreatedMsg& m) {
  return U32s({m.view_id, m.owner_module, m.kind, U(m.x), U(m.y), U(m.width), U(m.height), B(m.visible),
               U(m.z_order), B(m.relay_a), B(m.relay_b)});
}
std::vector<uint8_t> Encode(const ViewChangedMsg& m) {
  return U32s({m.view_id, m.mask, U(m.x), U(m.y), U(m.width), U(m.height), m.visible, U(m.z_order), m.relay_a,
               m.relay_b, m.hit_test, m.alpha_threshold});
}
std::vector<uint8_t> Encode(const HostHelloMsg& m) { return U32s({m.version, m.capabilities, m.module_count}); }
std::vector<uint8_t> Encode(const ViewDestroyedMsg& m) { return U32s({m.view_id, m.owner_module}); }
std::vector<uint8_t> EncodeExitRequest() { return U32s({0}); }
std::vector<uint8_t> Encode(const EnvironmentResultMsg& m) {
  return Counted({m.result, U(m.hr), m.cost_ms}, m.version);
}
std::vector<uint8_t> Encode(const InputFocusChangedMsg& m) { return U32s({m.view_id, m.state}); }
std::vector<uint8_t> Encode(const NativeButtonEventMsg& m) { return U32s({m.view_id, m.event}); }
std::vector<uint8_t> Encode(const PopupStateMsg& m) {
  ByteWriter w;
  for (uint32_t v : {m.content_view_id, m.chrome_view_id, m.close_view_id}) w.U32(v);
  for (const PopupRect& r : {m.chrome, m.close_button, m.content, m.popup, m.title_bar}) {
    for (uint32_t v : {r.x, r.y, r.width, r.height}) w.U32(v);
  }
  w.U32(m.surface_width);
  w.U32(m.surface_height);
  return w.Take();
}
std::vector<uint8_t> Encode(const WindowedRenderStateMsg& m) { return U32s({m.paused}); }
std::vector<uint8_t> Encode(const HitMaskHeartbeatMsg& m) { return U32s({m.tick, m.view_count, m.period_ms}); }
std::vector<uint8_t> Encode(const SelectionChangedMsg& m) { return U32s({m.view_id, m.has_selection}); }

namespace {

// Reads a counted UTF-8 text whose length field is at `offset`; false when it does not fit.
bool CountedText(const PayloadView& v, size_t offset, std::string* out) {
  if (!v.Has(offset, 4)) return false;
  const uint32_t n = v.U32(offset);
  if (!v.Has(offset + 4, n)) return false;
  *out = v.Utf8(offset + 4, n);
  return true;
}

}  // namespace


std::optional<SharedTextureReadyMsg> DecodeSharedTextureReady(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 24) return std::nullopt;
  return SharedTextureReadyMsg{v.U32(0), v.U32(4), v.U32(8), v.U32(12), v.U64(16)};
}
std::optional<PageMessageMsg> DecodePageMessage(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  PageMessageMsg m;
  m.view_id = v.U32(0);
  if (p.size() < 8 || !CountedText(v, 4, &m.json)) return std::nullopt;
  return m;
}
std::optional<CursorChangedMsg> DecodeCursorChanged(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 16) return std::nullopt;
  return CursorChangedMsg{v.U32(0), v.U32(4)};
}
std::optional<ViewStatusMsg> DecodeViewStatus(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 8) return std::nullopt;
  return ViewStatusMsg{v.U32(0), v.U32(4)};
}
std::optional<ModuleStatusMsg> DecodeModuleStatus(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  ModuleStatusMsg m;
  if (p.size() < 16 || !CountedText(v, 12, &m.text)) return std::nullopt;
  m.module_id = v.U32(0);
  m.status = v.U32(4);
  m.value = v.I32(8);
  return m;
}
std::optional<ModuleOutputMsg> DecodeModuleOutput(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  ModuleOutputMsg m;
  if (p.size() < 8 || !CountedText(v, 4, &m.text)) return std::nullopt;
  m.module_id = v.U32(0);
  return m;
}
std::optional<ViewCreatedMsg> DecodeViewCreated(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 44) return std::nullopt;
  return ViewCreatedMsg{v.U32(0),  v.U32(4),       v.U32(8),  v.I32(12),      v.I32(16),      v.I32(20),
                        v.I32(24), v.U32(28) != 0, v.I32(32), v.U32(36) != 0, v.U32(40) != 0};
}
std::optional<ViewChangedMsg> DecodeViewChanged(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 48) return std::nullopt;
  return ViewChangedMsg{v.U32(0),  v.U32(4),  v.I32(8),  v.I32(12), v.I32(16), v.I32(20),
                        v.U32(24), v.I32(28), v.U32(32), v.U32(36), v.U32(40), v.U32(44)};
}
std::optional<HostHelloMsg> DecodeHostHello(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 12) return std::nullopt;
  return HostHelloMsg{v.U32(0), v.U32(4), v.U32(8)};
}
std::optional<ViewDestroyedMsg> DecodeViewDestroyed(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 8) return std::nullopt;
  return ViewDestroyedMsg{v.U32(0), v.U32(4)};
}
std::optional<EnvironmentResultMsg> DecodeEnvironmentResult(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  EnvironmentResultMsg m;
  if (p.size() < 16 || !CountedText(v, 12, &m.version)) return std::nullopt;
  m.result = v.U32(0);
  m.hr = v.I32(4);
  m.cost_ms = v.U32(8);
  return m;
}
std::optional<InputFocusChangedMsg> DecodeInputFocusChanged(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 8) return std::nullopt;
  return InputFocusChangedMsg{v.U32(0), v.U32(4)};
}
std::optional<HitMaskHeartbeatMsg> DecodeHitMaskHeartbeat(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 12) return std::nullopt;
  return HitMaskHeartbeatMsg{v.U32(0), v.U32(4), v.U32(8)};
}
std::optional<ButtonAtlasRects> DecodeButtonAtlasReady(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 56) return std::nullopt;
  ButtonAtlasRects r;
  r.view_id = v.U32(0);
  r.count = v.U32(4);
  for (size_t i = 0; i < 3; ++i)
    for (size_t k = 0; k < 4; ++k) r.rects[i][k] = v.U32(8 + 16 * i + 4 * k);
  return r;
}
std::optional<SelectionChangedMsg> DecodeSelectionChanged(const std::vector<uint8_t>& p) {
  const PayloadView v(p.data(), p.size());
  if (p.size() < 8) return std::nullopt;
  return SelectionChangedMsg{v.U32(0), v.U32(4)};
}


const char* HostMessageName(uint32_t type) {
  switch (type) {
    case kSharedTextureReady: return "SharedTextureReady";
    case kPageMessage: return "PageMessage";
    case kCursorChanged: return "CursorChanged";
    case kHostLog: return "HostLog";
    case kViewStatus: return "ViewStatus";
    case kButtonAtlasReady: return "ButtonAtlasReady";
    case kModuleStatus: return "ModuleStatus";
    case kModuleOutput: return "ModuleOutput";
    case kViewCreated: return "ViewCreated";
    case kViewChanged: return "ViewChanged";
    case kHostHello: return "HostHello";
    case kViewDestroyed: return "ViewDestroyed";
    case kExitRequest: return "ExitRequest";
    case kEnvironmentResult: return "EnvironmentResult";
    case kInputFocusChanged: return "InputFocusChanged";
    case kNativeButtonEventMsg: return "NativeButtonEvent";
    case kPopupState: return "PopupState";
    case kWindowedRenderState: return "WindowedRenderState";
    case kHitMaskHeartbeat: return "HitMaskHeartbeat";
    case kSelectionChanged: return "SelectionChanged";
    default: return "unknown";
  }
}

std::string DescribeHostMessage(uint32_t type, const std::vector<uint8_t>& payload) {
  char buf[256];
  std::string out = HostMessageName(type);
  switch (type) {
    case kHostLog:
      return out + " \"" + std::string(payload.begin(), payload.end()) + "\"";
    case kHostHello:
      if (auto m = DecodeHostHello(payload)) {
        std::snprintf(buf, sizeof(buf), " version=%u caps=0x%x modules=%u", m->version, m->capabilities,
                      m->module_count);
        return out + buf;
      }
      break;
    case kViewCreated:
      if (auto m = DecodeViewCreated(payload)) {
        std::snprintf(buf, sizeof(buf), " view=%u owner=%u kind=%u rect=(%d,%d %dx%d) visible=%d z=%d", m->view_id,
                      m->owner_module, m->kind, m->x, m->y, m->width, m->height, m->visible ? 1 : 0, m->z_order);
        return out + buf;
      }
      break;
    case kViewChanged:
      if (auto m = DecodeViewChanged(payload)) {
        std::snprintf(buf, sizeof(buf), " view=%u mask=%u", m->view_id, m->mask);
        return out + buf;
      }
      break;
    case kViewDestroyed:
      if (auto m = DecodeViewDestroyed(payload)) {
        std::snprintf(buf, sizeof(buf), " view=%u owner=%u", m->view_id, m->owner_module);
        return out + buf;
      }
      break;
    case kSharedTextureReady:
      if (auto m = DecodeSharedTextureReady(payload)) {
        std::snprintf(buf, sizeof(buf), " view=%u %ux%u format=%u handle=0x%llx", m->view_id, m->width, m->height,
                      m->format, static_cast<unsigned long long>(m->shared_handle));
        return out + buf;
      }
      break;
    case kEnvironmentResult:
      if (auto m = DecodeEnvironmentResult(payload)) {
        std::snprintf(buf, sizeof(buf), " result=%u hr=0x%x cost=%ums version=\"%s\"", m->result,
                      static_cast<uint32_t>(m->hr), m->cost_ms, m->version.c_str());
        return out + buf;
      }
      break;
    case kHitMaskHeartbeat:
      if (auto m = DecodeHitMaskHeartbeat(payload)) {
        std::snprintf(buf, sizeof(buf), " views=%u period=%ums", m->view_count, m->period_ms);
        return out + buf;
      }
      break;
    case kViewStatus:
      if (auto m = DecodeViewStatus(payload)) {
        std::snprintf(buf, sizeof(buf), " view=%u code=%u", m->view_id, m->code);
        return out + buf;
      }
      break;
    default:
      break;
  }
  std::snprintf(buf, sizeof(buf), " (%zu bytes)", payload.size());
  return out + buf;
}

ViewChangedMsg ViewChange::Rect(uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height) {
  ViewChangedMsg m;
  m.view_id = view_id;
  m.mask = kChangeRect;
  m.x = x, m.y = y, m.width = width, m.height = height;
  return m;
}

ViewChangedMsg ViewChange::Visible(uint32_t view_id, bool visible) {
  ViewChangedMsg m;
  m.view_id = view_id;
  m.mask = kChangeVisible;
  m.visible = visible ? 1 : 0;
  return m;
}

ViewChangedMsg ViewChange::ZOrder(uint32_t view_id, int32_t z_order) {
  ViewChangedMsg m;
  m.view_id = view_id;
  m.mask = kChangeZOrder;
  m.z_order = z_order;
  return m;
}

ViewChangedMsg ViewChange::Relay(uint32_t view_id, bool flag_b, bool on) {
  ViewChangedMsg m;
  m.view_id = view_id;
  m.mask = flag_b ? kChangeRelayB : kChangeRelayA;
  (flag_b ? m.relay_b : m.relay_a) = on ? 1 : 0;
  return m;
}

ViewChangedMsg ViewChange::HitTest(uint32_t view_id, bool on, uint32_t alpha_threshold) {
  ViewChangedMsg m;
  m.view_id = view_id;
  m.mask = kChangeHitTest;
  m.hit_test = on ? 1 : 0;
  m.alpha_threshold = alpha_threshold;
  return m;
}

const char* StageName(int32_t stage) {
  static const char* const kNames[] = {"init",         "pump_messages", "pump_pipe", "pump_input",
                                       "module_tick", "pump_frames",   "wait_frame"};
  return stage >= 0 && stage <= 6 ? kNames[stage] : "unknown";
}

}  // namespace vyo::host
