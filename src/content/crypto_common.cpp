// The parts of package cryptography that do not depend on the provider: the wipe, HKDF on top of
// HMAC-SHA256, and the content-key derivation on top of the raw ECDH secret.
#include <cstring>

#include "content/crypto.h"

namespace vyo::content {

void SecureWipe(void* data, std::size_t size) {
  if (!data || size == 0) return;
  volatile auto* p = static_cast<volatile std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
  // Tells the optimiser the memory is still observed, so the stores above stay.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

bool HkdfSha256(ByteView ikm, std::optional<ByteView> salt, ByteView info, std::size_t length, Bytes& out) {
  out.clear();
  if (ikm.empty() || length < 1 || length > kHkdfMaxLength) return false;
  static constexpr std::uint8_t kZeroSalt[32] = {};
  const ByteView extract_key = salt ? *salt : ByteView(kZeroSalt, sizeof kZeroSalt);

  Digest prk{};
  if (!HmacSha256(extract_key, ikm, prk)) return false;

  Bytes result;
  result.reserve(length);
  Digest block{};
  std::size_t block_size = 0;  // T(0) is empty
  Bytes message;
  message.reserve(block.size() + info.size() + 1);
  bool ok = true;
  for (std::uint32_t i = 1; result.size() < length; ++i) {
    message.assign(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(block_size));
    message.insert(message.end(), info.begin(), info.end());
    message.push_back(static_cast<std::uint8_t>(i));
    if (!HmacSha256(prk, message, block)) {
      ok = false;
      break;
    }
    block_size = block.size();
    const std::size_t take = std::min(block.size(), length - result.size());
    result.insert(result.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
  }
  SecureWipe(prk);
  SecureWipe(block);
  SecureWipe(message);
  if (!ok) {
    SecureWipe(result);
    return false;
  }
  out = std::move(result);
  return true;
}

bool ContentKeyFromRawSecret(ByteView raw_secret, ContentKey& key) {
  auto ikm = Sha256(raw_secret);
  if (!ikm) return false;
  Bytes okm;
  const auto* info = reinterpret_cast<const std::uint8_t*>(kContentKeyInfo);
  const bool ok = HkdfSha256(*ikm, std::nullopt, ByteView(info, sizeof kContentKeyInfo - 1), key.size(), okm);
  SecureWipe(*ikm);
  if (!ok) return false;
  std::memcpy(key.data(), okm.data(), key.size());
  SecureWipe(okm);
  return true;
}

bool DeriveContentKey(ByteView host_private, ByteView host_public, ByteView ephemeral_x, ByteView ephemeral_y,
                      ContentKey& key) {
  if (host_private.size() != kPrivateKeySize || host_public.size() != kPublicKeySize || ephemeral_x.size() != 32 ||
      ephemeral_y.size() != 32) {
    return false;
  }
  std::array<std::uint8_t, kPublicKeySize> peer{};
  std::memcpy(peer.data(), ephemeral_x.data(), 32);
  std::memcpy(peer.data() + 32, ephemeral_y.data(), 32);
  std::array<std::uint8_t, 32> secret{};
  const bool ok = RawSharedSecret(host_private, host_public, peer, secret) == EcdhStatus::kOk &&
                  ContentKeyFromRawSecret(secret, key);
  SecureWipe(secret);
  if (!ok) SecureWipe(key);
  return ok;
}

std::string ToHex(ByteView bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const auto b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

}  // namespace vyo::content
