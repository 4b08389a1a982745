// The development log reader keys, read from keys/dev-log for the tests.
#pragma once
#include <array>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "logging/log_crypt.h"

namespace logtest {

struct ReaderKeyPair {
  std::array<std::uint8_t, 32> private_key{};
  base::log_crypt::PublicKey public_key{};
  bool ok = false;
};

inline std::string KeyFilePath(int index) {
  return std::string(VYO_LOG_TEST_KEYS) + "/reader" + std::to_string(index) + ".key";
}

// readerN.key: hex text, private scalar then X and Y.
inline ReaderKeyPair LoadReaderKey(int index) {
  ReaderKeyPair pair;
  std::ifstream in(KeyFilePath(index));
  std::string line, hex;
  while (std::getline(in, line)) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    for (const char c : line)
      if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  }
  if (hex.size() != 192) return pair;
  for (std::size_t i = 0; i < 96; ++i) {
    const auto byte = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    if (i < 32) {
      pair.private_key[i] = byte;
    } else {
      pair.public_key[i - 32] = byte;
    }
  }
  pair.ok = true;
  return pair;
}

}  // namespace logtest
