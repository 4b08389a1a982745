// NativeButtons: views without a browser, made of three images (normal, hover, pressed). In
// overlay presentation the three images are stacked in one shared texture, the atlas (w x 3h:
// image 0 in rows 0..h-1, image 1 below it, image 2 at the bottom), announced with
// SharedTextureReady and then ButtonAtlasReady; the overlay draws the slice of the state it wants.
// A button is a view record of kind native: never captured, never given a hit mask.
//
// Main thread. The record is made by the view service (through the delegate); its texture is the
// capture service's, filled through it. The image files of the NativeButtonCreate command are decoded on a thread of the
// buttons' own (a large or slow file must not hold up the main loop); the decoded images are posted
// back to the main thread, which makes the button, unless its request was superseded or its view
// destroyed or re-created meanwhile.
#pragma once
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// Decodes one image file into width x height premultiplied BGRA (DecodeImageFileToBgra). Runs on the
// decode thread.
using ImageFileDecoder =
    std::function<bool(const std::u16string& path, int32_t width, int32_t height, std::vector<uint8_t>* out)>;

// What native buttons ask of the host (main thread): their views are made through the view service,
// the one door of every view's life.
class INativeButtonsDelegate {
 public:
  virtual ~INativeButtonsDelegate() = default;
  // Destroys whatever had the id (its observers and modules told), then makes the native view's
  // record and tells the observers (capture makes the texture). False when it cannot be made.
  virtual bool CreateNativeView(const host::NativeViewRequest& request) = 0;
};

class NativeButtons final : public host::IViewObserver {
 public:
  NativeButtons(platform::Clock& clock, const host::HostSettings& settings, host::ViewRegistry& views,
                host::OverlayChannel& overlay, host::MainThread& main_thread, CaptureService& capture,
                INativeButtonsDelegate& delegate);
  // Stops the decode thread: a decode under way finishes first, queued ones are dropped, and results
  // already posted find the buttons gone and do nothing.
  ~NativeButtons() override;
  NativeButtons(const NativeButtons&) = delete;
  NativeButtons& operator=(const NativeButtons&) = delete;

  // The decoder of the decode thread (tests give a slow one). Main thread, before the first button.
  void SetImageDecoder(ImageFileDecoder decoder) { decoder_ = std::move(decoder); }

  void RegisterCommands(host::CommandDispatcher& dispatcher);

  // The NativeButtonCreate command: the images decoded at width x height on the decode thread
  // (image 0 standing in for a missing or undecodable hover or pressed image); then, on the main
  // thread, the button made and telemetry reported. Returns before the images are decoded. A later
  // request for the same id supersedes this one; a view of that id destroyed or re-created before
  // the images arrive makes them stale, and they are dropped with a log line.
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
  uint32_t ButtonState(uint32_t view_id) const;

  // IViewObserver: a destroyed button's state goes.
  void OnViewDestroyed(uint32_t view_id) override;

  // Decodes the three images on the calling thread; false (with a log line) when image 0 cannot be
  // decoded.
  bool DecodeButtonImages(uint32_t view_id, const std::array<std::u16string, 3>& paths, int32_t width, int32_t height,
                          ButtonImages* images);

 private:
  // One NativeButtonCreate on its way through the decode thread.
  struct DecodeJob {
    uint32_t view_id = 0;
    uint64_t generation = 0;
    int32_t width = 0, height = 0;
    bool visible = false;
    std::array<std::u16string, 3> paths;
    uint32_t start_ms = 0;
    // Filled on the decode thread.
    ButtonImages images;
    std::array<bool, 3> decoded{};
  };
  // What the registry held for the id when the button was asked for; a different answer when the
  // images arrive means the view was destroyed or re-created meanwhile.
  struct PendingButton {
    uint64_t generation = 0;
    bool existed = false;
    std::weak_ptr<platform::SharedTexture> texture;
  };
  // Decode-thread state, shared with the thread.
  struct DecodeQueue {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::unique_ptr<DecodeJob>> jobs;
    bool stopping = false;
  };

  void RunDecodeThread();
  void FinishNativeButton(DecodeJob& result);
  PendingButton RegistryView(uint32_t view_id);
  bool FillButtonAtlas(uint32_t view_id, int32_t width, int32_t image_height, const ButtonImages& images);
  void LogView(const char* text, uint32_t view_id, const SourceLocation& where = SourceLocation::Current());

  platform::Clock& clock_;
  const host::HostSettings& settings_;
  host::ViewRegistry& views_;
  host::OverlayChannel& overlay_;
  host::MainThread& main_thread_;
  CaptureService& capture_;
  INativeButtonsDelegate& delegate_;
  ImageFileDecoder decoder_;

  // Main thread only.
  std::map<uint32_t, PendingButton> pending_;
  std::map<uint32_t, uint32_t> button_states_;  // the image each button shows (0 normal, 1 hover, 2 pressed)
  uint64_t next_generation_ = 0;
  // Results posted to the main thread hold a weak reference: gone with the buttons, they do nothing.
  std::shared_ptr<char> alive_ = std::make_shared<char>(0);

  DecodeQueue queue_;
  std::thread decode_thread_;  // started with the first request
};

}  // namespace vyo::capture
