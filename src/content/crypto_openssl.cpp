// Package cryptography on OpenSSL 3. The raw ECDH secret is turned into the little-endian byte
// order the key derivation is defined on, and signatures are checked against the prehashed digest
// (the digest is not hashed again).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "content/crypto.h"

namespace vyo::content {
namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
  void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
  void operator()(BIGNUM* p) const { BN_clear_free(p); }
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// A P-256 key from X||Y and, for a key pair, the private scalar.
Owned<EVP_PKEY> MakeKey(const std::uint8_t* private_key, ByteView public_key) {
  if (public_key.size() != kPublicKeySize) return nullptr;
  std::uint8_t point[1 + kPublicKeySize];
  point[0] = 0x04;
  std::memcpy(point + 1, public_key.data(), kPublicKeySize);
  Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (!builder) return nullptr;
  if (!OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
      !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point)) {
    return nullptr;
  }
  Owned<BIGNUM> scalar;
  if (private_key) {
    // A secure bignum makes the parameter builder keep the scalar in OpenSSL's secure heap,
    // which is cleared when the parameters are freed.
    scalar.reset(BN_secure_new());
    if (!scalar || !BN_bin2bn(private_key, static_cast<int>(kPrivateKeySize), scalar.get()) || BN_is_zero(scalar.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get())) {
      return nullptr;
    }
  }
  Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) return nullptr;
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &key, private_key ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return Owned<EVP_PKEY>(key);
}

}  // namespace

const char* CryptoBackendName() { return "openssl"; }

std::optional<Digest> Sha256(ByteView data) {
  static const std::uint8_t kEmpty = 0;
  Digest digest{};
  unsigned int size = 0;
  if (EVP_Digest(data.empty() ? &kEmpty : data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
      size != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

bool HmacSha256(ByteView key, ByteView message, Digest& mac) {
  static const std::uint8_t kEmpty = 0;
  unsigned int size = 0;
  const unsigned char* result =
      HMAC(EVP_sha256(), key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()),
           message.empty() ? &kEmpty : message.data(), message.size(), mac.data(), &size);
  return result != nullptr && size == mac.size();
}

bool VerifySignature(ByteView publisher_public, ByteView digest, ByteView signature) {
  if (digest.size() != 32 || signature.size() != kSignatureSize) return false;
  Owned<EVP_PKEY> key = MakeKey(nullptr, publisher_public);
  if (!key) return false;
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  const int der_size = i2d_ECDSA_SIG(sig.get(), &der);
  if (der_size <= 0) return false;
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                  EVP_PKEY_verify(ctx.get(), der, static_cast<std::size_t>(der_size), digest.data(), digest.size()) == 1;
  OPENSSL_free(der);
  return ok;
}

EcdhStatus RawSharedSecret(ByteView private_key, ByteView public_key_of_private, ByteView peer_public,
                           std::array<std::uint8_t, 32>& secret) {
  if (private_key.size() != kPrivateKeySize) return EcdhStatus::kFailed;
  Owned<EVP_PKEY> own = MakeKey(private_key.data(), public_key_of_private);
  Owned<EVP_PKEY> peer = MakeKey(nullptr, peer_public);
  if (!own || !peer) return EcdhStatus::kFailed;
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr));
  std::size_t size = secret.size();
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) != 1 ||
      EVP_PKEY_derive(ctx.get(), secret.data(), &size) != 1 || size != secret.size()) {
    SecureWipe(secret);
    return EcdhStatus::kFailed;
  }
  // OpenSSL gives the x-coordinate big-endian; the derivation is defined on the little-endian form.
  std::reverse(secret.begin(), secret.end());
  return EcdhStatus::kOk;
}

bool AesGcmDecrypt(ByteView key, ByteView nonce, ByteView tag, ByteView aad, ByteView ciphertext, Bytes& plaintext) {
  plaintext.clear();
  if (key.size() != 32 || nonce.size() != kNonceSize || tag.size() != kTagSize) return false;
  Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  Bytes out(ciphertext.size());
  int n = 0;
  bool ok = EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) == 1 &&
            EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) == 1;
  // Lengths beyond INT_MAX would need chunking; packages are capped far below that.
  ok = ok && ciphertext.size() <= 0x7FFFFFFF && aad.size() <= 0x7FFFFFFF;
  if (ok && !aad.empty()) ok = EVP_DecryptUpdate(ctx.get(), nullptr, &n, aad.data(), static_cast<int>(aad.size())) == 1;
  if (ok && !ciphertext.empty()) {
    ok = EVP_DecryptUpdate(ctx.get(), out.data(), &n, ciphertext.data(), static_cast<int>(ciphertext.size())) == 1 &&
         static_cast<std::size_t>(n) == ciphertext.size();
  }
  std::uint8_t tag_copy[kTagSize];
  std::memcpy(tag_copy, tag.data(), kTagSize);
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag_copy) == 1;
  std::uint8_t final_block[16];
  ok = ok && EVP_DecryptFinal_ex(ctx.get(), final_block, &n) == 1;
  if (!ok) {
    SecureWipe(out);
    return false;
  }
  plaintext = std::move(out);
  return true;
}

bool GenerateKeyPair(KeyPair& pair) {
  Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) return false;
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1) return false;
  Owned<BIGNUM> scalar(raw);
  std::uint8_t point[1 + kPublicKeySize];
  std::size_t point_size = 0;
  if (BN_bn2binpad(scalar.get(), pair.private_key.data(), static_cast<int>(kPrivateKeySize)) != 32 ||
      EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &point_size) != 1 ||
      point_size != sizeof point || point[0] != 0x04) {
    SecureWipe(pair.private_key);
    return false;
  }
  std::memcpy(pair.public_key.data(), point + 1, kPublicKeySize);
  return true;
}

bool SignDigest(const KeyPair& signer, ByteView digest, std::array<std::uint8_t, kSignatureSize>& signature) {
  if (digest.size() != 32) return false;
  Owned<EVP_PKEY> key = MakeKey(signer.private_key.data(), signer.public_key);
  if (!key) return false;
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  std::size_t der_size = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &der_size, digest.data(), digest.size()) != 1) {
    return false;
  }
  Bytes der(der_size);
  if (EVP_PKEY_sign(ctx.get(), der.data(), &der_size, digest.data(), digest.size()) != 1) return false;
  const unsigned char* cursor = der.data();
  Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der_size)));
  if (!sig) return false;
  return BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), signature.data(), 32) == 32 &&
         BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), signature.data() + 32, 32) == 32;
}

bool AesGcmEncrypt(ByteView key, ByteView nonce, ByteView aad, ByteView plaintext, Bytes& ciphertext,
                   std::array<std::uint8_t, kTagSize>& tag) {
  ciphertext.clear();
  if (key.size() != 32 || nonce.size() != kNonceSize || plaintext.size() > 0x7FFFFFFF || aad.size() > 0x7FFFFFFF) {
    return false;
  }
  Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  Bytes out(plaintext.size());
  int n = 0;
  bool ok = EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceSize), nullptr) == 1 &&
            EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) == 1;
  if (ok && !aad.empty()) ok = EVP_EncryptUpdate(ctx.get(), nullptr, &n, aad.data(), static_cast<int>(aad.size())) == 1;
  if (ok && !plaintext.empty()) {
    ok = EVP_EncryptUpdate(ctx.get(), out.data(), &n, plaintext.data(), static_cast<int>(plaintext.size())) == 1;
  }
  std::uint8_t final_block[16];
  ok = ok && EVP_EncryptFinal_ex(ctx.get(), final_block, &n) == 1 &&
       EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag.data()) == 1;
  if (!ok) return false;
  ciphertext = std::move(out);
  return true;
}

bool RandomBytes(std::span<std::uint8_t> out) {
  return out.empty() || RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

}  // namespace vyo::content
