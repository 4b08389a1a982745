// secp256k1 key agreement through libsecp256k1. The ECDH hash function copies X unchanged, so the
// result is the raw coordinate rather than a hash of it.
#include <secp256k1.h>
#include <secp256k1_ecdh.h>

#include <cstring>

#include "logging/ec.h"

namespace base::log_crypt {
namespace {

const secp256k1_context* Context() {
  static secp256k1_context* const context = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
  return context;
}

int CopyX(unsigned char* output, const unsigned char* x32, const unsigned char* /*y32*/, void* /*data*/) {
  std::memcpy(output, x32, 32);
  return 1;
}

bool ParsePublic(const std::uint8_t public_key[64], secp256k1_pubkey& out) {
  unsigned char encoded[65];
  encoded[0] = 0x04;
  std::memcpy(encoded + 1, public_key, 64);
  return secp256k1_ec_pubkey_parse(Context(), &out, encoded, sizeof encoded) == 1;
}

}  // namespace

bool EcPublicKey(const std::uint8_t private_key[32], std::uint8_t public_key[64]) {
  const secp256k1_context* ctx = Context();
  if (ctx == nullptr || secp256k1_ec_seckey_verify(ctx, private_key) != 1) return false;
  secp256k1_pubkey pub;
  if (secp256k1_ec_pubkey_create(ctx, &pub, private_key) != 1) return false;
  unsigned char encoded[65];
  size_t length = sizeof encoded;
  if (secp256k1_ec_pubkey_serialize(ctx, encoded, &length, &pub, SECP256K1_EC_UNCOMPRESSED) != 1 || length != 65)
    return false;
  std::memcpy(public_key, encoded + 1, 64);
  return true;
}

bool EcSharedX(const std::uint8_t private_key[32], const std::uint8_t peer_public[64], std::uint8_t x[32]) {
  const secp256k1_context* ctx = Context();
  if (ctx == nullptr || secp256k1_ec_seckey_verify(ctx, private_key) != 1) return false;
  secp256k1_pubkey peer;
  if (!ParsePublic(peer_public, peer)) return false;
  // The scalar is below the group order and the peer point is on a curve of prime order, so the
  // product is never the point at infinity; the library reports failure for it all the same.
  return secp256k1_ecdh(ctx, x, &peer, private_key, CopyX, nullptr) == 1;
}

}  // namespace base::log_crypt
