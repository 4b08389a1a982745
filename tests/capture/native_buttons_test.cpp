// Native buttons over the fake GPU: the atlas and its announcement, sizes, updates, states, a busy
// keyed mutex, an id taken from a web view; image files decoded and stretched.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "capture/capture_fixture.h"
#include "capture/image_files.h"
#include "capture/native_buttons.h"
#include "platform/image_decoder.h"
#include "platform/process.h"
#include "protocol/protocol.h"
#include "protocol/texture_layout.h"
#include "surface_reader.h"

#if !defined(_WIN32)
#include <gif_lib.h>
#include <jpeglib.h>
#include <zlib.h>
#endif

namespace vyo::capture {
namespace {

namespace fs = std::filesystem;

// One premultiplied BGRA colour for every pixel of a w x h image.
std::vector<uint8_t> Solid(int32_t w, int32_t h, uint8_t b, uint8_t g, uint8_t r, uint8_t a) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < out.size(); i += 4) out[i] = b, out[i + 1] = g, out[i + 2] = r, out[i + 3] = a;
  return out;
}

// The buttons' main thread: the test's thread, with a task queue that the decode thread may post to
// while the test runs the tasks.
class LockedMainWait final : public platform::MainThreadWait {
 public:
  bool CreateFrameTimer() override { return true; }
  bool HasFrameTimer() const override { return true; }
  bool TimerPeriodRaised() const override { return false; }
  void CloseFrameTimer() override {}
  void WatchInputEvent(platform::NamedEvent*) override {}
  void WatchPipe(platform::PipeServer*) override {}
  bool WaitOnTimer(int64_t, platform::WaitResult* result) override {
    *result = platform::WaitResult::kElapsed;
    return true;
  }
  platform::WaitResult WaitTimeout(uint32_t) override { return platform::WaitResult::kElapsed; }
  bool ConsumeInputSignal() override { return false; }
  void Post(std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  int PumpMessages(int, uint32_t) override {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
    return static_cast<int>(tasks.size());
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

using Access = host::ViewRegistryTestAccess;

// The view service's part in a button's life: whatever had the id goes first (recorded), then the
// native record is made and the registry's observers told.
struct ViewServiceStandIn final : INativeButtonsDelegate {
  explicit ViewServiceStandIn(host::ViewRegistry& v) : views(v) {}
  host::ViewRegistry& views;
  std::vector<uint32_t> destroyed;
  bool CreateNativeView(const host::NativeViewRequest& request) override {
    if (views.Facts(request.view_id)) {
      destroyed.push_back(request.view_id);
      Access::Destroy(views, request.view_id);
    }
    {
      std::lock_guard<host::ViewsLock> guard(views.lock());
      host::MakeNativeRecord(Access::GetOrCreateLocked(views, request.view_id), request);
    }
    Access::NotifyCreated(views, request.view_id);
    return true;
  }
};

struct NativeButtonsTest : CaptureFixture {
  NativeButtonsTest() : CaptureFixture("buttontest") {}
  ViewServiceStandIn view_service{views};
  std::vector<uint32_t>& destroyed = view_service.destroyed;
  host::MainThread button_thread;
  LockedMainWait* button_wait = nullptr;
  std::unique_ptr<NativeButtons> buttons;

  void SetUp() override {
    CaptureFixture::SetUp();
    auto w = std::make_unique<LockedMainWait>();
    button_wait = w.get();
    button_thread.Attach(std::move(w));
    views.AddObserver(service.get());
    buttons = std::make_unique<NativeButtons>(clock, settings, views, overlay, button_thread, *service, view_service);
    views.AddObserver(buttons.get());
  }
  void TearDown() override {
    Access::RemoveAllViews(views);  // while the buttons still observe the registry
    buttons.reset();         // the decode thread ends
    button_thread.Detach();
    CaptureFixture::TearDown();
  }
  // Runs the buttons' posted tasks until `done` holds, for at most 10 s.
  template <typename F>
  bool RunTasksUntil(F&& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      button_wait->PumpMessages(64, 4);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  bool ButtonMade(uint32_t view_id) {
    return RunTasksUntil([&] {
      const auto view = views.Snapshot(view_id);
      return view && view->kind == host::ViewKind::kNative;
    });
  }
  std::vector<host::ButtonAtlasRects> Atlases() {
    std::vector<host::ButtonAtlasRects> out;
    for (auto& [type, payload] : Sent())
      if (type == host::kButtonAtlasReady) out.push_back(*host::DecodeButtonAtlasReady(payload));
    return out;
  }
  std::vector<uint8_t> Pixel(int32_t x, int32_t y) {
    const uint8_t* p = Tex().pixels.data() + (static_cast<size_t>(y) * Tex().width + x) * 4;
    return {p[0], p[1], p[2], p[3]};
  }
};

TEST_F(NativeButtonsTest, TheAtlasStacksTheThreeImagesAndIsAnnouncedAfterTheTexture) {
  const ButtonImages images{Solid(100, 30, 0, 0, 255, 255), Solid(100, 30, 0, 128, 0, 128), Solid(100, 30, 9, 9, 9, 255)};
  ASSERT_TRUE(buttons->CreateButtonView(5, 10, 20, 100, 30, true, 3, images));
  EXPECT_EQ(Tex().width, 100u);
  EXPECT_EQ(Tex().height, 90u);
  EXPECT_EQ(Pixel(50, 0), (std::vector<uint8_t>{0, 0, 255, 255}));
  EXPECT_EQ(Pixel(99, 29), (std::vector<uint8_t>{0, 0, 255, 255}));
  EXPECT_EQ(Pixel(0, 30), (std::vector<uint8_t>{0, 128, 0, 128}));
  EXPECT_EQ(Pixel(0, 89), (std::vector<uint8_t>{9, 9, 9, 255}));
  EXPECT_EQ(Tex().key_word, host::kOverlayKey);
  // SharedTextureReady first, then ButtonAtlasReady with the three slices.
  std::vector<uint32_t> order;
  for (auto& [type, payload] : Sent())
    if (type == host::kSharedTextureReady || type == host::kButtonAtlasReady) order.push_back(type);
  EXPECT_EQ(order, (std::vector<uint32_t>{host::kSharedTextureReady, host::kButtonAtlasReady}));
  const host::ButtonAtlasRects atlas = Atlases().at(0);
  EXPECT_EQ(atlas.view_id, 5u);
  EXPECT_EQ(atlas.count, 3u);
  const uint32_t want[3][4] = {{0, 0, 100, 30}, {0, 30, 100, 30}, {0, 60, 100, 30}};
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::equal(atlas.rects[i], atlas.rects[i] + 4, want[i])) << i;
  EXPECT_TRUE(Logged("button atlas ready, view_id=5"));
  const auto record = views.Snapshot(5).value();
  EXPECT_EQ(record.kind, host::ViewKind::kNative);
  EXPECT_EQ(record.height, 90);
  EXPECT_EQ(record.z_order, 3);
  EXPECT_FALSE(Cap(5).hit_mask_ready);  // never a hit mask

  // States: stored, anything above 2 is the normal image.
  buttons->SetButtonState(5, 2);
  EXPECT_EQ(buttons->ButtonState(5), 2u);
  buttons->SetButtonState(5, 7);
  EXPECT_EQ(buttons->ButtonState(5), 0u);

  // New images: the atlas again and a second announcement; the overlay must have read the first.
  ASSERT_TRUE(Tex().OverlayAcquire());
  Tex().OverlayRelease();
  ASSERT_TRUE(buttons->UpdateButtonImages(5, {Solid(100, 30, 1, 1, 1, 1), images[1], images[2]}));
  EXPECT_EQ(Pixel(0, 0), (std::vector<uint8_t>{1, 1, 1, 1}));
  EXPECT_EQ(Atlases().size(), 2u);
  // While the overlay holds the texture, an update fails and says so.
  ASSERT_TRUE(Tex().OverlayAcquire());
  EXPECT_FALSE(buttons->UpdateButtonImages(5, images));
  EXPECT_TRUE(Logged("button atlas AcquireSync failed, view_id=5"));
  EXPECT_EQ(Pixel(0, 0), (std::vector<uint8_t>{1, 1, 1, 1}));
  // Buffers too small fail without a change.
  Tex().OverlayRelease();
  EXPECT_FALSE(buttons->UpdateButtonImages(5, {Solid(10, 3, 0, 0, 0, 0), images[1], images[2]}));
}

TEST_F(NativeButtonsTest, SizesUpdatesOfOtherViewsAndAnIdTakenFromAWebView) {
  // 0 x 0 becomes 1 x 1: a 1 x 3 atlas.
  const std::vector<uint8_t> one = Solid(1, 1, 1, 2, 3, 255);
  ASSERT_TRUE(buttons->CreateButtonView(1, 0, 0, 0, 0, true, 0, {one, one, one}));
  EXPECT_EQ(Tex().width, 1u);
  EXPECT_EQ(Tex().height, 3u);
  // An atlas taller than a texture side is refused.
  EXPECT_FALSE(buttons->CreateButtonView(2, 0, 0, 4, 6000, true, 0, {one, one, one}));
  EXPECT_FALSE(views.Snapshot(2).has_value());

  // A web view's id: the web view goes completely first; updates of web views or unknown ids fail.
  {
    std::lock_guard<host::ViewsLock> guard(views.lock());
    host::ViewState& web = Access::GetOrCreateLocked(views, 3);
    web.width = 4, web.height = 4;
  }
  EXPECT_FALSE(buttons->UpdateButtonImages(3, {one, one, one}));
  EXPECT_FALSE(buttons->UpdateButtonImages(99, {one, one, one}));
  EXPECT_TRUE(destroyed.empty());
  ASSERT_TRUE(buttons->CreateButtonView(3, 0, 0, 1, 1, true, 0, {one, one, one}));
  EXPECT_EQ(destroyed, std::vector<uint32_t>{3});
  EXPECT_EQ(views.Snapshot(3)->kind, host::ViewKind::kNative);

  // Windowed presentation has no button surfaces here: refused, not pretended.
  settings.windowed = true;
  EXPECT_FALSE(buttons->CreateButtonView(4, 0, 0, 1, 1, true, 0, {one, one, one}));
  EXPECT_TRUE(Logged("native button refused, windowed presentation has no button surfaces, view_id=4"));
}

// The system's GPU device (Direct3D 11 on Windows, the CPU device elsewhere) with textures made
// unshared: Wine's Direct3D has neither keyed mutexes nor shared handles, so this is how the atlas
// is checked there, through a staging read-back.
class UnsharedDevice final : public platform::GpuDevice {
 public:
  explicit UnsharedDevice(std::unique_ptr<platform::GpuDevice> device) : device_(std::move(device)) {}
  const char* Kind() const override { return device_->Kind(); }
  uint32_t FeatureLevel() const override { return device_->FeatureLevel(); }
  std::unique_ptr<platform::SharedTexture> CreateSharedTexture(uint32_t w, uint32_t h, bool) override {
    auto texture = device_->CreateSharedTexture(w, h, false);
    last = texture.get();
    return texture;
  }
  platform::SharedTexture* last = nullptr;

 private:
  std::unique_ptr<platform::GpuDevice> device_;
};

TEST_F(NativeButtonsTest, TheAtlasOnTheSystemsGpuDeviceReadsBackExactly) {
  auto system = platform::GpuDevice::Create();
  ASSERT_NE(system, nullptr);
  UnsharedDevice device(std::move(system));
  gpu_in_use = &device;
  const ButtonImages images{Solid(6, 2, 0, 0, 255, 255), Solid(6, 2, 10, 20, 30, 40), Solid(6, 2, 1, 2, 3, 4)};
  ASSERT_TRUE(buttons->CreateButtonView(8, 0, 0, 6, 2, true, 0, images)) << device.Kind();
  ASSERT_NE(device.last, nullptr);
  std::vector<uint8_t> back;
  ASSERT_TRUE(device.last->ReadBack(&back));
  ASSERT_EQ(back.size(), 6u * 6u * 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(std::equal(images[i].begin(), images[i].end(), back.begin() + i * images[i].size())) << device.Kind() << " image " << i;
  }
  Access::RemoveAllViews(views);  // the texture goes before the device
}

// ---- Image files

struct ImageFilesTest : ::testing::Test {
  fs::path dir = fs::temp_directory_path() / ("vyo_images_" + std::to_string(platform::CurrentProcessId()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }
  std::u16string Path(const char* name) { return (dir / name).u16string(); }
  void Write(const char* name, const std::vector<uint8_t>& bytes) {
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
};

// A BMP of w x h with 24- or 32-bit pixels (given as RGBA, rows top to bottom).
std::vector<uint8_t> Bmp(int32_t w, int32_t h, int bits, const std::vector<uint8_t>& rgba) {
  const size_t stride = (static_cast<size_t>(w) * bits / 8 + 3) & ~size_t{3};
  std::vector<uint8_t> out(54 + stride * h, 0);
  const auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  out[0] = 'B', out[1] = 'M';
  put(2, static_cast<uint32_t>(out.size()));
  put(10, 54);
  put(14, 40);
  put(18, static_cast<uint32_t>(w));
  put(22, static_cast<uint32_t>(h));  // bottom-up
  out[26] = 1;
  out[28] = static_cast<uint8_t>(bits);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = out.data() + 54 + stride * (h - 1 - y);
    for (int32_t x = 0; x < w; ++x) {
      const uint8_t* p = rgba.data() + (static_cast<size_t>(y) * w + x) * 4;
      uint8_t* q = row + static_cast<size_t>(x) * bits / 8;
      q[0] = p[2], q[1] = p[1], q[2] = p[0];
      if (bits == 32) q[3] = p[3];
    }
  }
  return out;
}

TEST_F(ImageFilesTest, FilesDecodeIntoPremultipliedBgraAndStretchByArea) {
  // PNG with a translucent pixel: premultiplied exactly (c * a / 255, rounded).
  const std::vector<uint8_t> rgba{200, 100, 50, 64, 0, 0, 255, 255};
  ASSERT_TRUE(sim::WritePng((dir / "a.png").string(), 2, 1, rgba));
  std::vector<uint8_t> out;
  ASSERT_TRUE(DecodeImageFileToBgra(Path("a.png"), 2, 1, &out));
  EXPECT_EQ(out, (std::vector<uint8_t>{13, 25, 50, 64, 255, 0, 0, 255}));
#if !defined(_WIN32)
  // The same pixels as 32-bit BMP (the imaging component of Windows reads no alpha from those).
  Write("a32.bmp", Bmp(2, 1, 32, rgba));
  ASSERT_TRUE(DecodeImageFileToBgra(Path("a32.bmp"), 2, 1, &out));
  EXPECT_EQ(out, (std::vector<uint8_t>{13, 25, 50, 64, 255, 0, 0, 255}));
#endif
  // Opaque as 24-bit BMP.
  Write("a24.bmp", Bmp(2, 1, 24, rgba));
  ASSERT_TRUE(DecodeImageFileToBgra(Path("a24.bmp"), 2, 1, &out));
  EXPECT_EQ(out, (std::vector<uint8_t>{50, 100, 200, 255, 255, 0, 0, 255}));

  // 64 x 32: the left 20 columns red, the rest blue, stretched to 100 x 30. Destination column 31
  // covers source columns 19.84 .. 20.48: a quarter red, three quarters blue.
  std::vector<uint8_t> halves(64 * 32 * 4);
  for (size_t i = 0; i < 64 * 32; ++i) {
    const bool red = (i % 64) < 20;
    halves[i * 4] = red ? 255 : 0, halves[i * 4 + 2] = red ? 0 : 255, halves[i * 4 + 3] = 255;
  }
  ASSERT_TRUE(sim::WritePng((dir / "halves.png").string(), 64, 32, halves));
  ASSERT_TRUE(DecodeImageFileToBgra(Path("halves.png"), 100, 30, &out));
  ASSERT_EQ(out.size(), 100u * 30u * 4u);
  const auto at = [&](int x, int y) {
    const uint8_t* p = out.data() + (static_cast<size_t>(y) * 100 + x) * 4;
    return std::vector<uint8_t>{p[0], p[1], p[2], p[3]};
  };
  EXPECT_EQ(at(30, 0), (std::vector<uint8_t>{0, 0, 255, 255}));
  EXPECT_EQ(at(31, 15), (std::vector<uint8_t>{191, 0, 64, 255}));
  EXPECT_EQ(at(32, 29), (std::vector<uint8_t>{255, 0, 0, 255}));

  // Not an image, an empty path, a missing file, a size out of range.
  Write("junk.png", {1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_FALSE(DecodeImageFileToBgra(Path("junk.png"), 2, 1, &out));
  EXPECT_FALSE(DecodeImageFileToBgra(u"", 2, 1, &out));
  EXPECT_FALSE(DecodeImageFileToBgra(Path("missing.png"), 2, 1, &out));
  EXPECT_FALSE(DecodeImageFileToBgra(Path("a.png"), 16385, 1, &out));
}

// A BMP with a 40-byte header, `bits` per pixel, an optional palette (B, G, R, 0 entries) and the
// rows' bytes as stored (bottom row first, each padded to 4 bytes by the caller).
std::vector<uint8_t> RawBmp(int32_t w, int32_t h, int bits, const std::vector<uint8_t>& palette,
                            const std::vector<uint8_t>& rows) {
  std::vector<uint8_t> out(54 + palette.size(), 0);
  const auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  out[0] = 'B', out[1] = 'M';
  put(10, static_cast<uint32_t>(54 + palette.size()));
  put(14, 40);
  put(18, static_cast<uint32_t>(w));
  put(22, static_cast<uint32_t>(h));
  out[26] = 1;
  out[28] = static_cast<uint8_t>(bits);
  put(46, static_cast<uint32_t>(palette.size() / 4));
  std::copy(palette.begin(), palette.end(), out.begin() + 54);
  out.insert(out.end(), rows.begin(), rows.end());
  put(2, static_cast<uint32_t>(out.size()));
  return out;
}

TEST_F(ImageFilesTest, BmpPalettesAndSixteenBitPixels) {
  // Palette: 0 red, 1 blue (entries are B, G, R, 0).
  const std::vector<uint8_t> palette{0, 0, 255, 0, 255, 0, 0, 0};
  const std::vector<uint8_t> red{0, 0, 255, 255}, blue{255, 0, 0, 255};  // BGRA out
  struct Case {
    const char* what;
    int32_t w, h;
    int bits;
    std::vector<uint8_t> palette, rows;
    std::vector<std::vector<uint8_t>> pixels;  // top row first
  } cases[] = {
      // 8 bits: two rows of two (bottom row stored first), each row padded to four bytes.
      {"8-bit", 2, 2, 8, palette, {1, 0, 0, 0, 0, 1, 0, 0}, {red, blue, blue, red}},
      // 1 bit: nine pixels, the ninth in the second byte; the row padded to four bytes.
      {"1-bit", 9, 1, 1, palette, {0b10100000, 0b10000000, 0, 0}, {blue, red, blue, red, red, red, red, red, blue}},
      // 4 bits: high nibble first.
      {"4-bit", 3, 1, 4, palette, {0x10, 0x10, 0, 0}, {blue, red, blue}},
      // 16 bits, 5-5-5: full red, half blue (16 of 31 is 132 of 255), white.
      {"16-bit", 3, 1, 16, {}, {0x00, 0x7C, 0x10, 0x00, 0xFF, 0x7F, 0, 0},
       {{0, 0, 255, 255}, {132, 0, 0, 255}, {255, 255, 255, 255}}},
  };
  for (const Case& c : cases) {
    Write("p.bmp", RawBmp(c.w, c.h, c.bits, c.palette, c.rows));
    std::vector<uint8_t> out;
    ASSERT_TRUE(DecodeImageFileToBgra(Path("p.bmp"), c.w, c.h, &out)) << c.what;
    std::vector<uint8_t> want;
    for (const auto& p : c.pixels) want.insert(want.end(), p.begin(), p.end());
    EXPECT_EQ(out, want) << c.what;
  }
  // Rows that would run past the end of the file are refused.
  Write("short.bmp", RawBmp(9, 2, 1, palette, {0, 0, 0, 0}));
  std::vector<uint8_t> out;
  EXPECT_FALSE(DecodeImageFileToBgra(Path("short.bmp"), 9, 2, &out));
}

#if !defined(_WIN32)
// JPEG and GIF files made here with the same libraries: a JPEG of one colour decodes to it within
// the codec's rounding; a GIF's first frame sits on its logical screen, its transparent index and
// the area around it transparent.
TEST_F(ImageFilesTest, JpegAndGifFirstFrames) {
  {
    std::vector<uint8_t> rgb(16 * 8 * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) rgb[i] = 40, rgb[i + 1] = 160, rgb[i + 2] = 220;
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = 16, info.image_height = 8, info.input_components = 3, info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
      JSAMPROW row = rgb.data() + info.next_scanline * 16 * 3;
      jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    Write("a.jpg", std::vector<uint8_t>(buffer, buffer + size));
    jpeg_destroy_compress(&info);
    free(buffer);
    std::vector<uint8_t> out;
    ASSERT_TRUE(DecodeImageFileToBgra(Path("a.jpg"), 16, 8, &out));
    EXPECT_NEAR(out[0], 220, 3);
    EXPECT_NEAR(out[1], 160, 3);
    EXPECT_NEAR(out[2], 40, 3);
    EXPECT_EQ(out[3], 255);
  }
  {
    // A 4 x 2 screen, a 2 x 1 frame at (1, 1): index 1 green, index 0 transparent.
    int error = 0;
    const std::string path = (dir / "a.gif").string();
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    ASSERT_NE(gif, nullptr);
    GifColorType colours[2] = {{0, 0, 0}, {0, 200, 0}};
    ColorMapObject* map = GifMakeMapObject(2, colours);
    EGifSetGifVersion(gif, true);
    ASSERT_EQ(EGifPutScreenDesc(gif, 4, 2, 1, 0, map), GIF_OK);
    GraphicsControlBlock control{};
    control.TransparentColor = 0;
    GifByteType extension[4];
    const size_t length = EGifGCBToExtension(&control, extension);
    ASSERT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension), GIF_OK);
    ASSERT_EQ(EGifPutImageDesc(gif, 1, 1, 2, 1, false, nullptr), GIF_OK);
    GifPixelType line[2] = {1, 0};
    ASSERT_EQ(EGifPutLine(gif, line, 2), GIF_OK);
    ASSERT_EQ(EGifCloseFile(gif, &error), GIF_OK);
    GifFreeMapObject(map);
    std::vector<uint8_t> out;
    ASSERT_TRUE(DecodeImageFileToBgra(Path("a.gif"), 4, 2, &out));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 20, out.begin() + 24), (std::vector<uint8_t>{0, 200, 0, 255}));  // (1, 1)
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 24, out.begin() + 28), (std::vector<uint8_t>{0, 0, 0, 0}));      // (2, 1)
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 0}));            // off the frame
  }
}
#endif

#if !defined(_WIN32)
// Milliseconds `fn` took.
template <typename F>
int64_t MillisecondsOf(F&& fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A GIF written through giflib into memory.
struct GifWriter {
  std::vector<uint8_t> bytes;
  GifFileType* gif = nullptr;
  GifWriter() {
    int error = 0;
    gif = EGifOpen(this, [](GifFileType* g, const GifByteType* data, int length) {
      auto* self = static_cast<GifWriter*>(g->UserData);
      self->bytes.insert(self->bytes.end(), data, data + length);
      return length;
    }, &error);
  }
  // One frame of w x h at (left, top), every pixel `index`.
  bool Frame(int left, int top, int w, int h, GifPixelType index) {
    if (EGifPutImageDesc(gif, left, top, w, h, false, nullptr) != GIF_OK) return false;
    std::vector<GifPixelType> line(static_cast<size_t>(w), index);
    for (int y = 0; y < h; ++y)
      if (EGifPutLine(gif, line.data(), w) != GIF_OK) return false;
    return true;
  }
};

// A GIF of many frames costs its first frame: the later ones are not read. A frame larger than the
// logical screen is refused.
TEST_F(ImageFilesTest, GifFilesAreReadToTheirFirstFrameOnly) {
  GifColorType colours[2] = {{200, 0, 0}, {0, 0, 200}};
  ColorMapObject* map = GifMakeMapObject(2, colours);
  {
    // 5000 frames of 512 x 512: frame 1 is red, the others blue. Frame 2's bytes, once written,
    // are repeated for the rest.
    GifWriter w;
    ASSERT_NE(w.gif, nullptr);
    ASSERT_EQ(EGifPutScreenDesc(w.gif, 512, 512, 1, 0, map), GIF_OK);
    ASSERT_TRUE(w.Frame(0, 0, 512, 512, 0));
    const size_t second = w.bytes.size();
    ASSERT_TRUE(w.Frame(0, 0, 512, 512, 1));
    const std::vector<uint8_t> frame(w.bytes.begin() + static_cast<std::ptrdiff_t>(second), w.bytes.end());
    std::vector<uint8_t> file = w.bytes;
    EGifCloseFile(w.gif, nullptr);
    for (int i = 2; i < 5000; ++i) file.insert(file.end(), frame.begin(), frame.end());
    file.push_back(';');
    Write("many.gif", file);
    platform::DecodedImage image;
    bool ok = false;
    const int64_t ms = MillisecondsOf([&] { ok = platform::DecodeImageFile(Path("many.gif"), &image); });
    ASSERT_TRUE(ok);
    EXPECT_LT(ms, 3000);
    ASSERT_EQ(image.width, 512u);
    EXPECT_EQ(std::vector<uint8_t>(image.pixels.end() - 4, image.pixels.end()), (std::vector<uint8_t>{200, 0, 0, 255}));
  }
  {
    GifWriter w;
    ASSERT_EQ(EGifPutScreenDesc(w.gif, 4, 2, 1, 0, map), GIF_OK);
    ASSERT_TRUE(w.Frame(0, 0, 8, 8, 1));
    std::vector<uint8_t> file = w.bytes;
    EGifCloseFile(w.gif, nullptr);
    file.push_back(';');
    Write("wide.gif", file);
    platform::DecodedImage image;
    EXPECT_FALSE(platform::DecodeImageFile(Path("wide.gif"), &image));
  }
  GifFreeMapObject(map);
}

// A grey PNG of w x h, every pixel 0, its rows deflated in one stream: small however large it claims
// to be.
std::vector<uint8_t> ZeroPng(uint32_t w, uint32_t h) {
  std::vector<uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const auto chunk = [&](const char* type, const std::vector<uint8_t>& data) {
    const auto be = [&](uint32_t v) {
      for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    be(static_cast<uint32_t>(data.size()));
    const size_t from = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    be(static_cast<uint32_t>(crc32(0, out.data() + from, static_cast<uInt>(out.size() - from))));
  };
  std::vector<uint8_t> ihdr;
  for (uint32_t v : {w, h})
    for (int i = 3; i >= 0; --i) ihdr.push_back(static_cast<uint8_t>(v >> (8 * i)));
  ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0});  // 8-bit grey
  chunk("IHDR", ihdr);
  z_stream z{};
  deflateInit(&z, 1);
  const std::vector<uint8_t> row(static_cast<size_t>(w) + 1, 0);
  std::vector<uint8_t> idat(1 << 16);
  std::vector<uint8_t> deflated;
  for (uint32_t y = 0; y <= h; ++y) {
    z.next_in = const_cast<Bytef*>(row.data());
    z.avail_in = y < h ? static_cast<uInt>(row.size()) : 0;
    const int flush = y < h ? Z_NO_FLUSH : Z_FINISH;
    do {
      z.next_out = idat.data();
      z.avail_out = static_cast<uInt>(idat.size());
      deflate(&z, flush);
      deflated.insert(deflated.end(), idat.data(), idat.data() + (idat.size() - z.avail_out));
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  chunk("IDAT", deflated);
  chunk("IEND", {});
  return out;
}

// Every format has a pixel budget, checked from the header before anything is allocated.
TEST_F(ImageFilesTest, ImagesAboveThePixelBudgetAreRefusedFromTheirHeader) {
  struct Case {
    uint32_t w, h;
    bool decoded;
  } cases[] = {
      {16384, 16384, false},  // 1 GiB of pixels
      {16384, 1025, false},   // just above 64 MiB
      {16384, 1024, true},    // exactly 64 MiB
      {16385, 1, false},      // a side above the limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
    Write("big.png", ZeroPng(c.w, c.h));
    platform::DecodedImage image;
    bool ok = false;
    const int64_t ms = MillisecondsOf([&] { ok = platform::DecodeImageFile(Path("big.png"), &image); });
    EXPECT_EQ(ok, c.decoded);
    if (!c.decoded) {
      EXPECT_LT(ms, 1000);
    }
  }
  // BMP and GIF headers that claim 8192 x 8192 (256 MiB of pixels).
  std::vector<uint8_t> bmp = RawBmp(8192, 8192, 1, {0, 0, 0, 0, 255, 255, 255, 0}, {});
  bmp.resize(bmp.size() + 8192ull * 8192 / 8);
  Write("big.bmp", bmp);
  platform::DecodedImage image;
  EXPECT_FALSE(platform::DecodeImageFile(Path("big.bmp"), &image));
  GifColorType colours[2] = {{0, 0, 0}, {255, 255, 255}};
  ColorMapObject* map = GifMakeMapObject(2, colours);
  GifWriter w;
  ASSERT_EQ(EGifPutScreenDesc(w.gif, 8192, 8192, 1, 0, map), GIF_OK);
  ASSERT_TRUE(w.Frame(0, 0, 1, 1, 1));
  std::vector<uint8_t> file = w.bytes;
  EGifCloseFile(w.gif, nullptr);
  GifFreeMapObject(map);
  file.push_back(';');
  Write("big.gif", file);
  EXPECT_FALSE(platform::DecodeImageFile(Path("big.gif"), &image));
}

// A grey progressive JPEG of 16 x 16: the library's usual scans, or 127 scans.
std::vector<uint8_t> ProgressiveJpeg(bool many_scans) {
  std::vector<uint8_t> grey(16 * 16, 128);
  jpeg_compress_struct info{};
  jpeg_error_mgr error{};
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = 16, info.image_height = 16, info.input_components = 1, info.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  std::vector<jpeg_scan_info> scans;
  if (many_scans) {
    // The DC scan, then each AC coefficient in two scans of its own (its high bits, then its low
    // bit): 127 scans.
    scans.push_back(jpeg_scan_info{1, {0}, 0, 0, 0, 0});
    for (int k = 1; k < 64; ++k) scans.push_back(jpeg_scan_info{1, {0}, k, k, 0, 1});
    for (int k = 1; k < 64; ++k) scans.push_back(jpeg_scan_info{1, {0}, k, k, 1, 0});
    info.scan_info = scans.data();
    info.num_scans = static_cast<int>(scans.size());
  } else {
    jpeg_simple_progression(&info);
  }
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = grey.data() + info.next_scanline * 16;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  std::vector<uint8_t> out(buffer, buffer + size);
  jpeg_destroy_compress(&info);
  free(buffer);
  return out;
}

TEST_F(ImageFilesTest, JpegFilesWithTooManyScansAreRefused) {
  platform::DecodedImage image;
  Write("progressive.jpg", ProgressiveJpeg(false));
  ASSERT_TRUE(platform::DecodeImageFile(Path("progressive.jpg"), &image));
  EXPECT_EQ(image.width, 16u);
  EXPECT_NEAR(image.pixels[0], 128, 2);
  Write("scans.jpg", ProgressiveJpeg(true));
  EXPECT_FALSE(platform::DecodeImageFile(Path("scans.jpg"), &image));
}
#endif

TEST_F(NativeButtonsTest, ImagesFromFilesWithTheNormalImageStandingInForAMissingOne) {
  const fs::path dir = fs::temp_directory_path() / ("vyo_button_files_" + std::to_string(platform::CurrentProcessId()));
  fs::create_directories(dir);
  std::vector<uint8_t> red(4 * 2 * 4), green(4 * 2 * 4);
  for (size_t i = 0; i < 8; ++i) red[i * 4] = 255, red[i * 4 + 3] = 255, green[i * 4 + 1] = 255, green[i * 4 + 3] = 128;
  ASSERT_TRUE(sim::WritePng((dir / "n.png").string(), 4, 2, red));
  ASSERT_TRUE(sim::WritePng((dir / "h.png").string(), 4, 2, green));
  buttons->CreateNativeButton(6, 4, 2, true, {(dir / "n.png").u16string(), (dir / "h.png").u16string(), u""});
  ASSERT_TRUE(ButtonMade(6));
  EXPECT_EQ(Pixel(0, 0), (std::vector<uint8_t>{0, 0, 255, 255}));  // normal
  EXPECT_EQ(Pixel(0, 2), (std::vector<uint8_t>{0, 128, 0, 128}));  // hover, premultiplied
  EXPECT_EQ(Pixel(3, 5), (std::vector<uint8_t>{0, 0, 255, 255}));  // pressed: the normal image
  // A missing normal image fails the button.
  buttons->CreateNativeButton(7, 4, 2, true, {(dir / "none.png").u16string(), u"", u""});
  ASSERT_TRUE(RunTasksUntil([&] { return Logged("button normal image decode failed, view_id=7"); }));
  EXPECT_FALSE(views.Snapshot(7).has_value());
  fs::remove_all(dir);
}

// A decoder that holds each decode until the test lets it go (at most 10 s), then gives one colour
// per file name.
struct HeldDecoder {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  int started = 0;
  bool Decode(const std::u16string& path, int32_t w, int32_t h, std::vector<uint8_t>* out) {
    std::unique_lock<std::mutex> lock(mutex);
    ++started;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
    *out = path == u"red" ? Solid(w, h, 0, 0, 255, 255) : Solid(w, h, 255, 0, 0, 255);
    return released;
  }
  bool WaitStarted(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return started >= n; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  }
};

// The main thread goes on serving tasks while a button's images decode; the button is made once
// they arrive.
TEST_F(NativeButtonsTest, ImagesDecodeOffTheMainThread) {
  HeldDecoder decoder;
  buttons->SetImageDecoder([&](const std::u16string& p, int32_t w, int32_t h, std::vector<uint8_t>* out) {
    return decoder.Decode(p, w, h, out);
  });
  buttons->CreateNativeButton(6, 4, 2, true, {u"red", u"", u""});  // returns with the decode held
  ASSERT_TRUE(decoder.WaitStarted(1));
  int served = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(button_thread.PostTask([&] { ++served; }));
    EXPECT_TRUE(RunTasksUntil([&] { return served == i + 1; }));
  }
  EXPECT_FALSE(views.Snapshot(6).has_value());
  decoder.Release();
  ASSERT_TRUE(ButtonMade(6));
  EXPECT_EQ(Pixel(0, 0), (std::vector<uint8_t>{0, 0, 255, 255}));
  EXPECT_EQ(Pixel(3, 5), (std::vector<uint8_t>{0, 0, 255, 255}));
  ASSERT_EQ(Atlases().size(), 1u);
}

// Images that arrive for a request that was superseded, or for a view destroyed or re-created
// meanwhile, are dropped; the latest request is the one made.
TEST_F(NativeButtonsTest, StaleImagesAreDropped) {
  HeldDecoder decoder;
  buttons->SetImageDecoder([&](const std::u16string& p, int32_t w, int32_t h, std::vector<uint8_t>* out) {
    return decoder.Decode(p, w, h, out);
  });
  // Views 8 and 9 exist as buttons before the requests.
  const ButtonImages blue{Solid(4, 2, 255, 0, 0, 255), Solid(4, 2, 255, 0, 0, 255), Solid(4, 2, 255, 0, 0, 255)};
  ASSERT_TRUE(buttons->CreateButtonView(8, 0, 0, 4, 2, true, 0, blue));
  ASSERT_TRUE(buttons->CreateButtonView(9, 0, 0, 4, 2, true, 0, blue));
  buttons->CreateNativeButton(7, 4, 2, true, {u"blue", u"", u""});  // superseded below
  buttons->CreateNativeButton(8, 4, 2, true, {u"red", u"", u""});   // its view destroyed below
  buttons->CreateNativeButton(9, 4, 2, true, {u"red", u"", u""});   // its view re-created below
  buttons->CreateNativeButton(7, 4, 2, true, {u"red", u"", u""});
  ASSERT_TRUE(decoder.WaitStarted(1));
  Access::Destroy(views, 8);
  ASSERT_TRUE(buttons->CreateButtonView(9, 0, 0, 4, 2, true, 0, blue));
  decoder.Release();
  ASSERT_TRUE(ButtonMade(7));
  ASSERT_TRUE(RunTasksUntil([&] {
    return Logged("button images dropped, the view was destroyed or re-created meanwhile, view_id=9");
  }));
  EXPECT_TRUE(Logged("button images dropped, a later request for the view superseded them, view_id=7"));
  EXPECT_TRUE(Logged("button images dropped, the view was destroyed or re-created meanwhile, view_id=8"));
  EXPECT_FALSE(views.Snapshot(8).has_value());
  // View 9 keeps the images it was re-created with; view 7 has the latest request's.
  const auto atlases = Atlases();
  EXPECT_EQ(std::count_if(atlases.begin(), atlases.end(), [](const auto& a) { return a.view_id == 7; }), 1);
  EXPECT_EQ(std::count_if(atlases.begin(), atlases.end(), [](const auto& a) { return a.view_id == 9; }), 2);
  EXPECT_EQ(Pixel(0, 0), (std::vector<uint8_t>{0, 0, 255, 255}));  // the last texture made: view 7's, red
}

}  // namespace
}  // namespace vyo::capture
