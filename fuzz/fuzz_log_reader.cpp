// Fuzzes the log reader with the development reader key 0: headers, segment and trailer search,
// key agreement on the writer's public key, decryption, inflate and memory-log ordering.
#include <cstddef>
#include <cstdint>

#include "logging/log_reader.h"

namespace {

// keys/dev-log/reader0.key, the private scalar (development only).
constexpr std::uint8_t kReaderPrivate[32] = {
    0xc8, 0x26, 0x51, 0x84, 0x2c, 0x1b, 0x9c, 0xdb, 0xd7, 0xf4, 0xba, 0xc1, 0x05, 0x32, 0x99, 0x00,
    0xc6, 0xaf, 0x3f, 0xbd, 0x91, 0x08, 0x80, 0x01, 0xac, 0x3c, 0xa0, 0x6c, 0x2d, 0xc3, 0xae, 0xf6,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A small output limit keeps inflate bombs within the fuzzer's memory.
  const auto report = base::log_reader::ReadLog(data, size, kReaderPrivate, std::size_t{1} << 24);
  if (report.status == base::log_reader::ReadStatus::kOk) {
    volatile std::size_t records = base::log_reader::SplitRecords(report.text).size();
    (void)records;
  }
  return 0;
}
