// Web content speed through the real host and the real browser, each figure beside a baseline of
// the same files served by a plain local HTTP server (loopback, keep-alive, files held in memory)
// to the same browser in the same run.
//
// The host is the loopback-telemetry build (bin/qos-loopback/FenyraOverlayHost): the collector run
// here on 127.0.0.1:18765 receives its events, and kind 41 (navigation completed; integers: 0 on
// success, ms since the view's navigation started, view id) is how completion is seen from outside.
// A page says "done" by navigating to done.html, which is a second kind-41 event for its view.
//
// BM_ViewCreateToNavigated: the time from sending ViewCreate to the collector receiving the view's
// first navigation-completed event, for a packaged site (vyopkg:, built by vyo-pack with the
// development keys) and for the same site from the HTTP server (http://127.0.0.1:PORT/index.html).
// The page's script checks that its style sheet and image arrived and then moves to done.html; the
// iteration waits for that too, so only pages that really worked are counted. Packaged and HTTP
// views alternate; the counters are medians in milliseconds, and their ratio.
//
// BM_ResourceAnswers: a page (fetch.html) fetches the same entry N times one after the other
// (cache: 'no-store'; the host also disables the browser's HTTP cache) and then moves to
// done.html. The time between its two navigation-completed events, measured by the host's clock,
// minus the same time for a page that fetches nothing (fetch0.html), is the time of N answers.
// After the first fetch the packaged entry is answered from the mount's cache of decrypted entries.
//
// Needs a Chromium-family browser (the host looks for /usr/bin/chromium and the usual places, or
// VYO_BROWSER); without one the benchmarks skip with a message. Uses TCP port 18765 for the
// collector, like the browser tests: do not run both at once.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "bench_mode.h"
#include "goal_report.h"
#include "overlay_sim.h"
#include "platform/process.h"
#include "qos/test_http_server.h"

namespace {

using namespace vyo;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kWaitMs = 30000;
// A page normally completes well within a second; one that has not after this long is counted as
// incomplete (and reported), not measured.
constexpr uint32_t kPageWaitMs = 10000;
constexpr int kMaxIncomplete = 3;
constexpr uint16_t kCollectorPort = 18765;

// ---------------------------------------------------------------------------------------------
// The site

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutU32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void PngChunk(std::string& out, const char* type, const std::string& data) {
  PutU32(out, static_cast<uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  out += body;
  PutU32(out, Crc32(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

// A 64x64 RGBA gradient as a PNG (zlib stream with one stored block): a real 16 KiB image.
std::string GradientPng() {
  constexpr uint32_t kSide = 64;
  std::string raw;
  for (uint32_t y = 0; y < kSide; ++y) {
    raw.push_back('\0');  // filter: none
    for (uint32_t x = 0; x < kSide; ++x) {
      raw.push_back(static_cast<char>(x * 4));
      raw.push_back(static_cast<char>(y * 4));
      raw.push_back(static_cast<char>(128 + ((x ^ y) & 63)));
      raw.push_back(static_cast<char>(255));
    }
  }
  std::string z = "\x78\x01";
  z.push_back('\x01');  // final stored block
  const auto len = static_cast<uint16_t>(raw.size());
  z.push_back(static_cast<char>(len & 0xFF));
  z.push_back(static_cast<char>(len >> 8));
  z.push_back(static_cast<char>(~len & 0xFF));
  z.push_back(static_cast<char>((~len >> 8) & 0xFF));
  z += raw;
  uint32_t a = 1, b = 0;
  for (char c : raw) {
    a = (a + static_cast<uint8_t>(c)) % 65521;
    b = (b + a) % 65521;
  }
  PutU32(z, (b << 16) | a);
  std::string ihdr;
  PutU32(ihdr, kSide);
  PutU32(ihdr, kSide);
  ihdr += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA
  std::string png = "\x89PNG\r\n\x1a\n";
  PngChunk(png, "IHDR", ihdr);
  PngChunk(png, "IDAT", z);
  PngChunk(png, "IEND", "");
  return png;
}

// A small site: a page with a style sheet, a script and an image, and the pages of the fetch loop.
std::map<std::string, std::string> SiteFiles(int fetches) {
  std::map<std::string, std::string> files;
  files["index.html"] =
      "<!doctype html><html><head><meta charset=\"utf-8\"><title>Overlay</title>"
      "<link rel=\"stylesheet\" href=\"style.css\"><script src=\"app.js\"></script></head>"
      "<body><header><h1>Overlay</h1></header><main><ul id=\"list\"></ul>"
      "<img id=\"logo\" src=\"img/logo.png\" alt=\"logo\"></main></body></html>";
  std::string css = "body { color: rgb(1, 2, 3); font: 14px sans-serif; margin: 0; }\n";
  for (int i = 0; i < 60; ++i) {
    css += ".item-" + std::to_string(i) + " { padding: " + std::to_string(i % 7) + "px; border-left: " +
           std::to_string(i % 3 + 1) + "px solid rgba(" + std::to_string(i * 4) + ", 80, 160, 0.5); }\n";
  }
  files["style.css"] = css;
  files["app.js"] =
      "'use strict';\n"
      "function render(list, n) {\n"
      "  for (let i = 0; i < n; ++i) {\n"
      "    const li = document.createElement('li');\n"
      "    li.className = 'item-' + i;\n"
      "    li.textContent = 'Entry ' + i;\n"
      "    list.appendChild(li);\n"
      "  }\n"
      "}\n"
      "window.addEventListener('load', () => {\n"
      "  render(document.getElementById('list'), 60);\n"
      "  const styled = getComputedStyle(document.body).color === 'rgb(1, 2, 3)';\n"
      "  const image = document.getElementById('logo').naturalWidth === 64;\n"
      "  if (styled && image) location.href = 'done.html';\n"
      "});\n";
  files["img/logo.png"] = GradientPng();
  files["done.html"] = "<!doctype html><html><body>done</body></html>";
  std::string data = "{\"items\":[";
  for (int i = 0; i < 40; ++i) data += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + ",\"name\":\"entry\"}";
  data += "]}";
  files["data.json"] = data;
  // The fetch loop reads its count from the page (the script is shared, nothing inline).
  files["fetch.js"] =
      "'use strict';\n"
      "window.addEventListener('load', async () => {\n"
      "  const n = Number(document.body.dataset.n);\n"
      "  let ok = 0;\n"
      "  for (let i = 0; i < n; ++i) {\n"
      "    const r = await fetch('data.json', {cache: 'no-store'});\n"
      "    const j = await r.json();\n"
      "    if (r.ok && j.items.length === 40) ++ok;\n"
      "  }\n"
      "  if (ok === n) location.href = 'done.html';\n"
      "});\n";
  for (int n : {0, fetches}) {
    files["fetch" + std::string(n == 0 ? "0" : "") + ".html"] =
        "<!doctype html><html><head><script src=\"fetch.js\"></script></head><body data-n=\"" + std::to_string(n) +
        "\"></body></html>";
  }
  return files;
}

std::string ContentType(const std::string& path) {
  const auto ends = [&](const char* ext) {
    const std::string e = ext;
    return path.size() >= e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".css")) return "text/css";
  if (ends(".js")) return "text/javascript";
  if (ends(".png")) return "image/png";
  if (ends(".json")) return "application/json";
  return "application/octet-stream";
}

// ---------------------------------------------------------------------------------------------
// The baseline: a plain HTTP/1.1 server on loopback, keep-alive, one thread per connection, the
// files held in memory, the same headers the host's answers carry.

class FileServer {
 public:
  explicit FileServer(std::map<std::string, std::string> files) : files_(std::move(files)) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ok_ = listen_ >= 0 && bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
          listen(listen_, 64) == 0;
    socklen_t len = sizeof(addr);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (ok_) accept_thread_ = std::thread([this] { AcceptLoop(); });
  }
  ~FileServer() {
    stop_ = true;
    shutdown(listen_, SHUT_RDWR);
    close(listen_);
    if (accept_thread_.joinable()) accept_thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (int c : connections_) shutdown(c, SHUT_RDWR);
    for (auto& t : threads_) t.join();
    for (int c : connections_) close(c);
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  uint64_t answers() const { return answers_; }

 private:
  void AcceptLoop() {
    while (!stop_) {
      const int c = accept(listen_, nullptr, nullptr);
      if (c < 0) return;
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.push_back(c);
      threads_.emplace_back([this, c] { Serve(c); });
    }
  }
  void Serve(int c) {
    std::string data;
    char buf[8192];
    for (;;) {
      size_t end;
      while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = recv(c, buf, sizeof(buf), 0);
        if (n <= 0) return;
        data.append(buf, static_cast<size_t>(n));
      }
      const std::string head = data.substr(0, end);
      data.erase(0, end + 4);  // GET requests carry no body
      const size_t sp1 = head.find(' ');
      const size_t sp2 = head.find(' ', sp1 + 1);
      std::string path = sp1 == std::string::npos ? "" : head.substr(sp1 + 1, sp2 - sp1 - 1);
      path = path.substr(0, path.find_first_of("?#"));
      if (!path.empty() && path[0] == '/') path.erase(0, 1);
      if (path.empty()) path = "index.html";
      const auto it = files_.find(path);
      std::string reply;
      if (it == files_.end()) {
        reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nCache-Control: no-store\r\n\r\n";
      } else {
        reply = "HTTP/1.1 200 OK\r\nContent-Type: " + ContentType(path) +
                "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nContent-Length: " +
                std::to_string(it->second.size()) + "\r\n\r\n" + it->second;
      }
      for (size_t sent = 0; sent < reply.size();) {
        const ssize_t n = send(c, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
      }
      ++answers_;
    }
  }

  std::map<std::string, std::string> files_;
  int listen_ = -1;
  bool ok_ = false;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> answers_{0};
  std::thread accept_thread_;
  std::mutex mutex_;
  std::vector<int> connections_;
  std::vector<std::thread> threads_;
};

// ---------------------------------------------------------------------------------------------
// Telemetry seen by the collector

struct Event {
  int kind = 0;
  std::vector<long long> ints;  // the event's own integers
};

std::optional<Event> ParseEvent(const std::string& b) {
  const size_t il = b.find("\"IntList\":[");
  if (il == std::string::npos) return std::nullopt;
  std::vector<long long> all;
  for (size_t p = il + 11; p < b.size() && b[p] != ']';) {
    size_t used = 0;
    try {
      all.push_back(std::stoll(b.substr(p), &used));
    } catch (...) {
      return std::nullopt;
    }
    p += used;
    if (p < b.size() && b[p] == ',') ++p;
  }
  if (all.size() < 6) return std::nullopt;
  Event e;
  e.kind = static_cast<int>(all[4]);
  e.ints.assign(all.begin() + 6, all.end());
  return e;
}

struct Arrival {
  Event event;
  Clock::time_point at;
};

class Collector {
 public:
  Collector() : server_(kCollectorPort, 200) {}
  bool ok() const { return server_.ok(); }

  // Waits for a navigation-completed event of `view` beyond the first `skip` ones; returns it with
  // the time the collector had it.
  std::optional<Arrival> WaitNavigation(uint32_t view, int skip, uint32_t timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int seen = 0;
      for (const auto& a : arrivals_) {
        if (a.event.kind == 41 && a.event.ints.size() >= 3 && a.event.ints[2] == view && seen++ == skip) return a;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      server_.WaitFor(parsed_ + 1, static_cast<int>(std::min<long long>(left, 200)));
      const auto now = Clock::now();
      const auto requests = server_.requests();
      for (; parsed_ < requests.size(); ++parsed_) {
        if (auto e = ParseEvent(requests[parsed_].body)) arrivals_.push_back({*e, now});
      }
    }
  }

 private:
  testing::TestHttpServer server_;
  size_t parsed_ = 0;
  std::vector<Arrival> arrivals_;
};

// ---------------------------------------------------------------------------------------------
// The host, the browser, the package and the baseline server, shared by the benchmarks.

constexpr int kFetches = 200;

std::u16string Exe(const std::u16string& dir, const std::u16string& name) {
  std::u16string path = platform::ExecutableDirectory() + platform::PathSeparator();
  if (!dir.empty()) path += dir + platform::PathSeparator();
  return path + name;
}

class Rig {
 public:
  // Null with `why` set when something is missing.
  static std::unique_ptr<Rig> Make(std::string& why) {
    std::unique_ptr<Rig> rig(new Rig());
    if (!rig->Init(why)) return nullptr;
    return rig;
  }
  ~Rig() {
    stop_drain_ = true;
    if (drain_.joinable()) drain_.join();
    if (sim_) {
      sim_->CloseConnection();
      sim_->WaitExit(kWaitMs);
    }
    std::error_code ec;
    fs::remove_all(work_, ec);
  }

  std::u16string PackageUrl(const std::string& entry) const {
    return u"vyopkg:" + package_.u16string() + (entry.empty() ? u"" : u"!/" + Utf8ToUtf16(entry));
  }
  std::u16string HttpUrl(const std::string& entry) const {
    return Utf8ToUtf16("http://127.0.0.1:" + std::to_string(files_->port()) + "/" + entry);
  }

  struct Visit {
    double to_first_ms = 0;   // ViewCreate sent → collector has the first navigation-completed event
    long long first_host_ms = 0;  // the host's own navigation time of the first page
    long long done_host_ms = 0;   // the host's time from the navigation start to done.html completed
  };

  // Creates a view on `url`, waits for its page and for done.html, and destroys it.
  std::optional<Visit> Run(const std::u16string& url, std::string& why) {
    const uint32_t id = next_view_++;
    const auto t0 = Clock::now();
    sim_->Send(host::ViewCreateCmd{id, 0, 0, 800, 600, true, url});
    const auto first = collector_.WaitNavigation(id, 0, kPageWaitMs);
    std::optional<Arrival> done;
    if (first && first->event.ints[0] == 0) done = collector_.WaitNavigation(id, 1, kPageWaitMs);
    sim_->Send(host::ViewDestroyCmd{id});
    if (!first || !done || first->event.ints[0] != 0 || done->event.ints[0] != 0) {
      why = "page " + Utf16ToUtf8(url) + " (view " + std::to_string(id) + "): ";
      if (!first) {
        why += "no navigation-completed event within " + std::to_string(kPageWaitMs) + " ms";
      } else if (first->event.ints[0] != 0) {
        why += "navigation failed with " + std::to_string(first->event.ints[0]);
      } else if (!done) {
        why += "loaded in " + std::to_string(first->event.ints[1]) + " ms but did not reach done.html";
      } else {
        why += "done.html failed with " + std::to_string(done->event.ints[0]);
      }
      std::fprintf(stderr, "bench_web: %s\n", why.c_str());
      return std::nullopt;
    }
    Visit v;
    v.to_first_ms = std::chrono::duration<double, std::milli>(first->at - t0).count();
    v.first_host_ms = first->event.ints[1];
    v.done_host_ms = done->event.ints[1];
    return v;
  }
  uint64_t http_answers() const { return files_->answers(); }

 private:
  Rig() = default;

  bool Init(std::string& why) {
    if (!collector_.ok()) {
      why = "the telemetry collector port 18765 is in use (browser tests running?)";
      return false;
    }
    work_ = fs::temp_directory_path() / ("vyo_bench_web_" + std::to_string(platform::CurrentProcessId()));
    fs::remove_all(work_);
    const auto site_files = SiteFiles(kFetches);
    for (const auto& [name, data] : site_files) {
      const fs::path p = work_ / "site" / name;
      fs::create_directories(p.parent_path());
      std::ofstream(p, std::ios::binary) << data;
    }
    files_ = std::make_unique<FileServer>(site_files);
    if (!files_->ok()) {
      why = "the baseline HTTP server could not listen";
      return false;
    }
    package_ = work_ / "site.pkg";
    auto pack = platform::ChildProcess::Start(
        Exe(u"", u"vyo-pack"),
        {u"pack", u"--keys", Utf8ToUtf16(VYO_SOURCE_DIR "/keys/dev"), (work_ / "site").u16string(), package_.u16string()});
    if (!pack || pack->Wait(kWaitMs) != std::optional<uint32_t>(0u)) {
      why = "vyo-pack did not build the package";
      return false;
    }
    sim_ = sim::OverlaySim::Create("bench_web");
    if (!sim_ || !sim_->StartHost(Exe(u"qos-loopback", u"FenyraOverlayHost"), sim_->HostArgs()) ||
        !sim_->Connect(kWaitMs)) {
      why = "the loopback-telemetry host did not start";
      return false;
    }
    const auto env_msg = sim_->WaitFor(host::kEnvironmentResult, kWaitMs);
    const auto env = env_msg ? host::DecodeEnvironmentResult(env_msg->payload) : std::nullopt;
    if (!env) {
      why = "no EnvironmentResult from the host";
      return false;
    }
    if (env->result != 0) {
      why = "no browser on this machine (EnvironmentResult " + std::to_string(env->result) +
            "); install chromium or set VYO_BROWSER";
      return false;
    }
    version_ = env->version;
    // The host's messages are read (and dropped) on a thread so its writer never backs up; only
    // this thread sends.
    drain_ = std::thread([this] {
      while (!stop_drain_) sim_->Next(100);
    });
    // View ids unique to this run, so that events the host kept offline from earlier runs and
    // uploads now can never be mistaken for ours.
    next_view_ = ((static_cast<uint32_t>(platform::CurrentProcessId()) & 0x7FFF) << 12) + 4096;
    return true;
  }

  Collector collector_;
  fs::path work_, package_;
  std::unique_ptr<FileServer> files_;
  std::unique_ptr<sim::OverlaySim> sim_;
  std::thread drain_;
  std::atomic<bool> stop_drain_{false};
  uint32_t next_view_ = 0;

 public:
  std::string version_;
};

Rig* TheRig(benchmark::State& state) {
  static std::string why;
  static std::unique_ptr<Rig> rig = Rig::Make(why);
  if (!rig) state.SkipWithError(("skipped: " + why).c_str());
  return rig.get();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---------------------------------------------------------------------------------------------

void BM_ViewCreateToNavigated(benchmark::State& state) {
  Rig* rig = TheRig(state);
  if (!rig) return;
  std::string why;
  // One of each first: the browser's first target and the server's first connection are slower.
  if (!rig->Run(rig->PackageUrl(""), why) || !rig->Run(rig->HttpUrl("index.html"), why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  std::vector<double> pkg, http, pkg_host, http_host;
  int pkg_incomplete = 0, http_incomplete = 0;
  bool package_first = true;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      const bool packaged = (k == 0) == package_first;
      const auto v = rig->Run(packaged ? rig->PackageUrl("") : rig->HttpUrl("index.html"), why);
      if (!v) {
        ++(packaged ? pkg_incomplete : http_incomplete);
        if (pkg_incomplete + http_incomplete > kMaxIncomplete) {
          state.SkipWithError(why.c_str());
          return;
        }
        continue;
      }
      (packaged ? pkg : http).push_back(v->to_first_ms);
      (packaged ? pkg_host : http_host).push_back(static_cast<double>(v->first_host_ms));
    }
    package_first = !package_first;
  }
  state.SetLabel(rig->version_);
  state.counters["package_ms"] = Median(pkg);
  state.counters["http_ms"] = Median(http);
  state.counters["package_over_http"] = Median(pkg) / Median(http);
  // The host's own navigation time (navigation start to completed, after the view exists).
  state.counters["package_nav_host_ms"] = Median(pkg_host);
  state.counters["http_nav_host_ms"] = Median(http_host);
  // Pages that did not complete (details on standard error); they are not in the figures.
  state.counters["package_incomplete"] = pkg_incomplete;
  state.counters["http_incomplete"] = http_incomplete;
}
BENCHMARK(BM_ViewCreateToNavigated)->Iterations(bench::Count(15))->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ResourceAnswers(benchmark::State& state) {
  Rig* rig = TheRig(state);
  if (!rig) return;
  std::string why;
  // Warm: the first packaged fetch decrypts the entry into the mount's cache, but every view has
  // its own mount, so each packaged page below starts with one uncached read (1 of kFetches).
  if (!rig->Run(rig->PackageUrl("fetch.html"), why) || !rig->Run(rig->HttpUrl("fetch.html"), why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  // Per source: time of the loop page and of the empty page, between their two events (host ms).
  double pkg_loop = 0, pkg_empty = 0, http_loop = 0, http_empty = 0;
  int pkg_pairs = 0, http_pairs = 0, pkg_incomplete = 0, http_incomplete = 0;
  bool package_first = true;
  const uint64_t answers_before = rig->http_answers();
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      const bool packaged = (k == 0) == package_first;
      const auto loop = rig->Run(packaged ? rig->PackageUrl("fetch.html") : rig->HttpUrl("fetch.html"), why);
      const auto empty =
          loop ? rig->Run(packaged ? rig->PackageUrl("fetch0.html") : rig->HttpUrl("fetch0.html"), why) : std::nullopt;
      if (!loop || !empty) {
        ++(packaged ? pkg_incomplete : http_incomplete);
        if (pkg_incomplete + http_incomplete > kMaxIncomplete) {
          state.SkipWithError(why.c_str());
          return;
        }
        continue;
      }
      ++(packaged ? pkg_pairs : http_pairs);
      (packaged ? pkg_loop : http_loop) += static_cast<double>(loop->done_host_ms - loop->first_host_ms);
      (packaged ? pkg_empty : http_empty) += static_cast<double>(empty->done_host_ms - empty->first_host_ms);
    }
    package_first = !package_first;
  }
  const double pkg_rate = kFetches * pkg_pairs / ((pkg_loop - pkg_empty) / 1000.0);
  const double http_rate = kFetches * http_pairs / ((http_loop - http_empty) / 1000.0);
  state.counters["fetches_per_page"] = kFetches;
  state.counters["package_answers_per_s"] = pkg_rate;
  state.counters["http_answers_per_s"] = http_rate;
  state.counters["package_over_http"] = pkg_rate / http_rate;
  state.counters["package_incomplete"] = pkg_incomplete;
  state.counters["http_incomplete"] = http_incomplete;
  // A check that the baseline's fetches reached the server (nothing answered by a cache).
  state.counters["http_server_answers"] = static_cast<double>(rig->http_answers() - answers_before);
}
BENCHMARK(BM_ResourceAnswers)->Iterations(bench::Count(5))->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  using namespace vyo::bench;
  return RunWithGoals(argc, argv, [](const Figures& f) {
    const auto nav = f.Find("BM_ViewCreateToNavigated");
    const auto answers = f.Find("BM_ResourceAnswers");
    PrintMeasure("packaged view create to navigated", nav ? std::optional<double>(nav->Counter("package_over_http")) : std::nullopt,
                 "x", "the same site over HTTP");
    PrintMeasure("packaged resource answers per second",
                 answers ? std::optional<double>(answers->Counter("package_over_http")) : std::nullopt, "x",
                 "the same files over HTTP");
  });
}
