// Overlay-to-host commands: type codes, decoded forms and the decoder. Decoding applies the size and
// text rules of each command; a payload shorter than its type's minimum, an unknown type, or a
// command whose text lengths cannot be honoured (where the rule is to drop it) decodes to nothing.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vyo::host {

enum CommandType : uint32_t {
  kViewCreate = 1,
  kViewDestroy = 2,
  kViewSetRect = 3,
  kViewSetVisible = 4,
  kViewNavigate = 5,
  kViewPostMessage = 6,
  kViewSetFocus = 7,
  kFocusClear = 8,
  kViewSetFrameRate = 9,
  kViewSetBackground = 10,
  kViewFullFrameMode = 12,
  kTelemetryContext = 13,
  kTelemetryUpload = 14,
  kNativeButtonCreate = 15,
  kModuleMessage = 18,
  kSurfaceInfo = 19,
  kViewLiveMode = 20,
  kSetPresentationMode = 21,
  kViewSetZOrder = 22,
  kNativeButtonEvent = 115,
  kPopupPlace = 117,
};

struct ViewCreateCmd {
  uint32_t view_id;
  int32_t x, y, width, height;
  bool visible;
  std::u16string url;
};
struct ViewDestroyCmd {
  uint32_t view_id;
};
struct ViewSetRectCmd {
  uint32_t view_id;
  int32_t x, y, width, height;
};
struct ViewSetVisibleCmd {
  uint32_t view_id;
  bool visible;
};
struct ViewNavigateCmd {
  uint32_t view_id;
  std::u16string url;
};
struct ViewPostMessageCmd {
  uint32_t view_id;
  std::string text;
};
struct ViewSetFocusCmd {
  uint32_t view_id;
};
struct FocusClearCmd {};
struct ViewSetFrameRateCmd {
  uint32_t view_id;
  uint32_t fps;
};
struct ViewSetBackgroundCmd {
  uint32_t view_id;
  uint32_t argb;
};
struct ViewFullFrameModeCmd {
  uint32_t view_id;
  bool on;
};
struct TelemetryContextCmd {
  std::string text;
};
struct TelemetryUploadCmd {
  std::vector<uint8_t> bytes;
};
struct NativeButtonCreateCmd {
  uint32_t view_id;
  int32_t width, height;
  bool visible;
  std::u16string normal, hover, pressed;
};
struct ModuleMessageCmd {
  uint32_t module_id;
  std::string text;
};
struct SurfaceInfoCmd {
  uint32_t width, height;
};
struct ViewLiveModeCmd {
  uint32_t view_id;
  bool on;
};
struct SetPresentationModeCmd {
  uint32_t mode, graphics_api;
  uint64_t game_hwnd;
  uint32_t game_pid;
};
struct ViewSetZOrderCmd {
  uint32_t view_id;
  int32_t z;
};
struct NativeButtonEventCmd {
  uint32_t view_id, event;
};
struct PopupPlaceCmd {
  uint32_t view_id;
  int32_t x, y;
};

using Command = std::variant<ViewCreateCmd, ViewDestroyCmd, ViewSetRectCmd, ViewSetVisibleCmd, ViewNavigateCmd,
                             ViewPostMessageCmd, ViewSetFocusCmd, FocusClearCmd, ViewSetFrameRateCmd,
                             ViewSetBackgroundCmd, ViewFullFrameModeCmd, TelemetryContextCmd, TelemetryUploadCmd,
                             NativeButtonCreateCmd, ModuleMessageCmd, SurfaceInfoCmd, ViewLiveModeCmd,
                             SetPresentationModeCmd, ViewSetZOrderCmd, NativeButtonEventCmd, PopupPlaceCmd>;

// Minimum payload size of a command type; nullopt for types the host does not know.
std::optional<uint32_t> CommandMinSize(uint32_t type);

std::optional<Command> DecodeCommand(uint32_t type, const uint8_t* payload, size_t size);

// Encoders for the overlay's side (the reference overlay and the tests).
std::vector<uint8_t> EncodeCommand(const Command& command);
uint32_t CommandTypeOf(const Command& command);
const char* CommandName(uint32_t type);

}  // namespace vyo::host
