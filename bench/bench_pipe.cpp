// Overlay channel speed: commands through the real host's pipe against a bare socket pair, the
// host's idle CPU use with no views, and host and browser CPU with two visible static views.
//
// Round trip: the overlay sends a SurfaceInfo command of a new size; the host logs one line about
// it, which comes back as HostLog; the reply naming that size ends the iteration.
// Throughput: a batch of 63 ViewSetZOrder commands (no reply) and one SurfaceInfo marker, whose
// reply ends the iteration; items are commands.
// Baselines, in the same run: the same frames over a SOCK_SEQPACKET socket pair (the host's pipe is
// a SOCK_SEQPACKET socket on Linux) with a thread that reads each frame and answers the marker
// frames with a frame of the same shape (no host logic).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/commands.h"
#include "protocol/protocol.h"
#include "bench_mode.h"
#include "goal_report.h"
#include "overlay_sim.h"

namespace {

using namespace vyo;

std::unique_ptr<sim::OverlaySim> StartedHost(const char* tag) {
  auto s = sim::OverlaySim::Create(tag);
  if (!s || !s->StartHost() || !s->Connect(20000) || !s->WaitFor(host::kHostHello, 20000)) return nullptr;
  // Start-up chatter (the browser environment's included) goes by before measuring. A fixed span:
  // the heartbeat never lets the pipe go quiet.
  s->DrainFor(static_cast<uint32_t>(bench::Seconds(2.0) * 1000));
  return s;
}

// Waits for the HostLog line the host writes for SurfaceInfo{width, 720}; other messages (late
// start-up lines, heartbeats) are skipped.
bool WaitSurfaceReply(sim::OverlaySim& s, uint32_t width) {
  const std::string needle = "SurfaceInfo " + std::to_string(width) + "x720";
  for (;;) {
    auto m = s.WaitFor(host::kHostLog, 5000);
    if (!m) return false;
    if (m->text().find(needle) != std::string::npos) return true;
  }
}

void BM_HostCommandRoundTrip(benchmark::State& state) {
  auto s = StartedHost("bench");
  if (!s) {
    state.SkipWithError("host did not start");
    return;
  }
  uint32_t width = 1000;
  for (auto _ : state) {
    s->Send(host::SurfaceInfoCmd{++width, 720});  // a new size each time: always logged
    if (!WaitSurfaceReply(*s, width)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  s->CloseConnection();
  s->WaitExit(10000);
}
BENCHMARK(BM_HostCommandRoundTrip)->UseRealTime()->MinTime(bench::Seconds(2.0));

// The bare channel: a socket pair and a thread that reads two-message frames and answers each
// SurfaceInfo frame with a header and a payload of the length the host's reply has.
class EchoPair {
 public:
  bool Open() {
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_) != 0) return false;
    thread_ = std::thread([fd = fds_[1]] {
      uint8_t buf[256];
      for (;;) {
        const ssize_t h = recv(fd, buf, sizeof(buf), 0);
        if (h != 16) return;
        const host::FrameHeader header = host::DecodeFrameHeader(buf);
        if (header.length > 0 && recv(fd, buf + 16, sizeof(buf) - 16, 0) <= 0) return;
        if (header.type != host::kSurfaceInfo) continue;
        // The host's answer: a HostLog frame with the text "SurfaceInfo WxH" (plus its level).
        uint8_t reply[16 + 32] = {};
        host::EncodeFrameHeader({host::kFrameMagic, 1, host::kHostLog, 32}, reply);
        if (send(fd, reply, 16, 0) != 16 || send(fd, reply + 16, 32, 0) != 32) return;
      }
    });
    return true;
  }
  ~EchoPair() {
    if (!thread_.joinable()) return;
    shutdown(fds_[0], SHUT_RDWR);
    thread_.join();
    close(fds_[0]);
    close(fds_[1]);
  }
  void SendFrame(const std::vector<uint8_t>& header, const std::vector<uint8_t>& payload) {
    send(fds_[0], header.data(), header.size(), 0);
    send(fds_[0], payload.data(), payload.size(), 0);
  }
  bool ReadReply() {
    uint8_t buf[256];
    return recv(fds_[0], buf, sizeof(buf), 0) == 16 && recv(fds_[0], buf, sizeof(buf), 0) > 0;
  }

 private:
  int fds_[2] = {-1, -1};
  std::thread thread_;
};

std::pair<std::vector<uint8_t>, std::vector<uint8_t>> Frame(const host::Command& command, uint32_t type) {
  std::vector<uint8_t> payload = host::EncodeCommand(command);
  std::vector<uint8_t> header(16);
  host::EncodeFrameHeader({host::kFrameMagic, 1, type, static_cast<uint32_t>(payload.size())}, header.data());
  return {header, payload};
}

void BM_SocketPairRoundTrip(benchmark::State& state) {
  EchoPair pair;
  if (!pair.Open()) {
    state.SkipWithError("socketpair");
    return;
  }
  const auto [header, payload] = Frame(host::SurfaceInfoCmd{1280, 720}, host::kSurfaceInfo);
  for (auto _ : state) {
    pair.SendFrame(header, payload);
    if (!pair.ReadReply()) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SocketPairRoundTrip)->UseRealTime()->MinTime(bench::Seconds(2.0));

void BM_HostCommandThroughput(benchmark::State& state) {
  auto s = StartedHost("bench_tp");
  if (!s) {
    state.SkipWithError("host did not start");
    return;
  }
  uint32_t width = 1000;
  for (auto _ : state) {
    for (int i = 0; i < 63; ++i) s->Send(host::ViewSetZOrderCmd{7, i});  // no view 7: no reply
    s->Send(host::SurfaceInfoCmd{++width, 720});
    if (!WaitSurfaceReply(*s, width)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * 64);
  s->CloseConnection();
  s->WaitExit(10000);
}
BENCHMARK(BM_HostCommandThroughput)->UseRealTime()->MinTime(bench::Seconds(2.0));

void BM_SocketPairThroughput(benchmark::State& state) {
  EchoPair pair;
  if (!pair.Open()) {
    state.SkipWithError("socketpair");
    return;
  }
  const auto [zh, zp] = Frame(host::ViewSetZOrderCmd{7, 1}, host::kViewSetZOrder);
  const auto [sh, sp] = Frame(host::SurfaceInfoCmd{1280, 720}, host::kSurfaceInfo);
  for (auto _ : state) {
    for (int i = 0; i < 63; ++i) pair.SendFrame(zh, zp);
    pair.SendFrame(sh, sp);
    if (!pair.ReadReply()) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_SocketPairThroughput)->UseRealTime()->MinTime(bench::Seconds(2.0));

// Idle cost: CPU time the host process uses per wall second of its idle main loop with no views,
// measured from outside after start-up has settled (the kernel's per-thread run time of every
// thread of the host, in nanoseconds). The browser the host starts at start-up is a separate
// process tree; its idle figure is reported beside it (browser_cpu_per_wall_s), not in the host's.
// Baseline in the same run: a process that only sleeps, waking at the host's 30 frames per second.
double TaskRunSeconds(int pid) {
  // Sum of /proc/PID/task/*/schedstat first fields (ns on the CPU); -1 when the process is gone.
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  double total = 0;
  bool any = false;
  for (const auto& task : std::filesystem::directory_iterator(dir, ec)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (in >> ns) {
      total += static_cast<double>(ns) / 1e9;
      any = true;
    }
  }
  return any ? total : -1.0;
}

// Every process below `root` (children, grandchildren, ...), read from /proc.
std::vector<int> Descendants(int root) {
  std::map<int, std::vector<int>> children;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    std::getline(stat, text);
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream rest(text.substr(paren + 2));
    char state = 0;
    int ppid = 0;
    if (rest >> state >> ppid) children[ppid].push_back(std::stoi(name));
  }
  std::vector<int> out, todo{root};
  while (!todo.empty()) {
    const int p = todo.back();
    todo.pop_back();
    for (int c : children[p]) {
      out.push_back(c);
      todo.push_back(c);
    }
  }
  return out;
}

double TreeRunSeconds(const std::vector<int>& pids) {
  double total = 0;
  for (int p : pids) total += std::max(0.0, TaskRunSeconds(p));
  return total;
}

const double kSettleSeconds = bench::Seconds(3.0);
const double kIdleSeconds = bench::Seconds(5.0);

// CPU seconds of the host and of its browser over one measuring window, taken while the overlay
// side keeps reading what the host sends (heartbeats, late lines).
struct IdleSample {
  double host_cpu = 0, browser_cpu = 0, wall = 0, frames = 0, browser_procs = 0;
  void Add(const IdleSample& more) {
    host_cpu += more.host_cpu;
    browser_cpu += more.browser_cpu;
    wall += more.wall;
    frames += more.frames;
    browser_procs = more.browser_procs;
  }
};

std::optional<IdleSample> MeasureIdle(sim::OverlaySim& s, double settle_seconds) {
  const int pid = static_cast<int>(s.host_pid());
  // Let start-up (and the browser's) settle, then measure only the idle loop.
  s.DrainFor(static_cast<uint32_t>(settle_seconds * 1000));
  const std::vector<int> browser = Descendants(pid);
  const auto frames_before = s.ReadBeatMap().frame_counter;
  const double host_before = TaskRunSeconds(pid), browser_before = TreeRunSeconds(browser);
  const auto t0 = std::chrono::steady_clock::now();
  s.DrainFor(static_cast<uint32_t>(kIdleSeconds * 1000));
  const double host_after = TaskRunSeconds(pid), browser_after = TreeRunSeconds(browser);
  const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const auto frames_after = s.ReadBeatMap().frame_counter;
  if (host_before < 0 || host_after < 0) return std::nullopt;
  IdleSample out;
  out.host_cpu = host_after - host_before;
  out.browser_cpu = std::max(0.0, browser_after - browser_before);
  out.wall = w;
  out.frames = static_cast<double>(frames_after - frames_before);
  out.browser_procs = static_cast<double>(browser.size());
  return out;
}

void ReportIdle(benchmark::State& state, const IdleSample& total) {
  state.counters["cpu_per_wall_s"] = total.host_cpu / total.wall;
  state.counters["browser_cpu_per_wall_s"] = total.browser_cpu / total.wall;
  state.counters["frames_per_s"] = total.frames / total.wall;
  state.counters["browser_procs"] = total.browser_procs;
}

void BM_HostIdleCpu(benchmark::State& state) {
  IdleSample total;
  for (auto _ : state) {
    auto s = sim::OverlaySim::Create("bench_idle");
    if (!s || !s->StartHost() || !s->Connect(20000) || !s->WaitFor(host::kHostHello, 20000)) {
      state.SkipWithError("host did not start");
      return;
    }
    const auto sample = MeasureIdle(*s, kSettleSeconds);
    if (!sample) {
      state.SkipWithError("host process not readable in /proc");
      return;
    }
    total.Add(*sample);
    s->CloseConnection();
    s->WaitExit(10000);
  }
  ReportIdle(state, total);
}
BENCHMARK(BM_HostIdleCpu)->Iterations(bench::Count(2))->UseRealTime()->Unit(benchmark::kSecond);

// Two visible views of a static page (nothing on it changes), measured after 15 s to settle: what
// the host and its browser spend while nothing changes.
const char kStaticPage[] =
    "<!doctype html><html><head><meta charset='utf-8'><style>body{margin:0;background:#204060;color:#fff;"
    "font:20px sans-serif}div{margin:40px}</style></head><body><div>static view</div></body></html>";

void BM_TwoStaticViewsIdleCpu(benchmark::State& state) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vyo-bench-static-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "index.html") << kStaticPage;
  const std::u16string url = u"vyodir:" + dir.u16string();
  IdleSample total;
  for (auto _ : state) {
    auto s = sim::OverlaySim::Create("bench_static");
    if (!s || !s->StartHost() || !s->Connect(20000) || !s->WaitFor(host::kEnvironmentResult, 30000)) {
      state.SkipWithError("host or browser did not start");
      break;
    }
    s->Send(host::ViewCreateCmd{1, 0, 0, 640, 360, true, url});
    s->Send(host::ViewCreateCmd{2, 0, 400, 640, 360, true, url});
    const auto sample = MeasureIdle(*s, bench::Seconds(15.0));
    if (!sample) {
      state.SkipWithError("host process not readable in /proc");
      break;
    }
    total.Add(*sample);
    s->CloseConnection();
    s->WaitExit(10000);
  }
  fs::remove_all(dir);
  if (total.wall > 0) ReportIdle(state, total);
}
BENCHMARK(BM_TwoStaticViewsIdleCpu)->Iterations(bench::Count(2))->UseRealTime()->Unit(benchmark::kSecond);

// Baseline: a child process that sleeps in 1/30 s steps for the same window (fork, then only
// nanosleep and _exit in the child).
void BM_SleepingProcessIdleCpu(benchmark::State& state) {
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const pid_t pid = fork();
    if (pid == 0) {
      const timespec step{0, 33333333};
      for (;;) nanosleep(&step, nullptr);
    }
    if (pid < 0) {
      state.SkipWithError("fork");
      return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettleSeconds));
    const double before = TaskRunSeconds(pid);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdleSeconds));
    const double after = TaskRunSeconds(pid);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (before < 0 || after < 0) {
      state.SkipWithError("process not readable in /proc");
      return;
    }
    cpu += after - before;
  }
  state.counters["cpu_per_wall_s"] = cpu / wall;
}
BENCHMARK(BM_SleepingProcessIdleCpu)->Iterations(bench::Count(2))->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  using namespace vyo::bench;
  return RunWithGoals(argc, argv, [](const Figures& f) {
    const auto host_rtt = f.Find("BM_HostCommandRoundTrip");
    const auto bare_rtt = f.Find("BM_SocketPairRoundTrip");
    const auto host_tp = f.Find("BM_HostCommandThroughput");
    const auto bare_tp = f.Find("BM_SocketPairThroughput");
    const auto idle = f.Find("BM_HostIdleCpu");
    const auto sleeping = f.Find("BM_SleepingProcessIdleCpu");
    const auto two = f.Find("BM_TwoStaticViewsIdleCpu");
    const auto value = [](const std::optional<Figure>& x, double Figure::*field) {
      return x ? std::optional<double>((*x).*field) : std::nullopt;
    };
    const auto counter = [](const std::optional<Figure>& x, const char* name) {
      return x ? std::optional<double>(x->Counter(name)) : std::nullopt;
    };
    char detail[200] = "";
    if (host_tp && bare_tp) {
      std::snprintf(detail, sizeof detail, "a bare socket pair (%.0f k/s against %.0f k/s)",
                    host_tp->Counter("items_per_second") / 1e3, bare_tp->Counter("items_per_second") / 1e3);
    }
    PrintGoal("pipe commands, throughput", Ratio(counter(host_tp, "items_per_second"), counter(bare_tp, "items_per_second")),
              Goal::kAtLeast, 0.8, "x", detail);
    detail[0] = '\0';
    if (host_rtt && bare_rtt) {
      std::snprintf(detail, sizeof detail, "a bare socket pair (%.1f us against %.1f us)", host_rtt->real_ns / 1e3,
                    bare_rtt->real_ns / 1e3);
    }
    PrintGoal("pipe commands, round trip", Ratio(value(host_rtt, &Figure::real_ns), value(bare_rtt, &Figure::real_ns)),
              Goal::kAtMost, 1.5, "x", detail);
    detail[0] = '\0';
    if (idle && sleeping) {
      std::snprintf(detail, sizeof detail, "of a core (a sleeping process: %.3f %%; %.1f frames/s)",
                    sleeping->Counter("cpu_per_wall_s") * 100, idle->Counter("frames_per_s"));
    }
    const auto idle_pct = counter(idle, "cpu_per_wall_s");
    PrintGoal("idle host, no views", idle_pct ? std::optional<double>(*idle_pct * 100) : std::nullopt, Goal::kAtMost, 0.2,
              " %", detail);
    detail[0] = '\0';
    std::optional<double> two_pct;
    if (two) {
      two_pct = (two->Counter("cpu_per_wall_s") + two->Counter("browser_cpu_per_wall_s")) * 100;
      std::snprintf(detail, sizeof detail, "of a core, host and browser (host %.2f %% + browser %.2f %%)",
                    two->Counter("cpu_per_wall_s") * 100, two->Counter("browser_cpu_per_wall_s") * 100);
    }
    PrintGoal("two visible static views, after 15 s", two_pct, Goal::kAtMost, 1.5, " %", detail);
  });
}
