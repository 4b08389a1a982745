// Key agreement on the curve secp256k1, as log encryption uses it: public keys are 64 bytes (X then
// Y, 32 bytes each, big-endian), private scalars 32 bytes big-endian, and the agreed secret is the
// raw 32-byte big-endian X coordinate of the shared point. Linux uses libsecp256k1, Windows
// libgcrypt; both give the same bytes.
#pragma once
#include <cstdint>

namespace base::log_crypt {

// Computes the public point of `private_key`. False when the scalar is zero or not below the group
// order.
bool EcPublicKey(const std::uint8_t private_key[32], std::uint8_t public_key[64]);

// X coordinate of private_key × peer_public. False when the scalar is invalid, the peer key is not
// a point of the curve, or the product is the point at infinity.
bool EcSharedX(const std::uint8_t private_key[32], const std::uint8_t peer_public[64], std::uint8_t x[32]);

}  // namespace base::log_crypt
