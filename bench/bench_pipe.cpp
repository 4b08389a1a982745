// Overlay channel speed: commands through the real host's pipe against a bare socket pair, and the
// host's idle CPU use with no views.
//
// Throughput: the overlay sends N SurfaceInfo commands of alternating sizes; each makes the host
// log one line, which comes back as HostLog; the round trip of the whole batch is timed.
// Baseline: the same framed messages echoed by a thread over a socket pair (no host logic).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "host/commands.h"
#include "host/protocol.h"
#include "overlay_sim.h"

namespace {

using namespace vyo;

// Round trips through the host: a command that produces exactly one reply (a HostLog line).
void BM_HostCommandRoundTrip(benchmark::State& state) {
  auto s = sim::OverlaySim::Create("bench");
  if (!s || !s->StartHost() || !s->Connect(20000) || !s->WaitFor(host::kHostHello, 20000)) {
    state.SkipWithError("host did not start");
    return;
  }
  while (s->Next(200)) {
  }
  uint32_t width = 1000;
  for (auto _ : state) {
    s->Send(host::SurfaceInfoCmd{++width, 720});  // a new size each time: always logged
    if (!s->WaitFor(host::kHostLog, 5000)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  s->CloseConnection();
  s->WaitExit(10000);
}
BENCHMARK(BM_HostCommandRoundTrip)->UseRealTime()->MinTime(2.0);

// Baseline: the same two-message frames over a socket pair, echoed by a thread.
void BM_SocketPairRoundTrip(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  std::thread echo([fd = fds[1]] {
    uint8_t buf[64];
    for (;;) {
      const ssize_t h = recv(fd, buf, sizeof(buf), 0);
      if (h <= 0) return;
      const ssize_t p = recv(fd, buf + 16, sizeof(buf) - 16, 0);
      if (p <= 0) return;
      if (send(fd, buf, 16, 0) != 16 || send(fd, buf + 16, static_cast<size_t>(p), 0) != p) return;
    }
  });
  const auto payload = host::EncodeCommand(host::SurfaceInfoCmd{1280, 720});
  uint8_t header[16];
  host::EncodeFrameHeader({host::kFrameMagic, 1, host::kSurfaceInfo, static_cast<uint32_t>(payload.size())}, header);
  uint8_t buf[64];
  for (auto _ : state) {
    send(fds[0], header, 16, 0);
    send(fds[0], payload.data(), payload.size(), 0);
    recv(fds[0], buf, sizeof(buf), 0);
    recv(fds[0], buf, sizeof(buf), 0);
  }
  state.SetItemsProcessed(state.iterations());
  shutdown(fds[0], SHUT_RDWR);
  close(fds[0]);
  echo.join();
  close(fds[1]);
}
BENCHMARK(BM_SocketPairRoundTrip)->UseRealTime()->MinTime(2.0);

// One-way command throughput: a batch of 64 frames, then one marker that is answered.
void BM_HostCommandThroughput(benchmark::State& state) {
  auto s = sim::OverlaySim::Create("bench_tp");
  if (!s || !s->StartHost() || !s->Connect(20000) || !s->WaitFor(host::kHostHello, 20000)) {
    state.SkipWithError("host did not start");
    return;
  }
  while (s->Next(200)) {
  }
  uint32_t width = 1000;
  for (auto _ : state) {
    for (int i = 0; i < 63; ++i) s->Send(host::ViewSetZOrderCmd{7, i});  // no reply
    s->Send(host::SurfaceInfoCmd{++width, 720});
    if (!s->WaitFor(host::kHostLog, 5000)) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * 64);
  s->CloseConnection();
  s->WaitExit(10000);
}
BENCHMARK(BM_HostCommandThroughput)->UseRealTime()->MinTime(2.0);

// Idle cost: CPU seconds the host uses per wall second with no views (it paces at 30 frames per
// second). Reported as a counter; the baseline is the same figure for a process that only sleeps.
double ChildCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_HostIdleCpu(benchmark::State& state) {
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double before = ChildCpuSeconds();
    auto s = sim::OverlaySim::Create("bench_idle");
    if (!s || !s->StartHost() || !s->Connect(20000) || !s->WaitFor(host::kHostHello, 20000)) {
      state.SkipWithError("host did not start");
      return;
    }
    // Let start-up settle, then measure only the idle loop.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto frames_before = s->ReadBeatMap().frame_counter;
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto frames_after = s->ReadBeatMap().frame_counter;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    s->CloseConnection();
    s->WaitExit(10000);
    s.reset();
    cpu += ChildCpuSeconds() - before;
    state.counters["frames_per_s"] = static_cast<double>(frames_after - frames_before) / 3.0;
  }
  // Start-up is included in cpu; it is small, so the figure is an upper bound of the idle cost.
  state.counters["cpu_per_wall_s"] = cpu / (wall + 2.0 * static_cast<double>(state.iterations()));
}
BENCHMARK(BM_HostIdleCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
