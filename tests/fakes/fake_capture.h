// A scripted capture port: records every session started and lets a test deliver frames through
// it. Frames are "images" of the fake decoder (FakeImage): an 8-byte size then raw RGBA.
#pragma once
#include <cstring>
#include <memory>
#include <vector>

#include "capture/capture_port.h"
#include "platform/image_decoder.h"

namespace vyo::testing {

// Encodes a w x h image of one RGBA colour for the fake decoder.
inline std::vector<uint8_t> FakeImage(int32_t w, int32_t h, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  std::vector<uint8_t> out(8 + size_t(w) * h * 4);
  std::memcpy(out.data(), &w, 4);
  std::memcpy(out.data() + 4, &h, 4);
  for (size_t i = 8; i < out.size(); i += 4) {
    out[i] = r, out[i + 1] = g, out[i + 2] = b, out[i + 3] = a;
  }
  return out;
}

inline bool FakeDecode(const uint8_t* data, size_t size, platform::DecodedImage* out) {
  if (size < 8) return false;
  int32_t w, h;
  std::memcpy(&w, data, 4);
  std::memcpy(&h, data + 4, 4);
  if (w < 1 || h < 1 || size != 8 + size_t(w) * h * 4) return false;
  out->width = uint32_t(w);
  out->height = uint32_t(h);
  out->order = platform::ChannelOrder::kRgba;
  out->pixels.assign(data + 8, data + size);
  return true;
}

class FakeCaptureSession final : public capture::ICaptureSession {
 public:
  FakeCaptureSession(capture::CaptureSource source, int32_t w, int32_t h, capture::FrameCallback on_frame,
                     capture::EndCallback on_end)
      : width(w), height(h), source_(source), on_frame_(std::move(on_frame)), on_end_(std::move(on_end)) {}
  ~FakeCaptureSession() override { *alive_ = false; }

  capture::CaptureSource source() const override { return source_; }
  void Kick() override { ++kicks; }

  // Delivers a frame; how many of the session's frames are still out of the pool is counted.
  void Deliver(std::vector<uint8_t> image) {
    ++*outstanding_;
    auto outstanding = outstanding_;
    on_frame_(capture::EncodedFrame(std::move(image),
                                    source_ == capture::CaptureSource::kVisual ? capture::FrameAlpha::kPremultiplied
                                                                               : capture::FrameAlpha::kStraight,
                                    0, 0, [outstanding] { --*outstanding; }));
  }
  void End() { on_end_(); }
  int outstanding() const { return *outstanding_; }
  std::shared_ptr<bool> alive() const { return alive_; }

  int32_t width, height;
  int kicks = 0;

 private:
  capture::CaptureSource source_;
  capture::FrameCallback on_frame_;
  capture::EndCallback on_end_;
  std::shared_ptr<int> outstanding_ = std::make_shared<int>(0);
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class FakeCapturePort final : public capture::ICapturePort {
 public:
  struct Started {
    FakeCaptureSession* session;
    std::shared_ptr<bool> alive;
    capture::CaptureSource source;
    int32_t width, height;
  };
  bool IsSupported(uint32_t) override { return supported; }
  std::unique_ptr<capture::ICaptureSession> Start(uint32_t, capture::CaptureSource source, int32_t w, int32_t h,
                                                  uint32_t, capture::FrameCallback on_frame,
                                                  capture::EndCallback on_end) override {
    if (fail) return nullptr;
    auto s = std::make_unique<FakeCaptureSession>(source, w, h, std::move(on_frame), std::move(on_end));
    started.push_back({s.get(), s->alive(), source, w, h});
    return s;
  }
  // The newest session, when it is still running.
  FakeCaptureSession* Current() const {
    return !started.empty() && *started.back().alive ? started.back().session : nullptr;
  }

  std::vector<Started> started;
  bool supported = true;
  bool fail = false;
};

}  // namespace vyo::testing
