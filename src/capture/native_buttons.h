// NativeButtons: views without a browser, made of three images (normal, hover, pressed). In
// overlay presentation the three images are stacked in one shared texture, the atlas (w x 3h:
// image 0 in rows 0..h-1, image 1 below it, image 2 at the bottom), announced with
// SharedTextureReady and then ButtonAtlasReady; the overlay draws the slice of the state it wants.
// A button is a view record of kind native: never captured, never given a hit mask.
//
// Main thread. The record and its texture are touched under views_lock; the pipe is called with it
// released.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/capture_service.h"
#include "command_dispatch/command_dispatcher.h"
#include "main_thread/main_thread.h"
#include "overlay_channel/overlay_channel.h"
#include "platform/clock.h"
#include "views/host_context.h"
#include "views/view_registry.h"

namespace vyo::capture {

using ButtonImages = std::array<std::vector<uint8_t>, 3>;  // premultiplied BGRA, packed rows

class NativeButtons {
 public:
  NativeButtons(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                host::OverlayChannel& overlay, host::MainThread& main_thread);
  NativeButtons(const NativeButtons&) = delete;
  NativeButtons& operator=(const NativeButtons&) = delete;

  // Who ends a view completely (its observers told) when a button takes its id: the view service.
  void SetViewDestroyer(std::function<void(uint32_t view_id)> destroy) { destroy_view_ = std::move(destroy); }
  void RegisterCommands(host::CommandDispatcher& dispatcher);

  // The NativeButtonCreate command: the images decoded at width x height (image 0 standing in for a
  // missing or undecodable hover or pressed image), the button made, telemetry reported.
  void CreateNativeButton(uint32_t view_id, int32_t width, int32_t height, bool visible,
                          const std::array<std::u16string, 3>& paths);
  // A button view of width x height per image from three buffers of at least width x height x 4
  // bytes. False when the buffers are too small, the atlas would be too large, or the texture or
  // atlas cannot be made.
  bool CreateButtonView(uint32_t view_id, int32_t x, int32_t y, int32_t width, int32_t height, bool visible, int32_t z,
                        const ButtonImages& images);
  // New images for an existing button (the atlas filled again, ButtonAtlasReady sent again).
  bool UpdateButtonImages(uint32_t view_id, const ButtonImages& images);
  // The state a button shows (0 normal, 1 hover, 2 pressed; others count as 0). In overlay
  // presentation only stored: the overlay picks the slice.
  void SetButtonState(uint32_t view_id, uint32_t state);

  // Decodes the three images; false (with a log line) when image 0 cannot be decoded.
  bool DecodeButtonImages(uint32_t view_id, const std::array<std::u16string, 3>& paths, int32_t width, int32_t height,
                          ButtonImages* images);

 private:
  bool FillButtonAtlas(uint32_t view_id, int32_t width, int32_t image_height, const ButtonImages& images);
  void LogView(const char* text, uint32_t view_id, const SourceLocation& where = SourceLocation::Current());

  platform::Clock& clock_;
  const host::HostSettings& settings_;
  host::ViewRegistry& views_;
  host::OverlayChannel& overlay_;
  host::MainThread& main_thread_;
  std::function<void(uint32_t)> destroy_view_;
};

}  // namespace vyo::capture
