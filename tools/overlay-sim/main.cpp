// overlay-sim: plays the overlay for one short session and prints the exchange.
//
//   overlay-sim [--host PATH] [--url URL] [--seconds N] [--out DIR] [--marker] [--bad-args]
//                                             run a session against the host (default: beside us);
//                                             view 1 shows URL (default: a page that cannot load);
//                                             the views' textures are read all along; --out writes
//                                             view_<id>.png and surface.png there at the end;
//                                             --marker reads the page's clock marker for latency;
//                                             --check fails (exit 1) unless view 1 showed a frame
//                                             and its picture is not blank (needs --out)
//   overlay-sim --sleep-ms N                  just live N ms (a stand-in parent process for tests)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "base/text.h"
#include "platform/image_decoder.h"
#include "protocol/shared_memory_layout.h"
#include "protocol/commands.h"
#include "overlay_sim.h"

using namespace vyo;

namespace {

void Trace(const char* direction, const std::string& what) { std::printf("%s %s\n", direction, what.c_str()); }

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

// Prints what the host says. The hit-mask heartbeat comes every 100 ms: it is counted and printed
// once a second (and at the end) as one line, so that the exchange stays readable.
class HostPrinter {
 public:
  void Show(const sim::HostMessage& m) {
    if (m.type != host::kHitMaskHeartbeat) {
      Trace("host -> overlay:", host::DescribeHostMessage(m.type, m.payload));
      return;
    }
    if (pending_ == 0) since_ms_ = NowMs();
    ++pending_;
    ++heartbeats_;
    last_heartbeat_ = host::DescribeHostMessage(m.type, m.payload);
    Tick();
  }
  // Prints the heartbeats counted so far once a second has gone by since the first of them.
  void Tick() {
    if (pending_ != 0 && NowMs() - since_ms_ >= 1000) Flush();
  }
  void Flush() {
    if (pending_ == 0) return;
    Trace("host -> overlay:", last_heartbeat_ + " (x" + std::to_string(pending_) + " in " +
                                  std::to_string(NowMs() - since_ms_) + " ms)");
    pending_ = 0;
  }
  uint32_t heartbeats() const { return heartbeats_; }

 private:
  uint32_t pending_ = 0, heartbeats_ = 0;
  uint64_t since_ms_ = 0;
  std::string last_heartbeat_;
};

// Prints every host message that arrives within `ms` milliseconds (a fixed span: the heartbeat
// never lets the pipe go quiet).
void Drain(sim::OverlaySim& s, HostPrinter& printer, uint32_t ms) {
  const uint64_t deadline = NowMs() + ms;
  for (uint64_t now = NowMs(); now < deadline && s.Connected(); now = NowMs()) {
    if (auto m = s.Next(static_cast<uint32_t>(deadline - now))) printer.Show(*m);
    printer.Tick();
  }
}

void SendTraced(sim::OverlaySim& s, const host::Command& c, const std::string& detail) {
  Trace("overlay -> host:", std::string(host::CommandName(host::CommandTypeOf(c))) + " " + detail);
  s.Send(c);
}

// Lives `ms` milliseconds: host messages are printed, the views' textures read as they change.
void Live(sim::OverlaySim& s, HostPrinter& printer, uint32_t ms, bool marker) {
  const uint64_t deadline = NowMs() + ms;
  while (NowMs() < deadline) {
    while (auto m = s.Next(0)) printer.Show(*m);
    printer.Tick();
    s.surface().Poll(marker);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// What the overlay must have seen of view 1 for the session to count as a success (--check): at
// least one frame, and a written picture that shows a page: some visible pixels, and more than one
// colour among them.
bool CheckView(sim::OverlaySim& s, uint32_t view_id, const std::string& png_path) {
  const sim::ViewCopy* v = s.surface().View(view_id);
  if (v == nullptr || v->frames == 0) {
    std::fprintf(stderr, "overlay-sim: check failed: no frame was read from view %u\n", view_id);
    return false;
  }
  platform::DecodedImage image;
  if (png_path.empty() || !platform::DecodeImageFile(Utf8ToUtf16(png_path), &image)) {
    std::fprintf(stderr, "overlay-sim: check failed: cannot read the picture of view %u back\n", view_id);
    return false;
  }
  uint64_t visible = 0;
  std::set<uint32_t> colours;
  for (size_t i = 0; i + 3 < image.pixels.size(); i += 4) {
    if (image.pixels[i + 3] == 0) continue;
    ++visible;
    if (colours.size() < 16) {
      uint32_t c;
      std::memcpy(&c, &image.pixels[i], 4);
      colours.insert(c);
    }
  }
  const uint64_t total = static_cast<uint64_t>(image.width) * image.height;
  std::printf("check: view %u: %u frames, %llu of %llu pixels visible, %s colours\n", view_id, v->frames,
              static_cast<unsigned long long>(visible), static_cast<unsigned long long>(total),
              colours.size() >= 16 ? "16 or more" : std::to_string(colours.size()).c_str());
  if (visible == 0 || colours.size() < 2) {
    std::fprintf(stderr, "overlay-sim: check failed: the picture of view %u is blank\n", view_id);
    return false;
  }
  return true;
}

// Frames per second and latency of every view the overlay read.
void PrintFrames(sim::OverlaySim& s) {
  for (uint32_t id : s.surface().ViewIds()) {
    const sim::ViewCopy* v = s.surface().View(id);
    const double span = static_cast<double>(v->last_frame_ms - v->first_frame_ms) / 1000.0;
    const double fps = v->frames > 1 && span > 0 ? (v->frames - 1) / span : 0.0;
    std::printf("view %u: %ux%u, %u updates (%u full, %u partial), %.1f frames/s", id, v->width, v->height, v->frames,
                v->full_updates, v->partial_updates, fps);
    if (!v->latencies_ms.empty()) {
      std::vector<int64_t> l = v->latencies_ms;
      std::sort(l.begin(), l.end());
      std::printf(", latency median %lld ms, p95 %lld ms", static_cast<long long>(l[l.size() / 2]),
                  static_cast<long long>(l[l.size() * 95 / 100]));
    }
    std::printf("\n");
  }
}

void PrintBeat(sim::OverlaySim& s) {
  const sim::BeatMap b = s.ReadBeatMap();
  std::printf("beat map: frames=%u stage=%s(%u) stage_counter=%u detail=%u\n", b.frame_counter,
              host::StageName(static_cast<int32_t>(b.stage)), b.stage, b.stage_counter, b.detail);
}

}  // namespace

int main(int argc, char** argv) {
  std::u16string host_path = sim::OverlaySim::DefaultHostPath();
  bool bad_args = false;
  std::u16string url = u"https://example.invalid/";
  int seconds = 1;
  std::string out_dir;
  bool marker = false;
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--sleep-ms") == 0 && i + 1 < argc) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[i + 1])));
      return 0;
    }
    if (std::strcmp(argv[i], "--host") == 0 && i + 1 < argc) host_path = Utf8ToUtf16(argv[++i]);
    if (std::strcmp(argv[i], "--bad-args") == 0) bad_args = true;
    if (std::strcmp(argv[i], "--url") == 0 && i + 1 < argc) url = Utf8ToUtf16(argv[++i]);
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::max(1, std::atoi(argv[++i]));
    if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) out_dir = argv[++i];
    if (std::strcmp(argv[i], "--marker") == 0) marker = true;
    if (std::strcmp(argv[i], "--check") == 0) check = true;
  }

  auto s = sim::OverlaySim::Create("cli");
  if (!s) {
    std::fprintf(stderr, "overlay-sim: cannot create the input ring, input event or beat map\n");
    return 1;
  }
  std::vector<std::u16string> args = s->HostArgs();
  if (bad_args) args.resize(2);  // only --pipe: the host must refuse the command line
  std::printf("starting host: %s", Utf16ToUtf8(host_path).c_str());
  for (const auto& a : args) std::printf(" %s", Utf16ToUtf8(a).c_str());
  std::printf("\n");
  if (!s->StartHost(host_path, args)) {
    std::fprintf(stderr, "overlay-sim: cannot start the host\n");
    return 1;
  }
  if (bad_args) {
    const auto code = s->WaitExit(10000);
    std::printf("host exited with %s\n", code ? std::to_string(*code).c_str() : "(still running)");
    return code ? 0 : 1;
  }
  if (!s->Connect(10000)) {
    std::fprintf(stderr, "overlay-sim: the host did not open its pipe\n");
    return 1;
  }
  std::printf("connected to the host's pipe\n");
  if (!s->WaitFor(host::kHostHello, 5000)) {
    std::fprintf(stderr, "overlay-sim: no HostHello\n");
    return 1;
  }
  HostPrinter printer;
  printer.Show(s->received().back());
  Drain(*s, printer, 200);

  SendTraced(*s, host::SurfaceInfoCmd{1920, 1080}, "1920x1080");
  SendTraced(*s, host::ViewCreateCmd{1, 0, 0, 800, 600, true, url}, "view=1 800x600 visible " + Utf16ToUtf8(url));
  SendTraced(*s, host::ViewCreateCmd{2, 10, 10, 300, 200, false, u""}, "view=2 300x200 hidden");
  SendTraced(*s, host::ViewSetFrameRateCmd{1, 60}, "view=1 fps=60");
  SendTraced(*s, host::ViewSetRectCmd{2, 20, 20, 400, 300}, "view=2 400x300");
  SendTraced(*s, host::ViewSetZOrderCmd{2, 5}, "view=2 z=5");
  Drain(*s, printer, 300);

  host::InputRecord record{};
  for (int i = 0; i < 3; ++i) s->WriteInput(record);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::printf("input ring: host read index=%u after 3 records\n", s->InputReadIndex());
  PrintBeat(*s);
  // Let the view live for a while; print what the host says and read what it draws meanwhile.
  Live(*s, printer, static_cast<uint32_t>(seconds) * 1000, marker);
  printer.Flush();
  PrintBeat(*s);
  PrintFrames(*s);
  std::vector<std::string> pictures;
  std::string view1_png;
  if (!out_dir.empty()) {
    for (uint32_t id : s->surface().ViewIds()) {
      const std::string path = out_dir + "/view_" + std::to_string(id) + ".png";
      if (s->surface().WriteViewPng(id, path)) {
        pictures.push_back(path);
        if (id == 1) view1_png = path;
      }
      const std::string mask_path = out_dir + "/view_" + std::to_string(id) + "_hitmask.png";
      if (s->surface().WriteHitMaskPng(id, mask_path)) pictures.push_back(mask_path);
    }
    const std::string path = out_dir + "/surface.png";
    if (s->surface().WriteSurfacePng(1920, 1080, 0x2b3a4a, path)) pictures.push_back(path);
  }
  const bool checked = !check || CheckView(*s, 1, view1_png);

  SendTraced(*s, host::ViewDestroyCmd{2}, "view=2");
  Drain(*s, printer, 300);
  printer.Flush();
  std::printf("closing the pipe\n");
  s->CloseConnection();
  const auto code = s->WaitExit(10000);
  if (!code) {
    std::fprintf(stderr, "overlay-sim: the host did not exit\n");
    return 1;
  }
  std::printf("host exited with %u\n", *code);
  for (const auto& p : pictures) std::printf("picture: %s\n", p.c_str());
  const sim::ViewCopy* v1 = s->surface().View(1);
  std::printf("figures: view 1 %u frames (%u full, %u partial), %zu host messages, %u heartbeats, host exit %u\n",
              v1 != nullptr ? v1->frames : 0, v1 != nullptr ? v1->full_updates : 0,
              v1 != nullptr ? v1->partial_updates : 0, s->received().size(), printer.heartbeats(), *code);
  return *code == 0 && checked ? 0 : 1;
}
