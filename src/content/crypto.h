// Package cryptography: SHA-256, ECDSA P-256 signature checks on a prehashed digest, the ECDH
// P-256 content-key derivation, HKDF-SHA256 and AES-256-GCM. Two backends implement the
// platform primitives (CNG on Windows, OpenSSL elsewhere); HKDF and the key derivation on top
// of them are shared. The sealing half (key generation, signing, encryption) serves the packer
// and the tests that build packages.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vyo::content {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using Digest = std::array<std::uint8_t, 32>;
using ContentKey = std::array<std::uint8_t, 32>;

inline constexpr std::size_t kPrivateKeySize = 32;  // P-256 scalar d, big-endian
inline constexpr std::size_t kPublicKeySize = 64;   // X then Y, big-endian
inline constexpr std::size_t kSignatureSize = 64;   // r then s, big-endian
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kHkdfMaxLength = 255 * 32;
// HKDF info of the content key.
inline constexpr char kContentKeyInfo[] = "VYO-PKG-v1";

// Overwrites memory in a way the compiler may not drop as a dead store.
void SecureWipe(void* data, std::size_t size);
template <typename T>
void SecureWipe(T& container) {
  SecureWipe(container.data(), container.size() * sizeof(typename T::value_type));
}

// The name of the backend ("cng" or "openssl").
const char* CryptoBackendName();

// --- Opening packages -------------------------------------------------------------------------

std::optional<Digest> Sha256(ByteView data);
// Lower-case hexadecimal text of bytes (digests and keys in tools, logs and tests).
std::string ToHex(ByteView bytes);
// Checks r||s against an already computed 32-byte digest with the publisher's public key.
bool VerifySignature(ByteView publisher_public, ByteView digest, ByteView signature);
// ECDH of the host key pair with the package's ephemeral key, then SHA-256 of the raw secret
// (little-endian x-coordinate) and HKDF-SHA256 with the info "VYO-PKG-v1".
bool DeriveContentKey(ByteView host_private, ByteView host_public, ByteView ephemeral_x, ByteView ephemeral_y,
                      ContentKey& key);
// RFC 5869 with HMAC-SHA256. No salt stands for 32 zero bytes. Output length 1 to 8160.
bool HkdfSha256(ByteView ikm, std::optional<ByteView> salt, ByteView info, std::size_t length, Bytes& out);
bool HmacSha256(ByteView key, ByteView message, Digest& mac);
// Any failure, including a tag mismatch, leaves `plaintext` empty.
bool AesGcmDecrypt(ByteView key, ByteView nonce, ByteView tag, ByteView aad, ByteView ciphertext, Bytes& plaintext);

// Outcome of the raw ECDH step, kept apart so that a provider without raw-secret derivation can
// be told from a failed agreement.
enum class EcdhStatus { kOk, kFailed, kUnsupported };
// Raw ECDH secret as the key derivation consumes it: the x-coordinate of the shared point in
// little-endian byte order.
EcdhStatus RawSharedSecret(ByteView private_key, ByteView public_key_of_private, ByteView peer_public,
                           std::array<std::uint8_t, 32>& secret);
// ikm = SHA-256(raw secret); key = HKDF-SHA256(ikm, no salt, "VYO-PKG-v1", 32).
bool ContentKeyFromRawSecret(ByteView raw_secret, ContentKey& key);

// --- Sealing packages -------------------------------------------------------------------------

struct KeyPair {
  std::array<std::uint8_t, kPrivateKeySize> private_key{};
  std::array<std::uint8_t, kPublicKeySize> public_key{};
  ~KeyPair() { SecureWipe(private_key); }
};

bool GenerateKeyPair(KeyPair& pair);
bool SignDigest(const KeyPair& signer, ByteView digest, std::array<std::uint8_t, kSignatureSize>& signature);
bool AesGcmEncrypt(ByteView key, ByteView nonce, ByteView aad, ByteView plaintext, Bytes& ciphertext,
                   std::array<std::uint8_t, kTagSize>& tag);
bool RandomBytes(std::span<std::uint8_t> out);

}  // namespace vyo::content
