// Frames, measured in one run against their baselines.
//
// Fixtures: a bare DevTools client (the browser started with its pipe, one page target in its own
// window, Page.startScreencast, every frame acknowledged at once) records real screencast messages
// of an animated page at 800x600 and 1920x1080. Its frames per second are the browser's own pace.
//
// Per frame (each fixture set, cycling through its frames):
//   FindFrame    finding the frame's ids and image in the message text (what the reader does)
//   JsonParse    a JSON tree of the whole message (what the reader avoids)
//   Base64       the image text to PNG bytes
//   DecodeSpng / DecodeLibpng   PNG to RGBA (the host uses libspng)
//   Swap / SwapScalar           RGBA to BGRA (vector and scalar)
//   Publish      keyed mutex, full copy into a CPU-device texture, DirtyMap, release
//   Memcpy       a plain memcpy of the same bytes (the publish goal: at most 1.2x)
//
// End to end (printed after the table): frames per second and change-to-texture latency of an
// animated page that paints the wall clock into its top-left pixels, read by the reference overlay
// from the real host's shared texture, beside the bare client reading the same browser's
// screencast of the same page (latency: clock marker decoded from each frame).
#include <benchmark/benchmark.h>
#include <png.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "bench_mode.h"
#include "capture/pixel_convert.h"
#include "overlay_sim.h"
#include "platform/image_decoder.h"
#include "platform/process.h"
#include "platform/system.h"
#include "protocol/texture_layout.h"
#include "renderers/cdp/browser_process.h"
#include "renderers/cdp/cdp_capture.h"

namespace {

using namespace vyo;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

// An animated page: a gradient, text, a moving block and the wall-clock marker (ms modulo 2^24 as
// the colour of the top-left 8 x 8 pixels).
std::string AnimatedPage() {
  return "<!doctype html><html><head><style>html,body{margin:0;height:100%;overflow:hidden;"
         "background:linear-gradient(135deg,#1d2b64,#f8cdda)}#m{position:absolute;top:40%;width:120px;height:120px;"
         "border-radius:20px;background:rgba(255,200,0,.8)}p{font:28px sans-serif;color:#fff;margin:60px}"
         "canvas{position:absolute;left:0;top:0}</style></head><body><canvas id=c width=8 height=8></canvas>"
         "<p>Overlay frames: the quick brown fox jumps over the lazy dog 0123456789</p><div id=m></div><script>"
         "const g=document.getElementById('c').getContext('2d');const m=document.getElementById('m');"
         "function f(){const t=Date.now()%16777216;g.fillStyle='rgb('+(t>>16)+','+((t>>8)&255)+','+(t&255)+')';"
         "g.fillRect(0,0,8,8);m.style.left=(40+(t/4)%600)+'px';requestAnimationFrame(f);}f();</script></body></html>";
}

std::string Browser() {
  if (auto chosen = platform::GetEnv("VYO_BROWSER"); chosen && !chosen->empty()) return *chosen;
  for (const auto& p : web::cdp::DefaultBrowserLocations())
    if (web::cdp::IsExecutableFile(p)) return p;
  return {};
}

int64_t MarkerLag(const std::vector<uint8_t>& png) {
  platform::DecodedImage image;
  if (!platform::DecodePng(png.data(), png.size(), &image) || image.width < 4) return -1;
  const uint8_t* p = image.pixels.data() + (size_t(image.width) * 2 + 2) * 4;  // RGBA, pixel (2, 2)
  if (p[3] != 255) return -1;
  const int64_t marker = (int64_t{p[0]} << 16) | (int64_t{p[1]} << 8) | p[2];
  const int64_t now = static_cast<int64_t>(sim::WallClockMs() & 0xFFFFFF);
  const int64_t lag = (now - marker + (1 << 24)) % (1 << 24);
  return lag < 10000 ? lag : -1;
}

struct BareRun {
  std::vector<std::string> messages;  // recorded frame messages
  double fps = 0;
  std::vector<int64_t> latencies;
};

// The bare DevTools client: reads the screencast of `url` at width x height for `seconds`.
BareRun RunBareClient(const std::string& url, int width, int height, double seconds, size_t record, bool latency) {
  BareRun run;
  const fs::path profile = fs::temp_directory_path() / ("vyo_bench_frames_" + std::to_string(platform::CurrentProcessId()));
  std::vector<std::string> args = {"--headless=new", "--user-data-dir=" + profile.string(), "--no-first-run",
                                   "--disable-gpu", "--disable-background-networking", "--disable-component-update",
                                   "about:blank"};
  if (web::cdp::SandboxMustBeOff()) args.insert(args.begin(), "--no-sandbox");
  std::string error;
  auto browser = web::cdp::BrowserProcess::Start(Browser(), args, &error);
  if (!browser) return run;
  std::mutex write_mutex;
  int next_id = 1;
  auto send = [&](const std::string& method, const nlohmann::json& params, const std::string& session) {
    nlohmann::json m{{"id", next_id++}, {"method", method}, {"params", params}};
    if (!session.empty()) m["sessionId"] = session;
    std::string text = m.dump();
    text.push_back('\0');
    std::lock_guard<std::mutex> lock(write_mutex);
    browser->Write(text.data(), text.size());
  };
  std::string buffer;
  char chunk[1 << 16];
  // Reads until `want` returns true for a message (JSON answers) or frames were read for `seconds`.
  std::string session, target;
  auto read_until = [&](const std::function<bool(std::string_view)>& want, double limit_s) {
    const auto end = SteadyClock::now() + std::chrono::duration<double>(limit_s);
    while (SteadyClock::now() < end) {
      const long got = browser->Read(chunk, sizeof chunk);
      if (got <= 0) return false;
      buffer.append(chunk, size_t(got));
      size_t start = 0;
      bool done = false;
      for (size_t nul; !done && (nul = buffer.find('\0', start)) != std::string::npos; start = nul + 1) {
        done = want(std::string_view(buffer).substr(start, nul - start));
      }
      buffer.erase(0, start);
      if (done) return true;
    }
    return false;
  };
  auto answer_of = [&](int id, nlohmann::json* out) {
    return read_until([&](std::string_view text) {
      if (text.find("\"id\":" + std::to_string(id) + ",") == std::string_view::npos &&
          text.find("\"id\":" + std::to_string(id) + "}") == std::string_view::npos)
        return false;
      *out = nlohmann::json::parse(text, nullptr, false);
      return true;
    }, 20);
  };
  nlohmann::json answer;
  int id = next_id;
  send("Target.createTarget", {{"url", "about:blank"}, {"newWindow", true}}, "");
  if (!answer_of(id, &answer)) return run;
  target = answer["result"]["targetId"];
  id = next_id;
  send("Target.attachToTarget", {{"targetId", target}, {"flatten", true}}, "");
  if (!answer_of(id, &answer)) return run;
  session = answer["result"]["sessionId"];
  send("Emulation.setDeviceMetricsOverride", {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}}, session);
  send("Page.enable", nlohmann::json::object(), session);
  id = next_id;
  send("Page.navigate", {{"url", url}}, session);
  answer_of(id, &answer);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  send("Page.startScreencast", {{"format", "png"}, {"maxWidth", width}, {"maxHeight", height}, {"everyNthFrame", 1}}, session);
  size_t frames = 0;
  SteadyClock::time_point first{}, last{};
  const double warmup = 1.0;
  const auto begin = SteadyClock::now();
  read_until([&](std::string_view text) {
    web::cdp::ScreencastFrameRef ref;
    if (!web::cdp::FindScreencastFrame(text, &ref)) return false;
    send("Page.screencastFrameAck", {{"sessionId", ref.ack_id}}, session);
    const auto now = SteadyClock::now();
    if (std::chrono::duration<double>(now - begin).count() < warmup) return false;
    if (frames == 0) first = now;
    last = now;
    ++frames;
    if (run.messages.size() < record) run.messages.emplace_back(text);
    if (latency) {
      std::vector<uint8_t> png;
      web::cdp::Base64Decode(ref.data, &png);
      if (int64_t lag = MarkerLag(png); lag >= 0) run.latencies.push_back(lag);
    }
    return false;
  }, warmup + seconds);
  if (frames > 1) run.fps = (frames - 1) / std::chrono::duration<double>(last - first).count();
  send("Browser.close", nlohmann::json::object(), "");
  browser->WaitExit(3000);
  browser->Kill();
  fs::remove_all(profile);
  return run;
}

struct Fixture {
  std::string name;
  int width, height;
  BareRun bare;
  std::vector<std::vector<uint8_t>> pngs;
};
std::vector<Fixture> g_fixtures;
fs::path g_site;

bool DecodeLibpng(const std::vector<uint8_t>& png, std::vector<uint8_t>* out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return false;
  image.format = PNG_FORMAT_RGBA;
  out->resize(PNG_IMAGE_SIZE(image));
  const bool ok = png_image_finish_read(&image, nullptr, out->data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

void RegisterFixture(Fixture& f) {
  const std::string n = "/" + f.name;
  const double bytes = double(f.width) * f.height * 4;
  auto per_frame = [&f](benchmark::State& state, auto&& body) {
    size_t i = 0;
    for (auto _ : state) {
      body(i % f.pngs.size());
      ++i;
    }
    state.counters["browser_ms_per_frame"] = f.bare.fps > 0 ? 1000.0 / f.bare.fps : 0;
  };
  benchmark::RegisterBenchmark(("FindFrame" + n).c_str(), [&f, per_frame](benchmark::State& s) {
    per_frame(s, [&](size_t i) {
      web::cdp::ScreencastFrameRef ref;
      benchmark::DoNotOptimize(web::cdp::FindScreencastFrame(f.bare.messages[i], &ref));
    });
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("JsonParse" + n).c_str(), [&f, per_frame](benchmark::State& s) {
    per_frame(s, [&](size_t i) { benchmark::DoNotOptimize(nlohmann::json::parse(f.bare.messages[i])); });
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("Base64" + n).c_str(), [&f, per_frame](benchmark::State& s) {
    std::vector<uint8_t> out;
    per_frame(s, [&](size_t i) {
      web::cdp::ScreencastFrameRef ref;
      web::cdp::FindScreencastFrame(f.bare.messages[i], &ref);
      web::cdp::Base64Decode(ref.data, &out);
    });
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("DecodeSpng" + n).c_str(), [&f, per_frame](benchmark::State& s) {
    platform::DecodedImage image;
    per_frame(s, [&](size_t i) { platform::DecodePng(f.pngs[i].data(), f.pngs[i].size(), &image); });
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("DecodeLibpng" + n).c_str(), [&f, per_frame](benchmark::State& s) {
    std::vector<uint8_t> out;
    per_frame(s, [&](size_t i) { DecodeLibpng(f.pngs[i], &out); });
  })->Unit(benchmark::kMillisecond);
  for (bool scalar : {false, true}) {
    benchmark::RegisterBenchmark(((scalar ? "SwapScalar" : "Swap") + n).c_str(), [&f, scalar, bytes](benchmark::State& s) {
      std::vector<uint8_t> px(size_t(bytes), 7);
      capture::ForceScalarPixelConvert(scalar);
      for (auto _ : s) capture::SwapRedBlue(px.data(), px.data(), px.size() / 4);
      capture::ForceScalarPixelConvert(false);
      s.SetBytesProcessed(int64_t(s.iterations() * bytes));
    })->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark(("Publish" + n).c_str(), [&f, bytes](benchmark::State& s) {
    auto device = platform::GpuDevice::Create();
    auto texture = device->CreateSharedTexture(uint32_t(f.width), uint32_t(f.height));
    std::vector<uint8_t> dirty(host::kDirtyMapSize);
    std::vector<uint8_t> px(size_t(bytes), 9);
    for (auto _ : s) {
      if (!texture->AcquireSync(host::kHostKey, 0)) s.SkipWithError("mutex");
      texture->CopyRegion(px.data(), size_t(f.width) * 4, 0, 0, f.width, f.height);
      host::PublishDirty(dirty.data(), true, 0, 0, f.width, f.height);
      texture->ReleaseSync(host::kOverlayKey);
      texture->AcquireSync(host::kOverlayKey, 0);  // the overlay's turn, instantly
      texture->ReleaseSync(host::kHostKey);
    }
    s.SetBytesProcessed(int64_t(s.iterations() * bytes));
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("Memcpy" + n).c_str(), [bytes](benchmark::State& s) {
    std::vector<uint8_t> src(static_cast<size_t>(bytes), 9), dst(static_cast<size_t>(bytes));
    for (auto _ : s) {
      std::memcpy(dst.data(), src.data(), src.size());
      benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(int64_t(s.iterations() * bytes));
  })->Unit(benchmark::kMillisecond);
}

struct HostRun {
  double fps = 0;
  std::vector<int64_t> latencies;
};

HostRun RunHost(const std::string& dir, int width, int height, double seconds) {
  HostRun run;
  auto s = sim::OverlaySim::Create("bench_frames");
  if (!s || !s->StartHost() || !s->Connect(20000) || !s->WaitFor(host::kEnvironmentResult, 30000)) return run;
  s->Send(host::ViewCreateCmd{1, 0, 0, width, height, true, u"vyodir:" + Utf8ToUtf16(dir)});
  s->Send(host::ViewSetFrameRateCmd{1, 60});
  const auto pump = [&](double secs) {
    const auto end = SteadyClock::now() + std::chrono::duration<double>(secs);
    while (SteadyClock::now() < end) {
      while (s->Next(0)) {
      }
      s->surface().Poll(true);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  };
  pump(4.0);  // page up and warm
  const sim::ViewCopy* v = s->surface().View(1);
  if (v == nullptr) return run;
  const uint32_t frames0 = v->frames;
  const size_t lat0 = v->latencies_ms.size();
  const auto begin = SteadyClock::now();
  pump(seconds);
  const double span = std::chrono::duration<double>(SteadyClock::now() - begin).count();
  run.fps = (v->frames - frames0) / span;
  run.latencies.assign(v->latencies_ms.begin() + lat0, v->latencies_ms.end());
  s->CloseConnection();
  s->WaitExit(10000);
  return run;
}

double Median(std::vector<int64_t> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return double(v[v.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (Browser().empty()) {
    std::printf("bench_frames: no browser on this machine, nothing measured\n");
    return 0;
  }
  g_site = fs::temp_directory_path() / ("vyo_bench_frames_site_" + std::to_string(platform::CurrentProcessId()));
  fs::create_directories(g_site);
  std::ofstream(g_site / "index.html") << AnimatedPage();
  const std::string url = "file://" + (g_site / "index.html").string();
  g_fixtures = {{"800x600", 800, 600, {}, {}}, {"1920x1080", 1920, 1080, {}, {}}};
  for (Fixture& f : g_fixtures) {
    f.bare = RunBareClient(url, f.width, f.height, bench::Seconds(4.0), 40, false);
    for (const auto& m : f.bare.messages) {
      web::cdp::ScreencastFrameRef ref;
      std::vector<uint8_t> png;
      if (web::cdp::FindScreencastFrame(m, &ref) && web::cdp::Base64Decode(ref.data, &png)) f.pngs.push_back(std::move(png));
    }
    std::printf("fixture %s: %zu frames recorded, browser %.1f frames/s (%.1f ms per frame), PNG %.0f KiB\n",
                f.name.c_str(), f.pngs.size(), f.bare.fps, f.bare.fps > 0 ? 1000 / f.bare.fps : 0,
                f.pngs.empty() ? 0.0 : f.pngs[0].size() / 1024.0);
    if (!f.pngs.empty()) RegisterFixture(f);
  }
  std::printf("pixel conversion: %s\n", capture::PixelConvertKind());
  benchmark::RunSpecifiedBenchmarks();

  std::printf("\nend to end, 800x600 animated page, %.0f s each, same browser build:\n", bench::Seconds(6.0));
  const BareRun bare = RunBareClient(url, 800, 600, bench::Seconds(6.0), 0, true);
  const HostRun host = RunHost(g_site.string(), 800, 600, bench::Seconds(6.0));
  std::printf("  bare DevTools client: %.1f frames/s, change-to-frame latency median %.0f ms (%zu samples)\n", bare.fps,
              Median(bare.latencies), bare.latencies.size());
  std::printf("  through the host:     %.1f frames/s, change-to-texture latency median %.0f ms (%zu samples)\n",
              host.fps, Median(host.latencies), host.latencies.size());
  if (bare.fps > 0) std::printf("  host / bare frames per second: %.2f\n", host.fps / bare.fps);
  fs::remove_all(g_site);
  benchmark::Shutdown();
  return 0;
}
