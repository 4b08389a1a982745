// Frame analysis for hit masks, on a 1920 x 1080 premultiplied BGRA frame (cell 4, 480 x 270
// cells), beside what reading and copying the same bytes costs in the same run:
//   StreamingRead      every byte of the frame loaded once (AVX2 loads, OR-ed together)
//   Memcpy             the frame copied into a texture-sized buffer
//   AnalyseScalar      the per-cell analysis, scalar code (the oracle)
//   AnalyseAvx2        the same with AVX2 (goal: at most 1.5x StreamingRead)
//   AnalyseAvx2ThenCopy   the analysis, then a memcpy of the frame (what unfused code does)
//   AnalyseAvx2Fused      the analysis writing the frame into the texture as it reads it
//                         (goal: at most 1.3x Memcpy)
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstring>
#include <random>
#include <vector>

#include "capture/frame_analysis.h"
#include "goal_report.h"
#include "protocol/hit_mask_layout.h"

namespace {

using namespace vyo;

constexpr int32_t kWidth = 1920, kHeight = 1080;
constexpr size_t kBytes = static_cast<size_t>(kWidth) * kHeight * 4;

// A texture's rows as the CPU device maps them: after the 32-byte header of a page-aligned block.
struct TextureRows {
  std::vector<uint8_t> block = std::vector<uint8_t>(kBytes + 4096 + 32);
  uint8_t* data() {
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(block.data()) + 4095) & ~uintptr_t{4095}) + 32;
  }
};

// A frame with content everywhere (no shortcut for empty areas), and a texture of its size.
struct Buffers {
  std::vector<uint8_t> frame = std::vector<uint8_t>(kBytes);
  TextureRows texture;
  host::HitGrid grid = host::GridFor(kWidth, kHeight);
  std::vector<uint8_t> alpha = std::vector<uint8_t>(grid.cells());
  std::vector<uint32_t> signature = std::vector<uint32_t>(grid.cells());
  std::vector<uint32_t> scratch;
  Buffers() {
    std::mt19937 rng(3);
    for (auto& b : frame) b = static_cast<uint8_t>(rng());
  }
};
Buffers& B() {
  static Buffers buffers;
  return buffers;
}

void SetBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBytes));
}

__attribute__((target("avx2"))) void BM_StreamingRead(benchmark::State& state) {
  Buffers& b = B();
  for (auto _ : state) {
    __m256i acc = _mm256_setzero_si256();
    for (size_t i = 0; i < kBytes; i += 32)
      acc = _mm256_or_si256(acc, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b.frame.data() + i)));
    benchmark::DoNotOptimize(acc);
  }
  SetBytes(state);
}
BENCHMARK(BM_StreamingRead)->Unit(benchmark::kMicrosecond);

void BM_Memcpy(benchmark::State& state) {
  Buffers& b = B();
  for (auto _ : state) {
    std::memcpy(b.texture.data(), b.frame.data(), kBytes);
    benchmark::ClobberMemory();
  }
  SetBytes(state);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);

void BM_AnalyseScalar(benchmark::State& state) {
  Buffers& b = B();
  for (auto _ : state) {
    capture::AnalyseCellsScalar(b.frame.data(), kWidth * 4, kWidth, kHeight, b.grid, b.alpha.data(), b.signature.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state);
}
BENCHMARK(BM_AnalyseScalar)->Unit(benchmark::kMicrosecond);

void BM_AnalyseAvx2(benchmark::State& state) {
  Buffers& b = B();
  for (auto _ : state) {
    capture::AnalyseCellsAvx2(b.frame.data(), kWidth * 4, kWidth, kHeight, b.grid, b.alpha.data(), b.signature.data(),
                              &b.scratch);
    benchmark::ClobberMemory();
  }
  SetBytes(state);
}
BENCHMARK(BM_AnalyseAvx2)->Unit(benchmark::kMicrosecond);

void BM_AnalyseAvx2ThenCopy(benchmark::State& state) {
  Buffers& b = B();
  for (auto _ : state) {
    capture::AnalyseCellsAvx2(b.frame.data(), kWidth * 4, kWidth, kHeight, b.grid, b.alpha.data(), b.signature.data(),
                              &b.scratch);
    std::memcpy(b.texture.data(), b.frame.data(), kBytes);
    benchmark::ClobberMemory();
  }
  SetBytes(state);
}
BENCHMARK(BM_AnalyseAvx2ThenCopy)->Unit(benchmark::kMicrosecond);

void BM_AnalyseAvx2Fused(benchmark::State& state) {
  Buffers& b = B();
  for (auto _ : state) {
    capture::AnalyseCellsAvx2(b.frame.data(), kWidth * 4, kWidth, kHeight, b.grid, b.alpha.data(), b.signature.data(),
                              &b.scratch, b.texture.data(), kWidth * 4);
    benchmark::ClobberMemory();
  }
  SetBytes(state);
}
BENCHMARK(BM_AnalyseAvx2Fused)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  using namespace vyo::bench;
  return RunWithGoals(argc, argv, [](const Figures& f) {
    const auto time = [&](const char* name) {
      const auto x = f.Find(name);
      return x ? std::optional<double>(x->real_ns) : std::nullopt;
    };
    const auto detail = [&](const char* a, const char* b, const char* baseline) {
      char text[160] = "";
      if (time(a) && time(b)) std::snprintf(text, sizeof text, "%s (%.0f us against %.0f us)", baseline, *time(a) / 1e3, *time(b) / 1e3);
      return std::string(text);
    };
    PrintGoal("hit-mask analysis fused with the copy, 1080p", Ratio(time("BM_AnalyseAvx2Fused"), time("BM_Memcpy")),
              Goal::kAtMost, 1.3, "x", detail("BM_AnalyseAvx2Fused", "BM_Memcpy", "memcpy"));
    PrintGoal("hit-mask analysis alone, 1080p", Ratio(time("BM_AnalyseAvx2"), time("BM_StreamingRead")), Goal::kAtMost,
              1.5, "x", detail("BM_AnalyseAvx2", "BM_StreamingRead", "a streaming read"));
  });
}
