// Fuzzes the package reader: the header parser with the signature check, the index parser, and
// the entry reader (reached past the signature through the reader's test hook).
//
// The first input byte picks the mode:
//   0: the rest is a package file: open and verify with a fixed key set;
//   1: the rest is an index plaintext;
//   2: two bytes n (little-endian), n bytes of index plaintext, then a package file whose entries
//      are read with that index and a fixed content key.
#include <cstddef>
#include <cstdint>

#include "content/package.h"

using namespace vyo::content;

namespace {

const std::uint8_t kHostPrivate[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                       17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const std::uint8_t kZeroPublic[64] = {};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0] % 3;
  const ByteView rest(data + 1, size - 1);
  if (mode == 0) {
    PackageReader reader;
    if (reader.OpenBytes(Bytes(rest.begin(), rest.end())) == kPackageOk) {
      reader.Verify(kHostPrivate, kZeroPublic, kZeroPublic);
      Bytes out;
      reader.ReadEntry("index.html", out);
    }
    return 0;
  }
  if (mode == 1) {
    PackageIndex index;
    ParsePackageIndex(rest, index);
    return 0;
  }
  if (rest.size() < 2) return 0;
  const std::size_t n = std::min<std::size_t>(rest[0] | (rest[1] << 8), rest.size() - 2);
  PackageIndex index;
  if (!ParsePackageIndex(rest.subspan(2, n), index)) return 0;
  PackageReader reader;
  const ByteView file = rest.subspan(2 + n);
  if (reader.OpenBytes(Bytes(file.begin(), file.end())) != kPackageOk) return 0;
  ContentKey key{};
  key.fill(0x42);
  reader.AdoptIndexForTesting(std::move(index), key);
  std::size_t tried = 0;
  for (const auto& name : reader.entry_names()) {
    if (++tried > 16) break;
    Bytes out;
    reader.ReadEntry(name, out);
  }
  return 0;
}
