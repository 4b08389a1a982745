// secp256k1 key agreement through libgcrypt's elliptic-curve point arithmetic: the public key is
// d × G and the agreed secret is the affine X of d × P.
#include <gcrypt.h>

#include <cstring>

#include "logging/ec.h"

namespace base::log_crypt {
namespace {

bool Library() {
  static const bool ready = [] {
    if (gcry_check_version(nullptr) == nullptr) return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}

// Owners for libgcrypt's handles so that every path releases them.
struct Mpi {
  gcry_mpi_t v = nullptr;
  ~Mpi() { gcry_mpi_release(v); }
};
struct Point {
  gcry_mpi_point_t v = nullptr;
  ~Point() { gcry_mpi_point_release(v); }
};
struct Ctx {
  gcry_ctx_t v = nullptr;
  ~Ctx() { gcry_ctx_release(v); }
};

bool ScanUnsigned(const std::uint8_t* bytes, std::size_t size, Mpi& out) {
  return gcry_mpi_scan(&out.v, GCRYMPI_FMT_USG, bytes, size, nullptr) == 0;
}

// Writes `value` as exactly 32 big-endian bytes.
bool Print32(gcry_mpi_t value, std::uint8_t out[32]) {
  unsigned char buffer[32];
  size_t written = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, buffer, sizeof buffer, &written, value) != 0 || written > 32) return false;
  std::memset(out, 0, 32);
  std::memcpy(out + (32 - written), buffer, written);
  return true;
}

// A scalar in 1 .. n-1.
bool ValidScalar(const std::uint8_t private_key[32], gcry_ctx_t ctx, Mpi& d) {
  if (!ScanUnsigned(private_key, 32, d)) return false;
  Mpi n;
  n.v = gcry_mpi_ec_get_mpi("n", ctx, 1);
  if (n.v == nullptr) return false;
  return gcry_mpi_cmp_ui(d.v, 0) != 0 && gcry_mpi_cmp(d.v, n.v) < 0;
}

// d × base, returned as its affine X (and Y when `y_out` is given).
bool Multiply(gcry_mpi_t d, gcry_mpi_point_t base, gcry_ctx_t ctx, std::uint8_t x_out[32], std::uint8_t* y_out) {
  Point product;
  product.v = gcry_mpi_point_new(0);
  gcry_mpi_ec_mul(product.v, d, base, ctx);
  Mpi x, y;
  x.v = gcry_mpi_new(0);
  y.v = gcry_mpi_new(0);
  if (gcry_mpi_ec_get_affine(x.v, y.v, product.v, ctx) != 0) return false;  // the point at infinity
  if (!Print32(x.v, x_out)) return false;
  return y_out == nullptr || Print32(y.v, y_out);
}

}  // namespace

bool EcPublicKey(const std::uint8_t private_key[32], std::uint8_t public_key[64]) {
  if (!Library()) return false;
  Ctx ctx;
  if (gcry_mpi_ec_new(&ctx.v, nullptr, "secp256k1") != 0) return false;
  Mpi d;
  if (!ValidScalar(private_key, ctx.v, d)) return false;
  Point g;
  g.v = gcry_mpi_ec_get_point("g", ctx.v, 1);
  if (g.v == nullptr) return false;
  return Multiply(d.v, g.v, ctx.v, public_key, public_key + 32);
}

bool EcSharedX(const std::uint8_t private_key[32], const std::uint8_t peer_public[64], std::uint8_t x[32]) {
  if (!Library()) return false;
  Ctx ctx;
  if (gcry_mpi_ec_new(&ctx.v, nullptr, "secp256k1") != 0) return false;
  Mpi d;
  if (!ValidScalar(private_key, ctx.v, d)) return false;
  Mpi px, py;
  if (!ScanUnsigned(peer_public, 32, px) || !ScanUnsigned(peer_public + 32, 32, py)) return false;
  Point peer;
  peer.v = gcry_mpi_point_new(0);
  gcry_mpi_point_set(peer.v, px.v, py.v, GCRYMPI_CONST_ONE);
  // Coordinates must be field elements and the point must lie on the curve.
  Mpi p;
  p.v = gcry_mpi_ec_get_mpi("p", ctx.v, 1);
  if (p.v == nullptr || gcry_mpi_cmp(px.v, p.v) >= 0 || gcry_mpi_cmp(py.v, p.v) >= 0) return false;
  if (!gcry_mpi_ec_curve_point(peer.v, ctx.v)) return false;
  return Multiply(d.v, peer.v, ctx.v, x, nullptr);
}

}  // namespace base::log_crypt
