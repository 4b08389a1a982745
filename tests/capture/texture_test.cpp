// The engines under the capture service: the GPU device's textures (copies, clears, read-back; on
// Linux the keyed-mutex word and the object names the overlay opens), PNG decoding, and the
// DevTools reader's frame finder and base64 decoder.
#include <gtest/gtest.h>

#include <string>

#include "capture/capture_service.h"
#include "platform/image_decoder.h"
#include "platform/shared_memory.h"
#include "platform/system.h"
#include "protocol/texture_layout.h"
#include "renderers/cdp/cdp_capture.h"

namespace vyo {
namespace {

// A 2 x 1 RGBA PNG: rgba(200,100,50,64), then opaque blue.
const uint8_t kPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0xf4, 0x22, 0x7f, 0x8a, 0x00, 0x00, 0x00, 0x11, 0x49,
    0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x38, 0x91, 0x62, 0xe4, 0xc0, 0xc0, 0xf0, 0xff, 0x3f, 0x00, 0x0e, 0x6e, 0x03,
    0x9d, 0xe0, 0x56, 0x99, 0xb6, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

TEST(GpuTexture, RegionCopiesAndClearsReadBack) {
  auto device = platform::GpuDevice::Create();
  ASSERT_TRUE(device);
  auto texture = device->CreateSharedTexture(8, 4, /*shared=*/false);
  ASSERT_TRUE(texture) << device->Kind();
  std::vector<uint8_t> image(8 * 4 * 4);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(texture->Clear());
  // Only the rectangle (2, 1)-(5, 3) of the image lands, at the same place.
  ASSERT_TRUE(texture->CopyRegion(image.data(), 8 * 4, 2, 1, 3, 2));
  std::vector<uint8_t> back;
  ASSERT_TRUE(texture->ReadBack(&back));
  ASSERT_EQ(back.size(), image.size());
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 8; ++x) {
      const bool inside = x >= 2 && x < 5 && y >= 1 && y < 3;
      for (int c = 0; c < 4; ++c) {
        const size_t at = (size_t(y) * 8 + x) * 4 + c;
        ASSERT_EQ(back[at], inside ? image[at] : 0) << x << "," << y;
      }
    }
  }
  EXPECT_FALSE(texture->CopyRegion(image.data(), 8 * 4, 6, 0, 3, 1)) << "beyond the texture";
  ASSERT_TRUE(texture->Clear());
  ASSERT_TRUE(texture->ReadBack(&back));
  EXPECT_TRUE(std::all_of(back.begin(), back.end(), [](uint8_t b) { return b == 0; }));
}

#if !defined(_WIN32)
TEST(GpuTexture, TheOverlayOpensTheTextureByNameAndTakesTurnsThroughTheKeyedMutex) {
  auto device = platform::GpuDevice::Create();
  auto texture = device->CreateSharedTexture(16, 8);
  ASSERT_TRUE(texture);
  const uint64_t handle = texture->SharedHandle();
  ASSERT_NE(handle, 0u);
  const size_t size = host::TextureObjectSize(16, 8);
  auto mapped = platform::SharedMemory::OpenExisting(host::TextureObjectName(handle), size, platform::MapAccess::kWrite);
  ASSERT_TRUE(mapped);
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(host::ReadTextureHeader(mapped->data(), size, &w, &h));
  EXPECT_EQ(w, 16u);
  EXPECT_EQ(h, 8u);
  uint8_t* base = mapped->data();
  // The host's turn first; the overlay cannot take key 1 before the host released with it.
  EXPECT_FALSE(host::AcquireKey(base, host::kOverlayKey));
  ASSERT_TRUE(texture->AcquireSync(host::kHostKey, 0));
  EXPECT_FALSE(texture->AcquireSync(host::kHostKey, 0)) << "held";
  const std::vector<uint8_t> red(16 * 8 * 4, 0x7f);
  ASSERT_TRUE(texture->CopyRegion(red.data(), 16 * 4, 0, 0, 16, 8));
  texture->ReleaseSync(host::kOverlayKey);
  EXPECT_FALSE(texture->AcquireSync(host::kHostKey, 0)) << "the overlay's turn";
  ASSERT_TRUE(host::AcquireKey(base, host::kOverlayKey));
  EXPECT_EQ(base[host::kTextureHeaderSize + 5], 0x7f);
  host::ReleaseKey(base, host::kHostKey);
  EXPECT_TRUE(texture->AcquireSync(host::kHostKey, 0));
  // Released by the host: the name is gone, the overlay's mapping stays valid.
  texture.reset();
  EXPECT_EQ(platform::SharedMemory::OpenExisting(host::TextureObjectName(handle), size, platform::MapAccess::kRead),
            nullptr);
  EXPECT_EQ(base[host::kTextureHeaderSize + 5], 0x7f);
}
#endif

TEST(ImageDecoding, APngDecodesToItsStraightPixelsAndTheFramePathPremultipliesThem) {
  platform::DecodedImage image;
  ASSERT_TRUE(platform::DecodePng(kPng, sizeof kPng, &image));
  ASSERT_EQ(image.width, 2u);
  ASSERT_EQ(image.height, 1u);
  const bool rgba = image.order == platform::ChannelOrder::kRgba;
  EXPECT_EQ(image.pixels[rgba ? 0 : 2], 200);
  EXPECT_EQ(image.pixels[1], 100);
  EXPECT_EQ(image.pixels[3], 64);
  // As a screenshot (straight alpha) it becomes premultiplied BGRA.
  capture::DecodedFrame frame;
  ASSERT_TRUE(capture::DecodeFrame(
      capture::EncodedFrame(std::vector<uint8_t>(kPng, kPng + sizeof kPng), capture::FrameAlpha::kStraight, 0, 0, {}),
      &platform::DecodePng, &frame));
  const std::vector<uint8_t> expected = {13, 25, 50, 64, 255, 0, 0, 255};
  EXPECT_EQ(frame.bgra, expected);
  // Truncated or foreign data is refused.
  EXPECT_FALSE(platform::DecodePng(kPng, sizeof kPng - 20, &image));
  const uint8_t junk[] = "not a png at all, not even close";
  EXPECT_FALSE(platform::DecodePng(junk, sizeof junk, &image));
}

TEST(ScreencastReader, FindsTheFrameWithoutParsingItsImage) {
  const std::string message =
      R"({"method":"Page.screencastFrame","params":{"data":"iVBORw0KGgo=","metadata":{"offsetTop":0,)"
      R"("pageScaleFactor":1,"deviceWidth":800,"deviceHeight":600,"scrollOffsetX":0,"scrollOffsetY":0,)"
      R"("timestamp":1712.5},"sessionId":7},"sessionId":"ABCDEF0123"})";
  web::cdp::ScreencastFrameRef ref;
  ASSERT_TRUE(web::cdp::FindScreencastFrame(message, &ref));
  EXPECT_EQ(ref.session, "ABCDEF0123");
  EXPECT_EQ(ref.ack_id, 7);
  EXPECT_EQ(ref.device_width, 800);
  EXPECT_EQ(ref.device_height, 600);
  EXPECT_EQ(ref.data, "iVBORw0KGgo=");
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(web::cdp::Base64Decode(ref.data, &bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}));
  // Other messages are left to the JSON path.
  EXPECT_FALSE(web::cdp::FindScreencastFrame(R"({"id":3,"result":{"data":"abc"}})", &ref));
  EXPECT_FALSE(web::cdp::FindScreencastFrame(R"({"method":"Page.screencastFrame","params":{}})", &ref));
  // A page's object handed back in an answer has the words of a frame, not its shape.
  EXPECT_FALSE(web::cdp::FindScreencastFrame(
      R"({"id":4,"result":{"result":{"type":"object","value":{"method":"Page.screencastFrame","data":"QUJD",)"
      R"("sessionId":1}}},"sessionId":"ABCDEF0123"})",
      &ref));
}

TEST(ScreencastReader, Base64DecodesEveryLengthAndRefusesForeignCharacters) {
  const struct {
    const char* text;
    std::string bytes;
  } cases[] = {{"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"Zm9vYg", "foob"}, {"Zm9vYmE=", "fooba"},
               {"Zm9vYmFy", "foobar"}, {"+/+/", "\xfb\xff\xbf"}};
  for (const auto& c : cases) {
    std::vector<uint8_t> out;
    ASSERT_TRUE(web::cdp::Base64Decode(c.text, &out)) << c.text;
    EXPECT_EQ(std::string(out.begin(), out.end()), c.bytes) << c.text;
  }
  std::vector<uint8_t> out;
  EXPECT_FALSE(web::cdp::Base64Decode("Zm9v\"Ym", &out));
  EXPECT_FALSE(web::cdp::Base64Decode("Z", &out));
  EXPECT_FALSE(web::cdp::Base64Decode("Zm-v", &out));
}

}  // namespace
}  // namespace vyo
