// Package cryptography on CNG (bcrypt.dll). Providers, keys, hashes and secrets are opened for
// one operation and closed at its end, also on failure.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "content/crypto.h"

namespace vyo::content {
namespace {

constexpr ULONG kEcdhPrivateMagic = 0x324B4345;   // "ECK2"
constexpr ULONG kEcdhPublicMagic = 0x314B4345;    // "ECK1"
constexpr ULONG kEcdsaPublicMagic = 0x31534345;   // "ECS1"
constexpr ULONG kEcdsaPrivateMagic = 0x32534345;  // "ECS2"
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
// Providers without secret derivation (Wine's CNG among them) answer the first derivation call
// with this status.
constexpr NTSTATUS kStatusInternalError = static_cast<NTSTATUS>(0xC00000E5L);

bool Ok(NTSTATUS status) { return status >= 0; }

PUCHAR In(const std::uint8_t* p) { return const_cast<PUCHAR>(p); }
// CNG rejects null buffers in places where an empty one is fine; point at a dummy byte instead.
PUCHAR In(ByteView v) {
  static std::uint8_t dummy = 0;
  return v.empty() ? &dummy : In(v.data());
}

class Provider {
 public:
  Provider(LPCWSTR algorithm, ULONG flags) { status_ = BCryptOpenAlgorithmProvider(&h_, algorithm, nullptr, flags); }
  ~Provider() {
    if (h_) BCryptCloseAlgorithmProvider(h_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  bool ok() const { return Ok(status_) && h_; }
  BCRYPT_ALG_HANDLE get() const { return h_; }

 private:
  BCRYPT_ALG_HANDLE h_ = nullptr;
  NTSTATUS status_ = -1;
};

// Owns one CNG handle and destroys it with `Destroy`.
template <typename H, NTSTATUS(WINAPI* Destroy)(H)>
class Handle {
 public:
  Handle() = default;
  ~Handle() {
    if (h_) Destroy(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  H* put() { return &h_; }
  H get() const { return h_; }

 private:
  H h_ = nullptr;
};

using Key = Handle<BCRYPT_KEY_HANDLE, BCryptDestroyKey>;
using Secret = Handle<BCRYPT_SECRET_HANDLE, BCryptDestroySecret>;
using Hash = Handle<BCRYPT_HASH_HANDLE, BCryptDestroyHash>;

// Key blob: the 8-byte header (magic, key length 32, little-endian) then X, Y and, for a private
// blob, d.
Bytes MakeBlob(ULONG magic, ByteView public_key, const std::uint8_t* private_key) {
  Bytes blob(8 + kPublicKeySize + (private_key ? kPrivateKeySize : 0));
  const ULONG key_length = 32;
  std::memcpy(blob.data(), &magic, 4);
  std::memcpy(blob.data() + 4, &key_length, 4);
  std::memcpy(blob.data() + 8, public_key.data(), kPublicKeySize);
  if (private_key) std::memcpy(blob.data() + 8 + kPublicKeySize, private_key, kPrivateKeySize);
  return blob;
}

bool ImportKey(const Provider& provider, LPCWSTR type, Bytes& blob, Key& key) {
  const NTSTATUS status = BCryptImportKeyPair(provider.get(), nullptr, type, key.put(), blob.data(),
                                              static_cast<ULONG>(blob.size()), 0);
  SecureWipe(blob);
  return Ok(status);
}

bool HashWith(ByteView key, bool hmac, ByteView message, Digest& out) {
  const Provider provider(BCRYPT_SHA256_ALGORITHM, hmac ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0);
  if (!provider.ok()) return false;
  Hash hash;
  // HMAC with an empty key is HMAC with a key of zero bytes; CNG wants a non-empty secret.
  static const std::uint8_t kZeroKey[32] = {};
  ByteView secret = key;
  if (hmac && secret.empty()) secret = ByteView(kZeroKey, sizeof kZeroKey);
  if (!Ok(BCryptCreateHash(provider.get(), hash.put(), nullptr, 0, hmac ? In(secret) : nullptr,
                           hmac ? static_cast<ULONG>(secret.size()) : 0, 0))) {
    return false;
  }
  if (!message.empty() && !Ok(BCryptHashData(hash.get(), In(message), static_cast<ULONG>(message.size()), 0))) {
    return false;
  }
  return Ok(BCryptFinishHash(hash.get(), out.data(), static_cast<ULONG>(out.size()), 0));
}

bool MakeAesKey(const Provider& provider, ByteView key_bytes, Key& key) {
  static const wchar_t kGcm[] = BCRYPT_CHAIN_MODE_GCM;
  if (!provider.ok() || key_bytes.size() != 32) return false;
  if (!Ok(BCryptSetProperty(provider.get(), BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kGcm)),
                            sizeof kGcm, 0))) {
    return false;
  }
  return Ok(BCryptGenerateSymmetricKey(provider.get(), key.put(), nullptr, 0, In(key_bytes),
                                       static_cast<ULONG>(key_bytes.size()), 0));
}

}  // namespace

const char* CryptoBackendName() { return "cng"; }

std::optional<Digest> Sha256(ByteView data) {
  Digest digest{};
  if (!HashWith({}, false, data, digest)) return std::nullopt;
  return digest;
}

bool HmacSha256(ByteView key, ByteView message, Digest& mac) { return HashWith(key, true, message, mac); }

bool VerifySignature(ByteView publisher_public, ByteView digest, ByteView signature) {
  if (publisher_public.size() != kPublicKeySize || digest.size() != 32 || signature.size() != kSignatureSize) {
    return false;
  }
  const Provider provider(BCRYPT_ECDSA_P256_ALGORITHM, 0);
  if (!provider.ok()) return false;
  Key key;
  Bytes blob = MakeBlob(kEcdsaPublicMagic, publisher_public, nullptr);
  if (!ImportKey(provider, BCRYPT_ECCPUBLIC_BLOB, blob, key)) return false;
  return Ok(BCryptVerifySignature(key.get(), nullptr, In(digest), static_cast<ULONG>(digest.size()), In(signature),
                                  static_cast<ULONG>(signature.size()), 0));
}

EcdhStatus RawSharedSecret(ByteView private_key, ByteView public_key_of_private, ByteView peer_public,
                           std::array<std::uint8_t, 32>& secret) {
  if (private_key.size() != kPrivateKeySize || public_key_of_private.size() != kPublicKeySize ||
      peer_public.size() != kPublicKeySize) {
    return EcdhStatus::kFailed;
  }
  const Provider provider(BCRYPT_ECDH_P256_ALGORITHM, 0);
  if (!provider.ok()) return EcdhStatus::kFailed;
  Key own;
  Key peer;
  Bytes own_blob = MakeBlob(kEcdhPrivateMagic, public_key_of_private, private_key.data());
  Bytes peer_blob = MakeBlob(kEcdhPublicMagic, peer_public, nullptr);
  if (!ImportKey(provider, BCRYPT_ECCPRIVATE_BLOB, own_blob, own) ||
      !ImportKey(provider, BCRYPT_ECCPUBLIC_BLOB, peer_blob, peer)) {
    return EcdhStatus::kFailed;
  }
  Secret agreed;
  if (!Ok(BCryptSecretAgreement(own.get(), peer.get(), agreed.put(), 0))) return EcdhStatus::kFailed;
  // "TRUNCATE" hands out the raw secret: the x-coordinate, little-endian.
  static const wchar_t kRawSecret[] = L"TRUNCATE";
  ULONG size = 0;
  NTSTATUS status = BCryptDeriveKey(agreed.get(), kRawSecret, nullptr, nullptr, 0, &size, 0);
  if (status == kStatusNotSupported || status == kStatusNotImplemented || status == kStatusInternalError) {
    return EcdhStatus::kUnsupported;
  }
  if (!Ok(status) || size != secret.size()) return EcdhStatus::kFailed;
  status = BCryptDeriveKey(agreed.get(), kRawSecret, nullptr, secret.data(), static_cast<ULONG>(secret.size()), &size, 0);
  if (!Ok(status) || size != secret.size()) {
    SecureWipe(secret);
    return EcdhStatus::kFailed;
  }
  return EcdhStatus::kOk;
}

namespace {

// The GCM parameters of one call: nonce, optional additional data, and the tag (read or written).
BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO GcmInfo(ByteView nonce, ByteView aad, std::uint8_t* tag, size_t tag_size) {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = In(nonce);
  info.cbNonce = static_cast<ULONG>(nonce.size());
  info.pbAuthData = aad.empty() ? nullptr : In(aad);
  info.cbAuthData = static_cast<ULONG>(aad.size());
  info.pbTag = tag;
  info.cbTag = static_cast<ULONG>(tag_size);
  return info;
}

}  // namespace

bool AesGcmDecrypt(ByteView key, ByteView nonce, ByteView tag, ByteView aad, ByteView ciphertext, Bytes& plaintext) {
  plaintext.clear();
  if (nonce.size() != kNonceSize || tag.size() != kTagSize || ciphertext.size() > 0xFFFFFFFFu ||
      aad.size() > 0xFFFFFFFFu) {
    return false;
  }
  const Provider provider(BCRYPT_AES_ALGORITHM, 0);
  Key aes;
  if (!MakeAesKey(provider, key, aes)) return false;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = GcmInfo(nonce, aad, In(tag), tag.size());
  Bytes out(ciphertext.size());
  std::uint8_t dummy = 0;
  ULONG written = 0;
  const NTSTATUS status =
      BCryptDecrypt(aes.get(), In(ciphertext), static_cast<ULONG>(ciphertext.size()), &info, nullptr, 0,
                    out.empty() ? &dummy : out.data(), static_cast<ULONG>(out.size()), &written, 0);
  if (!Ok(status) || written != ciphertext.size()) {
    SecureWipe(out);
    return false;
  }
  plaintext = std::move(out);
  return true;
}

bool GenerateKeyPair(KeyPair& pair) {
  const Provider provider(BCRYPT_ECDH_P256_ALGORITHM, 0);
  if (!provider.ok()) return false;
  Key key;
  if (!Ok(BCryptGenerateKeyPair(provider.get(), key.put(), 256, 0)) || !Ok(BCryptFinalizeKeyPair(key.get(), 0))) {
    return false;
  }
  Bytes blob(8 + kPublicKeySize + kPrivateKeySize);
  ULONG size = 0;
  const NTSTATUS status =
      BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(), static_cast<ULONG>(blob.size()), &size, 0);
  const bool ok = Ok(status) && size == blob.size();
  if (ok) {
    std::memcpy(pair.public_key.data(), blob.data() + 8, kPublicKeySize);
    std::memcpy(pair.private_key.data(), blob.data() + 8 + kPublicKeySize, kPrivateKeySize);
  }
  SecureWipe(blob);
  return ok;
}

bool SignDigest(const KeyPair& signer, ByteView digest, std::array<std::uint8_t, kSignatureSize>& signature) {
  if (digest.size() != 32) return false;
  const Provider provider(BCRYPT_ECDSA_P256_ALGORITHM, 0);
  if (!provider.ok()) return false;
  Key key;
  Bytes blob = MakeBlob(kEcdsaPrivateMagic, signer.public_key, signer.private_key.data());
  if (!ImportKey(provider, BCRYPT_ECCPRIVATE_BLOB, blob, key)) return false;
  ULONG size = 0;
  return Ok(BCryptSignHash(key.get(), nullptr, In(digest), static_cast<ULONG>(digest.size()), signature.data(),
                           static_cast<ULONG>(signature.size()), &size, 0)) &&
         size == signature.size();
}

bool AesGcmEncrypt(ByteView key, ByteView nonce, ByteView aad, ByteView plaintext, Bytes& ciphertext,
                   std::array<std::uint8_t, kTagSize>& tag) {
  ciphertext.clear();
  if (nonce.size() != kNonceSize || plaintext.size() > 0xFFFFFFFFu || aad.size() > 0xFFFFFFFFu) return false;
  const Provider provider(BCRYPT_AES_ALGORITHM, 0);
  Key aes;
  if (!MakeAesKey(provider, key, aes)) return false;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = GcmInfo(nonce, aad, tag.data(), tag.size());
  Bytes out(plaintext.size());
  std::uint8_t dummy = 0;
  ULONG written = 0;
  if (!Ok(BCryptEncrypt(aes.get(), In(plaintext), static_cast<ULONG>(plaintext.size()), &info, nullptr, 0,
                        out.empty() ? &dummy : out.data(), static_cast<ULONG>(out.size()), &written, 0)) ||
      written != plaintext.size()) {
    return false;
  }
  ciphertext = std::move(out);
  return true;
}

bool RandomBytes(std::span<std::uint8_t> out) {
  return out.empty() || Ok(BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                           BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace vyo::content
