// Package entry reads against the bare library calls they are built on, in the same run:
//   ReadEntry        the reader: AES-256-GCM decrypt, zlib inflate, SHA-256 check, bounds checks
//   BareCalls        the same bytes through EVP AES-256-GCM, zlib uncompress and EVP SHA-256 only
//   LookupCacheHit   LookupResource for an entry already in the mount's cache
// The ratios ReadEntry/BareCalls and LookupCacheHit/ReadEntry are what matter.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "content/mount.h"
#include "content/resource.h"
#include "goal_report.h"

namespace {

using namespace vyo::content;

// Script-like text: words drawn from a small vocabulary, about 4:1 under zlib like real bundles.
Bytes ScriptText(std::size_t size, unsigned seed) {
  static const char* kWords[] = {"function", "return", "const", "let", "this", "document", "element", "=>",
                                 "if", "else", "{", "}", "(", ")", ";", "\n", "value", "state", "render",
                                 "props", "0", "1", "null", "await", "async", "import", "export", "from"};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const char* w = kWords[rng() % (sizeof kWords / sizeof *kWords)];
    out.insert(out.end(), w, w + std::strlen(w));
    out.push_back(rng() % 7 == 0 ? '\n' : ' ');
    if (rng() % 50 == 0) {
      const std::string id = "v" + std::to_string(rng() % 100000);
      out.insert(out.end(), id.begin(), id.end());
    }
  }
  out.resize(size);
  return out;
}

struct Fixture {
  KeyPair host, publisher;
  Bytes file;
  ContentKey key{};
  PackageReader reader;
  std::filesystem::path path;
  Mount mount;
  KeySet keys;

  Fixture() {
    GenerateKeyPair(host);
    GenerateKeyPair(publisher);
    std::vector<PackInput> inputs = {
        {"index.html", "", ScriptText(8 << 10, 1)},
        {"app.js", "", ScriptText(256 << 10, 2)},
        {"vendor.js", "", ScriptText(512 << 10, 3)},
        {"style.css", "", ScriptText(32 << 10, 4)},
    };
    PackagePlan plan;
    KeyPair ephemeral;
    GenerateKeyPair(ephemeral);
    std::array<std::uint8_t, 32> secret{};
    RawSharedSecret(ephemeral.private_key, ephemeral.public_key, host.public_key, secret);
    ContentKeyFromRawSecret(secret, plan.key);
    plan.ephemeral_public = ephemeral.public_key;
    std::string error;
    if (!EncryptEntries(inputs, PackOptions{}, plan, error) || !SealPackage(plan, publisher, file, error)) {
      std::fprintf(stderr, "bench package: %s\n", error.c_str());
      std::abort();
    }
    key = plan.key;
    if (reader.OpenBytes(file) != kPackageOk ||
        reader.Verify(host.private_key, host.public_key, publisher.public_key) != kPackageOk) {
      std::abort();
    }
    path = std::filesystem::temp_directory_path() / "vyo-bench-content.pkg";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                static_cast<std::streamsize>(file.size()));
    keys.host_private = host.private_key;
    keys.host_public = host.public_key;
    keys.publisher_public = publisher.public_key;
    if (!MountPackage(mount, path.u16string(), keys).ok) std::abort();
  }
  ~Fixture() { std::filesystem::remove(path); }

  const PackageEntry& Entry(const std::string& name) const {
    for (const auto& e : reader.entries()) {
      if (e.name == name) return e;
    }
    std::abort();
  }
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

const char* const kNames[] = {"index.html", "app.js", "vendor.js"};

void ReadEntry(benchmark::State& state) {
  auto& f = Shared();
  const std::string name = kNames[state.range(0)];
  Bytes out;
  for (auto _ : state) {
    if (f.reader.ReadEntry(name, out) != kPackageOk) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(out.size()));
}

void BareCalls(benchmark::State& state) {
  auto& f = Shared();
  const std::string name = kNames[state.range(0)];
  const PackageEntry& e = f.Entry(name);
  const std::uint8_t* cipher = f.file.data() + f.reader.data_start() + e.offset;
  Bytes plain(e.stored_length);
  Bytes content(e.uncompressed_length);
  std::uint8_t digest[32];
  for (auto _ : state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    std::uint8_t tag[16];
    std::memcpy(tag, e.tag.data(), 16);
    bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, f.key.data(), e.nonce.data()) == 1 &&
              EVP_DecryptUpdate(ctx, nullptr, &n, reinterpret_cast<const std::uint8_t*>(name.data()),
                                static_cast<int>(name.size())) == 1 &&
              EVP_DecryptUpdate(ctx, plain.data(), &n, cipher, static_cast<int>(e.stored_length)) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1 &&
              EVP_DecryptFinal_ex(ctx, plain.data() + n, &n) == 1;
    EVP_CIPHER_CTX_free(ctx);
    uLongf produced = e.uncompressed_length;
    ok = ok && uncompress(content.data(), &produced, plain.data(), e.plaintext_length) == Z_OK;
    unsigned int size = 0;
    ok = ok && EVP_Digest(content.data(), content.size(), digest, &size, EVP_sha256(), nullptr) == 1;
    if (!ok) state.SkipWithError("bare calls failed");
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(content.size()));
}

void LookupCacheHit(benchmark::State& state) {
  auto& f = Shared();
  const std::string path = std::string("/") + kNames[state.range(0)];
  if (LookupResource(f.mount, path).status != 200) state.SkipWithError("lookup failed");  // fills the cache
  std::size_t size = 0;
  for (auto _ : state) {
    const auto response = LookupResource(f.mount, path);
    if (!response.from_cache) state.SkipWithError("not from cache");
    size = response.body.size();
    benchmark::DoNotOptimize(response.body.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}

// 0: index.html (8 KiB), 1: app.js (256 KiB), 2: vendor.js (512 KiB)
BENCHMARK(BareCalls)->DenseRange(0, 2);
BENCHMARK(ReadEntry)->DenseRange(0, 2);
BENCHMARK(LookupCacheHit)->DenseRange(0, 2);

}  // namespace

int main(int argc, char** argv) {
  using namespace vyo::bench;
  return RunWithGoals(argc, argv, [](const Figures& f) {
    const char* names[] = {"index.html, 8 KiB", "app.js, 256 KiB", "vendor.js, 512 KiB"};
    for (int i = 0; i < 3; ++i) {
      const std::string arg = "/" + std::to_string(i);
      const auto time = [&](const char* name) {
        const auto x = f.Find(name + arg);
        return x ? std::optional<double>(x->real_ns) : std::nullopt;
      };
      PrintMeasure(std::string("package entry read, ") + names[i], Ratio(time("ReadEntry"), time("BareCalls")), "x",
                   "the bare library calls");
      PrintMeasure(std::string("cached resource lookup, ") + names[i], Ratio(time("LookupCacheHit"), time("ReadEntry")),
                   "x", "an entry read");
    }
  });
}
