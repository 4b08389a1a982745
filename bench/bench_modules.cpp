// Module service calls: a module's own thread asks the host for a view operation (a web message
// posted to its view's page, through IModuleServices, which carries the work onto the main thread)
// at 1 kHz; the host's main loop (real main-thread wait) runs it and the view's web view gets the
// message. The time from the call to the web view's PostWebMessageAsJson is measured per call
// (median, p99). Baseline in the same run: a bare hand-off of the same numbers between two threads
// through a mutex and a condition variable.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "latency_support.h"

namespace vyo {
namespace {

using namespace bench;

void BM_ModuleCallToMainThread(benchmark::State& state) {
  for (auto _ : state) {
    Arrivals arrivals;
    HostThread host(arrivals);
    if (host.app() == nullptr) {
      state.SkipWithError("the host did not start");
      return;
    }
    host::IModuleServices& services = host.app()->view_service();
    const auto sent = WriteAt1kHz([&](int i) { services.PostWebMessageToView(1, std::to_string(i).c_str()); });
    AwaitArrivals(arrivals, sent);
    host.Stop();
    Report(state, sent, arrivals.at);
  }
}
BENCHMARK(BM_ModuleCallToMainThread)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareConditionVariableHandOff(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<Clock::time_point> woke(kRecords);
    std::mutex mu;
    std::condition_variable cv;
    std::vector<int> queue;
    bool stop = false;
    std::thread consumer([&] {
      std::unique_lock<std::mutex> lock(mu);
      while (true) {
        cv.wait(lock, [&] { return stop || !queue.empty(); });
        for (int i : queue) woke[static_cast<size_t>(i)] = Clock::now();
        queue.clear();
        if (stop) return;
      }
    });
    const auto sent = WriteAt1kHz([&](int i) {
      {
        std::lock_guard<std::mutex> guard(mu);
        queue.push_back(i);
      }
      cv.notify_one();
    });
    {
      std::lock_guard<std::mutex> guard(mu);
      stop = true;
    }
    cv.notify_one();
    consumer.join();
    Report(state, sent, woke);
  }
}
BENCHMARK(BM_BareConditionVariableHandOff)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vyo

int main(int argc, char** argv) {
  using namespace vyo::bench;
  return RunWithGoals(argc, argv, [](const Figures& f) {
    const LatencyFigure call = LatencyAgainst(f.Find("BM_ModuleCallToMainThread"),
                                              f.Find("BM_BareConditionVariableHandOff"), "a bare hand-off");
    PrintMeasure("module call to the main thread, p99", call.p99_us, " us", call.detail);
  });
}
