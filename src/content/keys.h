// The keys the host opens packages with: its own static key pair and the public key of the
// publisher whose signature it accepts. The built-in set is compiled in from the key-set
// directory chosen at configure time (VYO_KEYSET_DIR; the repository's development set by default).
#pragma once
#include <array>
#include <cstdint>

#include "content/crypto.h"

namespace vyo::content {

struct KeySet {
  std::array<std::uint8_t, kPrivateKeySize> host_private{};
  std::array<std::uint8_t, kPublicKeySize> host_public{};
  std::array<std::uint8_t, kPublicKeySize> publisher_public{};
};

const KeySet& BuiltInKeySet();
// True when the built-in set is the repository's development key set.
bool BuiltInKeySetIsDevelopment();

}  // namespace vyo::content
