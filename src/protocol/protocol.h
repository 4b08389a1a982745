// The overlay channel's frames and the host-to-overlay messages.
//
// A frame is a 16-byte header {magic "T2VW", version 1, type, length} (little-endian u32 each),
// sent as one pipe message, followed by the payload as a second message when the length is not 0.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vyo::host {

constexpr uint32_t kFrameMagic = 0x57563254;
constexpr uint32_t kFrameVersion = 1;
constexpr uint32_t kFrameHeaderSize = 16;
constexpr uint32_t kMaxPayload = 0x100000;  // 1 MiB

struct FrameHeader {
  uint32_t magic = kFrameMagic;
  uint32_t version = kFrameVersion;
  uint32_t type = 0;
  uint32_t length = 0;
};

void EncodeFrameHeader(const FrameHeader& header, uint8_t out[kFrameHeaderSize]);
FrameHeader DecodeFrameHeader(const uint8_t in[kFrameHeaderSize]);
// A header the host accepts: right magic and version, payload no larger than 1 MiB.
bool IsValidFrameHeader(const FrameHeader& header);
// A whole frame (header + payload) as the writer queues it.
std::vector<uint8_t> BuildFrame(uint32_t type, const uint8_t* payload, uint32_t length);

// Host-to-overlay message types.
enum HostMessageType : uint32_t {
  kSharedTextureReady = 100,
  kPageMessage = 101,
  kCursorChanged = 102,
  kHostLog = 103,
  kViewStatus = 104,
  kButtonAtlasReady = 105,
  kModuleStatus = 106,
  kModuleOutput = 107,
  kViewCreated = 108,
  kViewChanged = 109,
  kHostHello = 110,
  kViewDestroyed = 111,
  kExitRequest = 112,
  kEnvironmentResult = 113,
  kInputFocusChanged = 114,
  kNativeButtonEventMsg = 115,
  kPopupState = 116,
  kWindowedRenderState = 118,
  kHitMaskHeartbeat = 119,
  kSelectionChanged = 120,
};

// Capabilities announced in HostHello.
constexpr uint32_t kProtocolVersion = 1;
constexpr uint32_t kHostCapabilities = 0x1F;

// ViewChanged change-mask bits; each message carries exactly one.
enum ViewChangeBit : uint32_t {
  kChangeRect = 1,
  kChangeVisible = 2,
  kChangeZOrder = 4,
  kChangeRelayA = 8,
  kChangeRelayB = 16,
  kChangeHitTest = 32,
};

struct SharedTextureReadyMsg {
  uint32_t view_id = 0, width = 0, height = 0, format = 87;
  uint64_t shared_handle = 0;
};
struct PageMessageMsg {
  uint32_t view_id = 0;
  std::string json;
};
struct CursorChangedMsg {
  uint32_t view_id = 0, cursor_id = 0;
};
// Why a view's web content failed (ViewStatus code).
enum class ViewStatusCode : uint32_t {
  kBrowserProcessFailed = 1,
  kContentNavigationFailed = 2,
  kControllerCreationGaveUp = 3,
};
struct ViewStatusMsg {
  uint32_t view_id = 0, code = 0;
};
inline ViewStatusMsg ViewStatus(uint32_t view_id, ViewStatusCode code) {
  return ViewStatusMsg{view_id, static_cast<uint32_t>(code)};
}
struct ButtonAtlasReadyMsg {
  uint32_t view_id = 0, width = 0, height = 0;  // size of one state image
};
struct ModuleStatusMsg {
  uint32_t module_id = 0, status = 0;
  int32_t value = 0;
  std::string text;
};
struct ModuleOutputMsg {
  uint32_t module_id = 0;
  std::string text;
};
struct ViewCreatedMsg {
  uint32_t view_id = 0, owner_module = 0, kind = 0;
  int32_t x = 0, y = 0, width = 0, height = 0;
  bool visible = false;
  int32_t z_order = 0;
  bool relay_a = false, relay_b = false;
};
struct ViewChangedMsg {
  uint32_t view_id = 0, mask = 0;
  int32_t x = 0, y = 0, width = 0, height = 0;
  uint32_t visible = 0;
  int32_t z_order = 0;
  uint32_t relay_a = 0, relay_b = 0, hit_test = 0, alpha_threshold = 0;
};
// The one way to build a ViewChanged message: each carries one change.
struct ViewChange {
  static ViewChangedMsg Rect(uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height);
  static ViewChangedMsg Visible(uint32_t view_id, bool visible);
  static ViewChangedMsg ZOrder(uint32_t view_id, int32_t z_order);
  // Relay flag A, or B when `flag_b`.
  static ViewChangedMsg Relay(uint32_t view_id, bool flag_b, bool on);
  static ViewChangedMsg HitTest(uint32_t view_id, bool on, uint32_t alpha_threshold);
};
struct HostHelloMsg {
  uint32_t version = kProtocolVersion, capabilities = kHostCapabilities, module_count = 0;
};
struct ViewDestroyedMsg {
  uint32_t view_id = 0, owner_module = 0;
};
struct EnvironmentResultMsg {
  uint32_t result = 0;
  int32_t hr = 0;
  uint32_t cost_ms = 0;
  std::string version;
};
struct InputFocusChangedMsg {
  uint32_t view_id = 0, state = 0;
};
struct NativeButtonEventMsg {
  uint32_t view_id = 0, event = 0;
};
// One managed popup: its three views and the rectangles of its parts, in the order they are sent
// (25 u32 values).
struct PopupRect {
  uint32_t x = 0, y = 0, width = 0, height = 0;
};
struct PopupStateMsg {
  uint32_t content_view_id = 0, chrome_view_id = 0, close_view_id = 0;
  PopupRect chrome, close_button, content;
  PopupRect popup;  // the same values as `chrome`
  PopupRect title_bar;
  uint32_t surface_width = 0, surface_height = 0;
};
struct WindowedRenderStateMsg {
  uint32_t paused = 0;
};
struct HitMaskHeartbeatMsg {
  uint32_t tick = 0, view_count = 0, period_ms = 100;
};
struct SelectionChangedMsg {
  uint32_t view_id = 0, has_selection = 0;
};

std::vector<uint8_t> Encode(const SharedTextureReadyMsg& m);
std::vector<uint8_t> Encode(const PageMessageMsg& m);
std::vector<uint8_t> Encode(const CursorChangedMsg& m);
std::vector<uint8_t> Encode(const ViewStatusMsg& m);
std::vector<uint8_t> Encode(const ButtonAtlasReadyMsg& m);
std::vector<uint8_t> Encode(const ModuleStatusMsg& m);
std::vector<uint8_t> Encode(const ModuleOutputMsg& m);
std::vector<uint8_t> Encode(const ViewCreatedMsg& m);
std::vector<uint8_t> Encode(const ViewChangedMsg& m);
std::vector<uint8_t> Encode(const HostHelloMsg& m);
std::vector<uint8_t> Encode(const ViewDestroyedMsg& m);
std::vector<uint8_t> EncodeExitRequest();
std::vector<uint8_t> Encode(const EnvironmentResultMsg& m);
std::vector<uint8_t> Encode(const InputFocusChangedMsg& m);
std::vector<uint8_t> Encode(const NativeButtonEventMsg& m);
std::vector<uint8_t> Encode(const PopupStateMsg& m);
std::vector<uint8_t> Encode(const WindowedRenderStateMsg& m);
std::vector<uint8_t> Encode(const HitMaskHeartbeatMsg& m);
std::vector<uint8_t> Encode(const SelectionChangedMsg& m);

// Decoders used by the reference overlay and the tests; nullopt when the payload is too short.
std::optional<SharedTextureReadyMsg> DecodeSharedTextureReady(const std::vector<uint8_t>& p);
std::optional<PageMessageMsg> DecodePageMessage(const std::vector<uint8_t>& p);
std::optional<CursorChangedMsg> DecodeCursorChanged(const std::vector<uint8_t>& p);
std::optional<ViewStatusMsg> DecodeViewStatus(const std::vector<uint8_t>& p);
std::optional<ModuleStatusMsg> DecodeModuleStatus(const std::vector<uint8_t>& p);
std::optional<ModuleOutputMsg> DecodeModuleOutput(const std::vector<uint8_t>& p);
std::optional<ViewCreatedMsg> DecodeViewCreated(const std::vector<uint8_t>& p);
std::optional<ViewChangedMsg> DecodeViewChanged(const std::vector<uint8_t>& p);
std::optional<HostHelloMsg> DecodeHostHello(const std::vector<uint8_t>& p);
std::optional<ViewDestroyedMsg> DecodeViewDestroyed(const std::vector<uint8_t>& p);
std::optional<EnvironmentResultMsg> DecodeEnvironmentResult(const std::vector<uint8_t>& p);
std::optional<InputFocusChangedMsg> DecodeInputFocusChanged(const std::vector<uint8_t>& p);
std::optional<HitMaskHeartbeatMsg> DecodeHitMaskHeartbeat(const std::vector<uint8_t>& p);
std::optional<SelectionChangedMsg> DecodeSelectionChanged(const std::vector<uint8_t>& p);
// The three image rectangles of a ButtonAtlasReady (x, y, width, height each), with its view id.
struct ButtonAtlasRects {
  uint32_t view_id = 0, count = 0;
  uint32_t rects[3][4] = {};
};
std::optional<ButtonAtlasRects> DecodeButtonAtlasReady(const std::vector<uint8_t>& p);

// Name of a host message type ("HostHello" …), or "unknown".
const char* HostMessageName(uint32_t type);
// A one-line human-readable description of a host message, for traces.
std::string DescribeHostMessage(uint32_t type, const std::vector<uint8_t>& payload);

}  // namespace vyo::host
