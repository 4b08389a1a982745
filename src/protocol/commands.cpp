#include "protocol/commands.h"

#include "protocol/wire.h"

namespace vyo::host {

std::optional<uint32_t> CommandMinSize(uint32_t type) {
  switch (type) {
    case kViewCreate: return 28;
    case kViewDestroy: return 4;
    case kViewSetRect: return 20;
    case kViewSetVisible: return 8;
    case kViewNavigate: return 8;
    case kViewPostMessage: return 8;
    case kViewSetFocus: return 4;
    case kFocusClear: return 0;
    case kViewSetFrameRate: return 8;
    case kViewSetBackground: return 8;
    case kViewFullFrameMode: return 8;
    case kTelemetryContext: return 4;
    case kTelemetryUpload: return 4;
    case kNativeButtonCreate: return 36;
    case kModuleMessage: return 8;
    case kSurfaceInfo: return 8;
    case kViewLiveMode: return 8;
    case kSetPresentationMode: return 24;
    case kViewSetZOrder: return 8;
    case kNativeButtonEvent: return 8;
    case kPopupPlace: return 12;
    default: return std::nullopt;
  }
}

namespace {

// A text field: taken only when its length is non-zero and fits after the fixed part; otherwise
// empty (the command still runs).
std::u16string OptionalUtf16(const PayloadView& v, size_t fixed, uint32_t length) {
  return (length != 0 && v.Has(fixed, length)) ? v.Utf16(fixed, length) : std::u16string();
}
std::string OptionalUtf8(const PayloadView& v, size_t fixed, uint32_t length) {
  return (length != 0 && v.Has(fixed, length)) ? v.Utf8(fixed, length) : std::string();
}

}  // namespace

std::optional<Command> DecodeCommand(uint32_t type, const uint8_t* payload, size_t size) {
  const auto min = CommandMinSize(type);
  if (!min || size < *min) return std::nullopt;
  const PayloadView v(payload, size);
  switch (type) {
    case kViewCreate:
      return ViewCreateCmd{v.U32(0), v.I32(4), v.I32(8), v.I32(12), v.I32(16), v.U32(20) != 0,
                           OptionalUtf16(v, 28, v.U32(24))};
    case kViewDestroy: return ViewDestroyCmd{v.U32(0)};
    case kViewSetRect: return ViewSetRectCmd{v.U32(0), v.I32(4), v.I32(8), v.I32(12), v.I32(16)};
    case kViewSetVisible: return ViewSetVisibleCmd{v.U32(0), v.U32(4) != 0};
    case kViewNavigate: return ViewNavigateCmd{v.U32(0), OptionalUtf16(v, 8, v.U32(4))};
    case kViewPostMessage: return ViewPostMessageCmd{v.U32(0), OptionalUtf8(v, 8, v.U32(4))};
    case kViewSetFocus: return ViewSetFocusCmd{v.U32(0)};
    case kFocusClear: return FocusClearCmd{};
    case kViewSetFrameRate: return ViewSetFrameRateCmd{v.U32(0), v.U32(4)};
    case kViewSetBackground: return ViewSetBackgroundCmd{v.U32(0), v.U32(4)};
    case kViewFullFrameMode: return ViewFullFrameModeCmd{v.U32(0), v.U32(4) != 0};
    case kTelemetryContext: {
      const uint32_t n = v.U32(0);
      if (n == 0 || !v.Has(4, n)) return std::nullopt;  // zero or too long: dropped
      return TelemetryContextCmd{v.Utf8(4, n)};
    }
    case kTelemetryUpload: {
      const uint32_t n = v.U32(0);
      if (n == 0 || !v.Has(4, n)) return std::nullopt;
      return TelemetryUploadCmd{std::vector<uint8_t>(payload + 4, payload + 4 + n)};
    }
    case kNativeButtonCreate: {
      NativeButtonCreateCmd c{v.U32(0), v.I32(12), v.I32(16), v.U32(20) != 0, {}, {}, {}};
      std::u16string* paths[3] = {&c.normal, &c.hover, &c.pressed};
      size_t offset = 36;
      for (int i = 0; i < 3; ++i) {
        const uint32_t n = v.U32(24 + 4 * static_cast<size_t>(i));
        if (n == 0) continue;                      // empty path, nothing consumed
        if (!v.Has(offset, n)) return std::nullopt;  // a path that does not fit drops the command
        *paths[i] = v.Utf16(offset, n);
        offset += n;
      }
      return c;
    }
    case kModuleMessage: return ModuleMessageCmd{v.U32(0), OptionalUtf8(v, 8, v.U32(4))};
    case kSurfaceInfo: return SurfaceInfoCmd{v.U32(0), v.U32(4)};
    case kViewLiveMode: return ViewLiveModeCmd{v.U32(0), v.U32(4) != 0};
    case kSetPresentationMode: return SetPresentationModeCmd{v.U32(0), v.U32(4), v.U64(8), v.U32(16)};
    case kViewSetZOrder: return ViewSetZOrderCmd{v.U32(0), v.I32(4)};
    case kNativeButtonEvent: return NativeButtonEventCmd{v.U32(0), v.U32(4)};
    case kPopupPlace: return PopupPlaceCmd{v.U32(0), v.I32(4), v.I32(8)};
    default: return std::nullopt;
  }
}

namespace {

struct Encoder {
  ByteWriter w;
  void operator()(const ViewCreateCmd& c) {
    w.U32(c.view_id), w.I32(c.x), w.I32(c.y), w.I32(c.width), w.I32(c.height), w.U32(c.visible ? 1 : 0);
    w.U32(static_cast<uint32_t>(c.url.size() * 2)), w.Utf16(c.url);
  }
  void operator()(const ViewDestroyCmd& c) { w.U32(c.view_id); }
  void operator()(const ViewSetRectCmd& c) {
    w.U32(c.view_id), w.I32(c.x), w.I32(c.y), w.I32(c.width), w.I32(c.height);
  }
  void operator()(const ViewSetVisibleCmd& c) { w.U32(c.view_id), w.U32(c.visible ? 1 : 0); }
  void operator()(const ViewNavigateCmd& c) {
    w.U32(c.view_id), w.U32(static_cast<uint32_t>(c.url.size() * 2)), w.Utf16(c.url);
  }
  void operator()(const ViewPostMessageCmd& c) {
    w.U32(c.view_id), w.U32(static_cast<uint32_t>(c.text.size())), w.Utf8(c.text);
  }
  void operator()(const ViewSetFocusCmd& c) { w.U32(c.view_id); }
  void operator()(const FocusClearCmd&) {}
  void operator()(const ViewSetFrameRateCmd& c) { w.U32(c.view_id), w.U32(c.fps); }
  void operator()(const ViewSetBackgroundCmd& c) { w.U32(c.view_id), w.U32(c.argb); }
  void operator()(const ViewFullFrameModeCmd& c) { w.U32(c.view_id), w.U32(c.on ? 1 : 0); }
  void operator()(const TelemetryContextCmd& c) { w.U32(static_cast<uint32_t>(c.text.size())), w.Utf8(c.text); }
  void operator()(const TelemetryUploadCmd& c) {
    w.U32(static_cast<uint32_t>(c.bytes.size())), w.Bytes(c.bytes.data(), c.bytes.size());
  }
  void operator()(const NativeButtonCreateCmd& c) {
    w.U32(c.view_id), w.U32(0), w.U32(0), w.I32(c.width), w.I32(c.height), w.U32(c.visible ? 1 : 0);
    for (const auto* p : {&c.normal, &c.hover, &c.pressed}) w.U32(static_cast<uint32_t>(p->size() * 2));
    for (const auto* p : {&c.normal, &c.hover, &c.pressed}) w.Utf16(*p);
  }
  void operator()(const ModuleMessageCmd& c) {
    w.U32(c.module_id), w.U32(static_cast<uint32_t>(c.text.size())), w.Utf8(c.text);
  }
  void operator()(const SurfaceInfoCmd& c) { w.U32(c.width), w.U32(c.height); }
  void operator()(const ViewLiveModeCmd& c) { w.U32(c.view_id), w.U32(c.on ? 1 : 0); }
  void operator()(const SetPresentationModeCmd& c) {
    w.U32(c.mode), w.U32(c.graphics_api), w.U64(c.game_hwnd), w.U32(c.game_pid), w.U32(0);
  }
  void operator()(const ViewSetZOrderCmd& c) { w.U32(c.view_id), w.I32(c.z); }
  void operator()(const NativeButtonEventCmd& c) { w.U32(c.view_id), w.U32(c.event); }
  void operator()(const PopupPlaceCmd& c) { w.U32(c.view_id), w.I32(c.x), w.I32(c.y); }
};

constexpr uint32_t kTypeByIndex[] = {
    kViewCreate,       kViewDestroy,        kViewSetRect,        kViewSetVisible,  kViewNavigate,   kViewPostMessage,
    kViewSetFocus,     kFocusClear,         kViewSetFrameRate,   kViewSetBackground, kViewFullFrameMode,
    kTelemetryContext, kTelemetryUpload,    kNativeButtonCreate, kModuleMessage,   kSurfaceInfo,    kViewLiveMode,
    kSetPresentationMode, kViewSetZOrder,   kNativeButtonEvent,  kPopupPlace};
static_assert(std::size(kTypeByIndex) == std::variant_size_v<Command>);

}  // namespace

std::vector<uint8_t> EncodeCommand(const Command& command) {
  Encoder e;
  std::visit(e, command);
  return e.w.Take();
}

uint32_t CommandTypeOf(const Command& command) { return kTypeByIndex[command.index()]; }

const char* CommandName(uint32_t type) {
  switch (type) {
    case kViewCreate: return "ViewCreate";
    case kViewDestroy: return "ViewDestroy";
    case kViewSetRect: return "ViewSetRect";
    case kViewSetVisible: return "ViewSetVisible";
    case kViewNavigate: return "ViewNavigate";
    case kViewPostMessage: return "ViewPostMessage";
    case kViewSetFocus: return "ViewSetFocus";
    case kFocusClear: return "FocusClear";
    case kViewSetFrameRate: return "ViewSetFrameRate";
    case kViewSetBackground: return "ViewSetBackground";
    case kViewFullFrameMode: return "ViewFullFrameMode";
    case kTelemetryContext: return "TelemetryContext";
    case kTelemetryUpload: return "TelemetryUpload";
    case kNativeButtonCreate: return "NativeButtonCreate";
    case kModuleMessage: return "ModuleMessage";
    case kSurfaceInfo: return "SurfaceInfo";
    case kViewLiveMode: return "ViewLiveMode";
    case kSetPresentationMode: return "SetPresentationMode";
    case kViewSetZOrder: return "ViewSetZOrder";
    case kNativeButtonEvent: return "NativeButtonEvent";
    case kPopupPlace: return "PopupPlace";
    default: return "unknown";
  }
}

}  // namespace vyo::host
