// The SDK through its C interface: argument and version checks, a session with the real host (no
// browser needed: hello, callback, heartbeat, beat map, input taken, clean exit; a refused command
// line), the input records it writes, and (Linux) texture reads against a texture laid out the
// way the host's CPU device writes it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/shared_memory.h"
#include "protocol/hit_mask_layout.h"
#include "protocol/shared_memory_layout.h"
#include "protocol/texture_layout.h"
#include "protocol/wire.h"
#include "vyo_overlay.h"

namespace {

using namespace vyo;

struct Overlay {
  VyoOverlay* ov = nullptr;
  explicit Overlay(const char* tag, uint32_t flags = 0) {
    VyoOverlayConfig config{sizeof(config), VYO_OVERLAY_API_VERSION, tag, flags, 0};
    EXPECT_EQ(vyo_overlay_create(&config, &ov), VYO_OK) << vyo_overlay_last_error();
  }
  ~Overlay() { vyo_overlay_destroy(ov); }
  std::string Name(int which) {
    VyoOverlayNames names{sizeof(names)};
    EXPECT_EQ(vyo_overlay_get_names(ov, &names), VYO_OK);
    const char* all[] = {names.pipe, names.input_map, names.input_event, names.beat_map};
    return all[which];
  }
};

std::u16string HostPath() {
  return platform::ExecutableDirectory() + platform::PathSeparator() +
#if defined(_WIN32)
         u"FenyraOverlayHost.exe";
#else
         u"FenyraOverlayHost";
#endif
}

TEST(SdkInterface, RefusesWrongVersionsSizesAndObjects) {
  VyoOverlay* ov = reinterpret_cast<VyoOverlay*>(1);
  VyoOverlayConfig config{sizeof(config), VYO_OVERLAY_API_VERSION + 1, "t", 0, 0};
  EXPECT_EQ(vyo_overlay_create(&config, &ov), VYO_E_VERSION);
  EXPECT_EQ(ov, nullptr);
  EXPECT_NE(std::string(vyo_overlay_last_error()).find("version 2"), std::string::npos) << vyo_overlay_last_error();
  config = {8, VYO_OVERLAY_API_VERSION, "t", 0, 0};
  EXPECT_EQ(vyo_overlay_create(&config, &ov), VYO_E_ARGUMENT);
  config = {sizeof(config), VYO_OVERLAY_API_VERSION, "no spaces", 0, 0};
  EXPECT_EQ(vyo_overlay_create(&config, &ov), VYO_E_ARGUMENT);
  EXPECT_EQ(vyo_overlay_create(nullptr, &ov), VYO_E_ARGUMENT);
  EXPECT_EQ(vyo_overlay_api_version(), VYO_OVERLAY_API_VERSION);

  VyoHostMessage msg{sizeof(msg)};
  EXPECT_EQ(vyo_overlay_poll(nullptr, 0, &msg), VYO_E_ARGUMENT);
  EXPECT_EQ(vyo_overlay_view_create(nullptr, 1, 0, 0, 10, 10, 1, "about:blank"), VYO_E_ARGUMENT);
  vyo_overlay_destroy(nullptr);

  Overlay o("iface");
  msg.size = 8;  // older than the first layout
  EXPECT_EQ(vyo_overlay_poll(o.ov, 0, &msg), VYO_E_ARGUMENT);
  msg.size = sizeof(msg);
  EXPECT_EQ(vyo_overlay_poll(o.ov, 0, &msg), VYO_E_STATE) << "no pipe yet";
  EXPECT_EQ(vyo_overlay_view_destroy(o.ov, 1), VYO_E_STATE);
  EXPECT_EQ(vyo_overlay_wait_host_exit(o.ov, 0, nullptr), VYO_E_STATE);
  VyoTextureInfo info{sizeof(info)};
  EXPECT_EQ(vyo_overlay_texture_info(o.ov, 7, &info), VYO_E_NOT_FOUND);
  EXPECT_NE(std::string(vyo_overlay_last_error()).find("view 7"), std::string::npos);
  uint32_t age = 0;
  EXPECT_EQ(vyo_overlay_heartbeat_age(o.ov, &age), VYO_E_NOT_FOUND);
  EXPECT_STREQ(vyo_overlay_status_name(VYO_E_BUSY), "VYO_E_BUSY");
  EXPECT_STREQ(vyo_overlay_status_name(99), "unknown");

  const char* const* argv = nullptr;
  uint32_t argc = 0;
  ASSERT_EQ(vyo_overlay_host_args(o.ov, &argv, &argc), VYO_OK);
  ASSERT_EQ(argc, 10u);
  EXPECT_STREQ(argv[0], "--pipe");
  EXPECT_EQ(argv[1], o.Name(0));
  EXPECT_STREQ(argv[8], "--beat-map");
  Overlay no_beat("nobeat", VYO_OVERLAY_NO_BEAT_MAP);
  ASSERT_EQ(vyo_overlay_host_args(no_beat.ov, &argv, &argc), VYO_OK);
  EXPECT_EQ(argc, 8u);
  VyoBeat beat{sizeof(beat)};
  EXPECT_EQ(vyo_overlay_read_beat(no_beat.ov, &beat), VYO_E_NOT_FOUND);
}

struct Counted {
  int messages = 0, hellos = 0;
};

TEST(SdkSession, HostSessionFromHelloToCleanExit) {
  Overlay o("session");
  ASSERT_EQ(vyo_overlay_start_host(o.ov, nullptr, 20000), VYO_OK) << vyo_overlay_last_error();
  EXPECT_NE(vyo_overlay_host_pid(o.ov), 0u);
  Counted counted;
  vyo_overlay_set_callback(o.ov, [](void* c, const VyoHostMessage* m) {
    auto* k = static_cast<Counted*>(c);
    ++k->messages;
    if (m->type == VYO_MSG_HOST_HELLO) ++k->hellos;
  }, &counted);
  VyoHostMessage msg{sizeof(msg)};
  bool hello = false;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       !hello && std::chrono::steady_clock::now() < end;) {
    const int32_t status = vyo_overlay_poll(o.ov, 200, &msg);
    ASSERT_TRUE(status == VYO_OK || status == VYO_E_TIMEOUT) << vyo_overlay_last_error();
    hello = status == VYO_OK && msg.type == VYO_MSG_HOST_HELLO;
  }
  ASSERT_TRUE(hello);
  EXPECT_EQ(msg.id, 1u) << "protocol version";
  char line[200];
  ASSERT_EQ(vyo_overlay_describe_message(&msg, line, sizeof(line)), VYO_OK);
  EXPECT_NE(std::string(line).find("HostHello"), std::string::npos) << line;
  EXPECT_EQ(counted.hellos, 1);

  // The heartbeat comes every 100 ms, views or not; the beat map's counters move.
  VyoBeat before{sizeof(before)}, after{sizeof(after)};
  ASSERT_EQ(vyo_overlay_read_beat(o.ov, &before), VYO_OK);
  ASSERT_EQ(vyo_overlay_surface_info(o.ov, 1280, 720), VYO_OK);
  VyoInput in{sizeof(in)};
  in.kind = VYO_IN_TEXT;
  in.text = "hello";
  ASSERT_EQ(vyo_overlay_send_input(o.ov, &in), VYO_OK);
  uint32_t count = 0;
  ASSERT_EQ(vyo_overlay_pump(o.ov, 500, &count), VYO_OK) << vyo_overlay_last_error();
  EXPECT_GE(count, 2u);
  EXPECT_GE(counted.messages, static_cast<int>(count) + 1);
  uint32_t age = 9999;
  ASSERT_EQ(vyo_overlay_heartbeat_age(o.ov, &age), VYO_OK);
  EXPECT_LT(age, 1000u);
  ASSERT_EQ(vyo_overlay_read_beat(o.ov, &after), VYO_OK);
  EXPECT_GT(after.frame_counter, before.frame_counter);
  EXPECT_GT(after.stage_counter, before.stage_counter);
  uint32_t read_index = 0;
  ASSERT_EQ(vyo_overlay_input_read_index(o.ov, &read_index), VYO_OK);
  EXPECT_EQ(read_index, 1u) << "the host took the text record";

  uint32_t code = 99;
  ASSERT_EQ(vyo_overlay_stop_host(o.ov, 20000, &code), VYO_OK) << vyo_overlay_last_error();
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(vyo_overlay_connected(o.ov), 0);
}

// A mask published under the session's pipe name is used while the host's heartbeat is fresh, and
// no longer once the heartbeat has stopped (the host is gone): the caller falls back to alpha.
TEST(SdkSession, HitMaskIsTrustedOnlyWhileTheHeartbeatIsFresh) {
  Overlay o("mask");
  const std::string pipe = o.Name(0);
  // A 64 x 32 view: cells of 4 px, 16 x 8 of them; the left half opaque.
  const host::HitGrid grid = host::GridFor(64, 32);
  auto block = platform::SharedMemory::Create(host::HitMaskName(std::u16string(pipe.begin(), pipe.end()), 9),
                                              host::kHitMaskBlockSize);
  ASSERT_TRUE(block);
  host::InitHitMaskHeader(block->data(), grid, 128);
  std::vector<uint8_t> cells(grid.cells(), 0);
  for (uint32_t row = 0; row < grid.rows; ++row)
    for (uint32_t col = 0; col < grid.cols / 2; ++col) cells[row * grid.cols + col] = 255;
  host::WriteHitMask(block->data(), cells.data(), static_cast<uint32_t>(grid.cells()), 128, 1);

  VyoHitMask mask{sizeof(mask)};
  ASSERT_EQ(vyo_overlay_read_hit_mask(o.ov, 9, &mask), VYO_OK) << vyo_overlay_last_error();
  EXPECT_EQ(mask.cols, grid.cols);
  EXPECT_EQ(mask.rows, grid.rows);
  EXPECT_EQ(mask.cell, grid.cell);
  EXPECT_EQ(mask.threshold, 128u);
  EXPECT_EQ(mask.cells[0], 255);
  EXPECT_EQ(mask.cells[grid.cols - 1], 0);
  EXPECT_EQ(vyo_overlay_read_hit_mask(o.ov, 10, &mask), VYO_E_NOT_FOUND);

  int32_t opaque = -1;
  EXPECT_EQ(vyo_overlay_hit_test(o.ov, 9, 2, 2, &opaque), VYO_E_NOT_FOUND) << "no heartbeat yet";
  ASSERT_EQ(vyo_overlay_start_host(o.ov, nullptr, 20000), VYO_OK) << vyo_overlay_last_error();
  uint32_t age = 0;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       vyo_overlay_heartbeat_age(o.ov, &age) != VYO_OK && std::chrono::steady_clock::now() < end;) {
    vyo_overlay_pump(o.ov, 100, nullptr);
  }
  ASSERT_EQ(vyo_overlay_heartbeat_age(o.ov, &age), VYO_OK);
  struct {
    int32_t x, y, opaque;
  } points[] = {{2, 2, 1}, {31, 31, 1}, {32, 0, 0}, {63, 31, 0}, {64, 0, 0}, {-1, 5, 0}};
  for (const auto& p : points) {
    ASSERT_EQ(vyo_overlay_hit_test(o.ov, 9, p.x, p.y, &opaque), VYO_OK) << vyo_overlay_last_error();
    EXPECT_EQ(opaque, p.opaque) << p.x << "," << p.y;
  }
  uint32_t code = 1;
  ASSERT_EQ(vyo_overlay_stop_host(o.ov, 20000, &code), VYO_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // more than three heartbeat periods
  EXPECT_EQ(vyo_overlay_hit_test(o.ov, 9, 2, 2, &opaque), VYO_E_NOT_FOUND);
}

TEST(SdkSession, RefusedCommandLineIsReportedNotWaitedFor) {
  Overlay o("refused");
  const std::string pipe = o.Name(0);
  const char* args[] = {"--pipe", pipe.c_str()};
  const std::string host = [] {
    std::string s;
    for (char16_t c : HostPath()) s.push_back(static_cast<char>(c));
    return s;
  }();
  ASSERT_EQ(vyo_overlay_spawn_host(o.ov, host.c_str(), args, 2), VYO_OK) << vyo_overlay_last_error();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vyo_overlay_connect(o.ov, 30000), VYO_E_DISCONNECTED);
  EXPECT_NE(std::string(vyo_overlay_last_error()).find("exited with 2"), std::string::npos) << vyo_overlay_last_error();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
  uint32_t code = 0;
  EXPECT_EQ(vyo_overlay_wait_host_exit(o.ov, 1000, &code), VYO_OK);
  EXPECT_EQ(code, 2u);
  Overlay nothing("nohost");
  EXPECT_EQ(vyo_overlay_spawn_host(nothing.ov, "/no/such/host", args, 2), VYO_E_START);
}

// The ring as the host sees it, opened by name.
struct Ring {
  std::unique_ptr<platform::SharedMemory> map;
  explicit Ring(const std::string& name) {
    std::u16string wide(name.begin(), name.end());
    map = platform::SharedMemory::OpenExisting(wide, host::kInputRingSize, platform::MapAccess::kAll);
  }
  uint32_t WriteIndex() const { return host::LoadU32(map->data()); }
  const uint8_t* Slot(uint32_t i) const { return map->data() + 8 + size_t{i} * host::kInputRecordSize; }
  uint32_t U32(uint32_t slot, size_t at) const { return host::LoadU32(Slot(slot) + at); }
  uint64_t U64(uint32_t slot, size_t at) const { return host::LoadU64(Slot(slot) + at); }
};

TEST(SdkInput, RecordsAsTheHostReadsThem) {
  Overlay o("input");
  Ring ring(o.Name(1));
  ASSERT_TRUE(ring.map);
  ASSERT_EQ(vyo_overlay_click(o.ov, 3, 100, 50), VYO_OK);
  ASSERT_EQ(ring.WriteIndex(), 3u);
  const uint32_t kinds[] = {0x200, 0x201, 0x202}, buttons[] = {0, 1, 0};
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(ring.U32(i, 0), 3u);
    EXPECT_EQ(ring.U32(i, 4), kinds[i]);
    EXPECT_EQ(ring.U64(i, 8), buttons[i]);
    EXPECT_EQ(ring.U32(i, 24), 100u);
    EXPECT_EQ(ring.U32(i, 28), 50u);
  }
  VyoInput in{sizeof(in)};
  in.view_id = 3;
  in.kind = VYO_IN_MOUSEWHEEL;
  in.wheel = -120;
  ASSERT_EQ(vyo_overlay_send_input(o.ov, &in), VYO_OK);
  EXPECT_EQ(ring.U64(3, 8) >> 16, 0xFF88u) << "the delta as a signed 16-bit word";
  in = VyoInput{sizeof(in)};
  in.view_id = 3;
  in.kind = VYO_IN_KEYUP;
  in.key = 0x41;
  in.scan_code = 0x1E;
  in.extended = 1;
  in.modifiers = VYO_MOD_SHIFT;
  ASSERT_EQ(vyo_overlay_send_input(o.ov, &in), VYO_OK);
  EXPECT_EQ(ring.U64(4, 8), 0x41u);
  EXPECT_EQ(ring.U64(4, 16), 0xC11E0001u) << "scan code, extended, previous state and transition bits";
  EXPECT_EQ(ring.U32(4, 36), VYO_MOD_SHIFT);

  // A text of 300 units is three records; a surrogate pair is never cut between two.
  std::string text(128, 'a');
  text += "\xF0\x9F\x98\x80";  // U+1F600: units 129 and 130
  text += std::string(170, 'b');
  in = VyoInput{sizeof(in)};
  in.view_id = 3;
  in.kind = VYO_IN_TEXT;
  in.text = text.c_str();
  ASSERT_EQ(vyo_overlay_send_input(o.ov, &in), VYO_OK);
  ASSERT_EQ(ring.WriteIndex(), 8u);
  EXPECT_EQ(ring.U32(5, 40), 128u);
  EXPECT_EQ(ring.U32(6, 40), 129u);
  EXPECT_EQ(ring.U32(7, 40), 43u);
  EXPECT_EQ(host::LoadU32(ring.Slot(6) + 44) & 0xFFFF, 0xD83Du) << "the pair starts the second record";
  EXPECT_EQ(ring.Slot(5)[44 + 2 * 128], 0) << "NUL after the text";

  // No host reads: 1023 records fill the ring; one more is refused without writing anything.
  while (ring.WriteIndex() < host::kInputSlots - 1) {
    ASSERT_EQ(vyo_overlay_send_input_record(o.ov, ring.Slot(0), 304), VYO_OK);
  }
  EXPECT_EQ(vyo_overlay_send_input_record(o.ov, ring.Slot(0), 304), VYO_E_FULL);
  EXPECT_EQ(vyo_overlay_click(o.ov, 1, 0, 0), VYO_E_FULL);
  EXPECT_EQ(ring.WriteIndex(), host::kInputSlots - 1);
  EXPECT_EQ(vyo_overlay_send_input_record(o.ov, ring.Slot(0), 303), VYO_E_ARGUMENT);
}

#if !defined(_WIN32)
// A texture and DirtyMap laid out as the host's CPU device writes them.
struct HostTexture {
  static constexpr uint32_t kW = 64, kH = 32;
  uint64_t handle;
  std::unique_ptr<platform::SharedMemory> tex, dirty;
  HostTexture(const std::string& pipe, uint32_t view_id, uint64_t h) : handle(h) {
    tex = platform::SharedMemory::Create(host::TextureObjectName(handle), host::TextureObjectSize(kW, kH));
    host::WriteTextureHeader(tex->data(), kW, kH);
    dirty = platform::SharedMemory::Create(host::DirtyMapName(std::u16string(pipe.begin(), pipe.end()), view_id),
                                           host::kDirtyMapSize);
    host::ResetDirtyMap(dirty->data());
  }
  // Fills the rectangle with `value` under key 0 and publishes it, as the host does.
  void Publish(bool full, int32_t x, int32_t y, int32_t w, int32_t h, uint8_t value) {
    ASSERT_TRUE(host::AcquireKey(tex->data(), host::kHostKey));
    uint8_t* rows = tex->data() + host::kTextureHeaderSize;
    for (int32_t r = std::max(0, y); r < std::min<int32_t>(kH, y + h); ++r)
      for (int32_t c = std::max(0, x); c < std::min<int32_t>(kW, x + w); ++c) std::memset(rows + (r * kW + c) * 4, value, 4);
    host::PublishDirty(dirty->data(), full, x, y, w, h);
    host::ReleaseKey(tex->data(), host::kOverlayKey);
  }
};

TEST(SdkFrames, CopiesWhatTheDirtyMapNamesUnderTheKey) {
  Overlay o("frames");
  HostTexture host_tex(o.Name(0), 5, 0x1234abcd00000001ull);
  VyoTextureInfo info{sizeof(info), 5, HostTexture::kW, HostTexture::kH, 87, 0, host_tex.handle};
  ASSERT_EQ(vyo_overlay_open_texture(o.ov, &info), VYO_OK) << vyo_overlay_last_error();
  std::vector<uint8_t> px(HostTexture::kW * HostTexture::kH * 4, 0xEE);
  const auto at = [&](uint32_t x, uint32_t y) { return px[(y * HostTexture::kW + x) * 4]; };
  VyoFrame f{sizeof(f)};
  const auto read = [&] { return vyo_overlay_read_frame(o.ov, 5, px.data(), HostTexture::kW * 4, HostTexture::kW, HostTexture::kH, &f); };

  EXPECT_EQ(read(), VYO_E_BUSY) << "the word starts at 0: the host's turn";
  // The first update of a texture is copied whole even when the host names a part.
  host_tex.Publish(false, 0, 0, 8, 8, 0x11);
  ASSERT_EQ(read(), VYO_OK);
  EXPECT_EQ(f.updated, 1u);
  EXPECT_EQ(f.full, 1u);
  EXPECT_EQ(at(0, 0), 0x11);
  EXPECT_EQ(at(63, 31), 0x00) << "the rest of the texture, not the buffer's old bytes";
  EXPECT_EQ(read(), VYO_E_BUSY) << "key 0 was given back: the host's turn until its next update";
  ASSERT_TRUE(host::AcquireKey(host_tex.tex->data(), host::kHostKey));
  host::ReleaseKey(host_tex.tex->data(), host::kOverlayKey);
  ASSERT_EQ(read(), VYO_OK);
  EXPECT_EQ(f.updated, 0u) << "a turn without a new seq copies nothing";

  struct Case {
    const char* what;
    bool full;
    int32_t x, y, w, h;
    int32_t cx, cy, cw, ch;  // what must be copied
  } cases[] = {
      {"partial", false, 10, 4, 6, 3, 10, 4, 6, 3},
      {"clamped at the edges", false, 60, 30, 20, 20, 60, 30, 4, 2},
      {"negative origin", false, -5, -5, 7, 7, 0, 0, 2, 2},
      {"full", true, 0, 0, HostTexture::kW, HostTexture::kH, 0, 0, 64, 32},
  };
  uint8_t value = 0x20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::fill(px.begin(), px.end(), 0xEE);
    host_tex.Publish(c.full, c.x, c.y, c.w, c.h, ++value);
    ASSERT_EQ(read(), VYO_OK);
    EXPECT_EQ(f.updated, 1u);
    EXPECT_EQ(f.x, c.cx);
    EXPECT_EQ(f.y, c.cy);
    EXPECT_EQ(f.w, c.cw);
    EXPECT_EQ(f.h, c.ch);
    for (uint32_t y = 0; y < HostTexture::kH; ++y)
      for (uint32_t x = 0; x < HostTexture::kW; ++x) {
        const bool inside = int32_t(x) >= c.cx && int32_t(x) < c.cx + c.cw && int32_t(y) >= c.cy && int32_t(y) < c.cy + c.ch;
        ASSERT_EQ(at(x, y), inside ? value : 0xEE) << x << "," << y;
      }
  }

  // While the host holds the word, nothing is copied and the key stays the host's.
  ASSERT_TRUE(host::AcquireKey(host_tex.tex->data(), host::kHostKey));
  host::PublishDirty(host_tex.dirty->data(), true, 0, 0, HostTexture::kW, HostTexture::kH);
  EXPECT_EQ(read(), VYO_E_BUSY);
  EXPECT_EQ(host::KeyWord(host_tex.tex->data()).load(), host::kKeyHeld);
  host::ReleaseKey(host_tex.tex->data(), host::kOverlayKey);
  ASSERT_EQ(read(), VYO_OK);
  EXPECT_EQ(f.updated, 1u);
  EXPECT_EQ(host::KeyWord(host_tex.tex->data()).load(), host::kHostKey) << "key 0 given back";

  // A buffer of another size is refused with both sizes in the message.
  EXPECT_EQ(vyo_overlay_read_frame(o.ov, 5, px.data(), 4 * 32, 32, 32, &f), VYO_E_ARGUMENT);
  EXPECT_NE(std::string(vyo_overlay_last_error()).find("64x32"), std::string::npos) << vyo_overlay_last_error();
  EXPECT_EQ(vyo_overlay_read_dirty(o.ov, 5, nullptr), VYO_E_ARGUMENT);
  VyoDirty d{sizeof(d)};
  ASSERT_EQ(vyo_overlay_read_dirty(o.ov, 5, &d), VYO_OK);
  EXPECT_EQ(d.seq, f.seq) << "the DirtyMap as the last copy saw it";
}
#else
TEST(SdkFrames, WindowsBuildSaysItReadsNoTextures) {
  Overlay o("frames");
  VyoTextureInfo info{sizeof(info), 5, 64, 32, 87, 0, 0x1234};
  ASSERT_EQ(vyo_overlay_open_texture(o.ov, &info), VYO_OK) << vyo_overlay_last_error();
  std::vector<uint8_t> px(64 * 32 * 4);
  VyoFrame f{sizeof(f)};
  EXPECT_EQ(vyo_overlay_read_frame(o.ov, 5, px.data(), 256, 64, 32, &f), VYO_E_UNSUPPORTED);
  VyoTextureInfo back{sizeof(back)};
  ASSERT_EQ(vyo_overlay_texture_info(o.ov, 5, &back), VYO_OK);
  EXPECT_EQ(back.shared_handle, 0x1234u);
}
#endif

}  // namespace
