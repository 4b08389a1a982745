// overlay-sim: plays the overlay for one short session and prints the exchange.
//
//   overlay-sim [--host PATH] [--url URL] [--seconds N] [--out DIR] [--marker] [--bad-args]
//                                             run a session against the host (default: beside us);
//                                             view 1 shows URL (default: a page that cannot load);
//                                             the views' textures are read all along; --out writes
//                                             view_<id>.png and surface.png there at the end;
//                                             --marker reads the page's clock marker for latency
//   overlay-sim --sleep-ms N                  just live N ms (a stand-in parent process for tests)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "base/text.h"
#include "protocol/shared_memory_layout.h"
#include "protocol/commands.h"
#include "overlay_sim.h"

using namespace vyo;

namespace {

void Trace(const char* direction, const std::string& what) { std::printf("%s %s\n", direction, what.c_str()); }

void Drain(sim::OverlaySim& s, uint32_t ms) {
  while (auto m = s.Next(ms)) Trace("host -> overlay:", host::DescribeHostMessage(m->type, m->payload));
}

void SendTraced(sim::OverlaySim& s, const host::Command& c, const std::string& detail) {
  Trace("overlay -> host:", std::string(host::CommandName(host::CommandTypeOf(c))) + " " + detail);
  s.Send(c);
}

// Lives `ms` milliseconds: host messages are printed, the views' textures read as they change.
void Live(sim::OverlaySim& s, uint32_t ms, bool marker) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    while (auto m = s.Next(0)) Trace("host -> overlay:", host::DescribeHostMessage(m->type, m->payload));
    s.surface().Poll(marker);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
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
  Trace("host -> overlay:", host::DescribeHostMessage(host::kHostHello, s->received().back().payload));
  Drain(*s, 200);

  SendTraced(*s, host::SurfaceInfoCmd{1920, 1080}, "1920x1080");
  SendTraced(*s, host::ViewCreateCmd{1, 0, 0, 800, 600, true, url}, "view=1 800x600 visible " + Utf16ToUtf8(url));
  SendTraced(*s, host::ViewCreateCmd{2, 10, 10, 300, 200, false, u""}, "view=2 300x200 hidden");
  SendTraced(*s, host::ViewSetFrameRateCmd{1, 60}, "view=1 fps=60");
  SendTraced(*s, host::ViewSetRectCmd{2, 20, 20, 400, 300}, "view=2 400x300");
  SendTraced(*s, host::ViewSetZOrderCmd{2, 5}, "view=2 z=5");
  Drain(*s, 300);

  host::InputRecord record{};
  for (int i = 0; i < 3; ++i) s->WriteInput(record);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::printf("input ring: host read index=%u after 3 records\n", s->InputReadIndex());
  PrintBeat(*s);
  // Let the view live for a while; print what the host says and read what it draws meanwhile.
  Live(*s, static_cast<uint32_t>(seconds) * 1000, marker);
  PrintBeat(*s);
  PrintFrames(*s);
  if (!out_dir.empty()) {
    for (uint32_t id : s->surface().ViewIds()) {
      const std::string path = out_dir + "/view_" + std::to_string(id) + ".png";
      if (s->surface().WriteViewPng(id, path)) std::printf("wrote %s\n", path.c_str());
      const std::string mask_path = out_dir + "/view_" + std::to_string(id) + "_hitmask.png";
      if (s->surface().WriteHitMaskPng(id, mask_path)) std::printf("wrote %s\n", mask_path.c_str());
    }
    const std::string path = out_dir + "/surface.png";
    if (s->surface().WriteSurfacePng(1920, 1080, 0x2b3a4a, path)) std::printf("wrote %s\n", path.c_str());
  }

  SendTraced(*s, host::ViewDestroyCmd{2}, "view=2");
  Drain(*s, 300);
  std::printf("closing the pipe\n");
  s->CloseConnection();
  const auto code = s->WaitExit(10000);
  if (!code) {
    std::fprintf(stderr, "overlay-sim: the host did not exit\n");
    return 1;
  }
  std::printf("host exited with %u\n", *code);
  return *code == 0 ? 0 : 1;
}
