// The capture port: where a view's pixels come from. A capture session of a view delivers frames
// (encoded images) and keeps at most a few of them in flight; a frame returns to the session's
// pool when it is released (the session then produces more). Two sources:
//   kVisual  the view's own frame stream (the DevTools backend: the browser's screencast);
//   kWindow  the fallback: the view polled as a whole (the DevTools backend: screenshots).
// Views are named by their ids. Implementations: the DevTools backend (renderers/cdp/cdp_capture.h) and the fake of the
// unit tests (tests/fakes/fake_capture.h).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace vyo::capture {

enum class CaptureSource { kVisual, kWindow };

// How a frame's colour relates to its alpha.
enum class FrameAlpha {
  kPremultiplied,  // colour already multiplied by alpha (screencast frames)
  kStraight,       // straight alpha (screenshots): premultiplied on decoding
};

// One frame as the source delivered it. Move-only; releasing it (or destroying it) returns it to
// its session's pool exactly once. Release may be called on any thread.
class EncodedFrame {
 public:
  EncodedFrame() = default;
  EncodedFrame(std::vector<uint8_t> png, FrameAlpha alpha, int32_t content_width, int32_t content_height,
               std::function<void()> release)
      : png_(std::move(png)), alpha_(alpha), content_width_(content_width), content_height_(content_height),
        release_(std::move(release)) {}
  ~EncodedFrame() { Release(); }
  EncodedFrame(EncodedFrame&& other) noexcept { *this = std::move(other); }
  EncodedFrame& operator=(EncodedFrame&& other) noexcept {
    if (this != &other) {
      Release();
      png_ = std::move(other.png_);
      alpha_ = other.alpha_;
      content_width_ = other.content_width_;
      content_height_ = other.content_height_;
      release_ = std::exchange(other.release_, nullptr);
    }
    return *this;
  }
  EncodedFrame(const EncodedFrame&) = delete;
  EncodedFrame& operator=(const EncodedFrame&) = delete;

  const std::vector<uint8_t>& png() const { return png_; }
  std::vector<uint8_t>& png() { return png_; }
  FrameAlpha alpha() const { return alpha_; }
  // The size the source says the frame shows (0 when it does not say).
  int32_t content_width() const { return content_width_; }
  int32_t content_height() const { return content_height_; }
  void Release() {
    if (auto release = std::exchange(release_, nullptr)) release();
  }

 private:
  std::vector<uint8_t> png_;
  FrameAlpha alpha_ = FrameAlpha::kPremultiplied;
  int32_t content_width_ = 0, content_height_ = 0;
  std::function<void()> release_;
};

// Called for every frame, on whatever thread the source delivers on.
using FrameCallback = std::function<void(EncodedFrame frame)>;
// Called once, on the main thread, when the session's source ended by itself (its view's page
// target went away, the browser exited).
using EndCallback = std::function<void()>;

// A running capture session. Destroying it stops the capture; frames still held stay valid and
// may still be released.
class ICaptureSession {
 public:
  virtual ~ICaptureSession() = default;
  virtual CaptureSource source() const = 0;
  // Nudges the source to produce a frame (after a resize, until one of the new size arrives).
  virtual void Kick() = 0;
};

class ICapturePort {
 public:
  virtual ~ICapturePort() = default;
  // Whether the view's content supports capture at all.
  virtual bool IsSupported(uint32_t view_id) = 0;
  // Starts capturing the view's content at width x height. `interval_ms` paces a polling source.
  // Null on failure (and for a view without content). Main thread.
  virtual std::unique_ptr<ICaptureSession> Start(uint32_t view_id, CaptureSource source, int32_t width,
                                                 int32_t height, uint32_t interval_ms, FrameCallback on_frame,
                                                 EndCallback on_end) = 0;
};

}  // namespace vyo::capture
