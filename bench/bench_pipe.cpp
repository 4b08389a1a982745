// Overlay channel speed: commands through the real host's pipe against a bare socket pair, and the
// host's idle CPU use with no views.
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/commands.h"
#include "protocol/protocol.h"
#include "bench_mode.h"
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

void BM_HostIdleCpu(benchmark::State& state) {
  double host_cpu = 0, browser_cpu = 0, wall = 0, frames = 0;
  for (auto _ : state) {
    auto s = sim::OverlaySim::Create("bench_idle");
    if (!s || !s->StartHost() || !s->Connect(20000) || !s->WaitFor(host::kHostHello, 20000)) {
      state.SkipWithError("host did not start");
      return;
    }
    const int pid = static_cast<int>(s->host_pid());
    // Let start-up (and the browser's) settle, then measure only the idle loop.
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettleSeconds));
    while (s->Next(0)) {
    }
    const std::vector<int> browser = Descendants(pid);
    const auto frames_before = s->ReadBeatMap().frame_counter;
    const double host_before = TaskRunSeconds(pid), browser_before = TreeRunSeconds(browser);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdleSeconds));
    const double host_after = TaskRunSeconds(pid), browser_after = TreeRunSeconds(browser);
    const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const auto frames_after = s->ReadBeatMap().frame_counter;
    if (host_before < 0 || host_after < 0) {
      state.SkipWithError("host process not readable in /proc");
      return;
    }
    host_cpu += host_after - host_before;
    browser_cpu += std::max(0.0, browser_after - browser_before);
    wall += w;
    frames += static_cast<double>(frames_after - frames_before);
    state.counters["browser_procs"] = static_cast<double>(browser.size());
    s->CloseConnection();
    s->WaitExit(10000);
  }
  state.counters["cpu_per_wall_s"] = host_cpu / wall;
  state.counters["browser_cpu_per_wall_s"] = browser_cpu / wall;
  state.counters["frames_per_s"] = frames / wall;
}
BENCHMARK(BM_HostIdleCpu)->Iterations(bench::Count(2))->UseRealTime()->Unit(benchmark::kSecond);

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

BENCHMARK_MAIN();
