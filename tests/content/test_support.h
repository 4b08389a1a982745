// Helpers for the content tests: hex, key sets made at test time, and packages built by the test
// (whole, or sealed by hand from an index plaintext the test controls).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "content/crypto.h"
#include "content/keys.h"
#include "content/package.h"

namespace vyo::content::testing {

inline Bytes FromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}


inline Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline constexpr char kNoRawSecret[] =
    "this CNG lacks the raw-secret key derivation (BCryptDeriveKey with \"TRUNCATE\"), which the package "
    "content key needs";

// Skips the current test where the provider lacks the raw ECDH secret (Wine's CNG); on every
// other platform the missing primitive is a failure.
#define VYO_SKIP_IF_NO_RAW_SECRET(status)                                                 \
  do {                                                                                    \
    if ((status) == ::vyo::content::EcdhStatus::kUnsupported) {                           \
      if (::std::strcmp(::vyo::content::CryptoBackendName(), "cng") == 0) {               \
        GTEST_SKIP() << ::vyo::content::testing::kNoRawSecret;                            \
      }                                                                                   \
      FAIL() << "raw-secret derivation unsupported on " << ::vyo::content::CryptoBackendName(); \
    }                                                                                     \
  } while (0)

// A host key pair and a publisher key pair made for one test.
struct TestKeys {
  KeyPair host;
  KeyPair publisher;
  KeySet set() const {
    KeySet keys;
    keys.host_private = host.private_key;
    keys.host_public = host.public_key;
    keys.publisher_public = publisher.public_key;
    return keys;
  }
  TestKeys() {
    EXPECT_TRUE(GenerateKeyPair(host));
    EXPECT_TRUE(GenerateKeyPair(publisher));
  }
};

// Probes the provider once: can it derive a content key at all?
inline EcdhStatus RawSecretStatus() {
  static const EcdhStatus status = [] {
    KeyPair a, b;
    std::array<std::uint8_t, 32> secret{};
    if (!GenerateKeyPair(a) || !GenerateKeyPair(b)) return EcdhStatus::kFailed;
    return RawSharedSecret(a.private_key, a.public_key, b.public_key, secret);
  }();
  return status;
}

// A plan whose content key is agreed with the host key, as a packer does it. With
// `big_endian_secret` the raw secret is hashed in big-endian order, as a faulty packer would.
inline bool StartPlan(const TestKeys& keys, PackagePlan& plan, bool big_endian_secret = false) {
  KeyPair ephemeral;
  std::array<std::uint8_t, 32> secret{};
  if (!GenerateKeyPair(ephemeral) ||
      RawSharedSecret(ephemeral.private_key, ephemeral.public_key, keys.host.public_key, secret) != EcdhStatus::kOk) {
    return false;
  }
  if (big_endian_secret) std::reverse(secret.begin(), secret.end());
  plan.ephemeral_public = ephemeral.public_key;
  return ContentKeyFromRawSecret(secret, plan.key);
}

inline Bytes BuildPackage(const TestKeys& keys, const std::vector<PackInput>& inputs, const PackOptions& options) {
  Bytes file;
  std::string error;
  EXPECT_TRUE(WritePackage(inputs, options, keys.host.public_key, keys.publisher, file, error)) << error;
  return file;
}

// Seals an arbitrary index plaintext (and data area) under the plan's key, with the header's
// plaintext length field set to `declared_plain_length`.
inline Bytes SealRaw(const PackagePlan& plan, const Bytes& index_plaintext, std::uint32_t declared_plain_length,
                     const Bytes& data, const KeyPair& publisher) {
  Bytes header(kPackageMagic, kPackageMagic + 8);
  const auto put32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) header.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  put32(kPackageVersion);
  put32(plan.flags);
  put32(declared_plain_length);
  put32(static_cast<std::uint32_t>(index_plaintext.size()));
  std::array<std::uint8_t, kNonceSize> nonce{1, 2, 3};
  std::array<std::uint8_t, kTagSize> tag{};
  Bytes ciphertext;
  EXPECT_TRUE(AesGcmEncrypt(plan.key, nonce, header, index_plaintext, ciphertext, tag));
  header.insert(header.end(), nonce.begin(), nonce.end());
  header.insert(header.end(), tag.begin(), tag.end());
  header.push_back(0x04);
  header.insert(header.end(), plan.ephemeral_public.begin(), plan.ephemeral_public.end());
  header.resize(kHeaderSize, 0);
  header.insert(header.end(), ciphertext.begin(), ciphertext.end());
  header.insert(header.end(), data.begin(), data.end());
  EXPECT_TRUE(SignPackage(header, publisher));
  return header;
}

}  // namespace vyo::content::testing
