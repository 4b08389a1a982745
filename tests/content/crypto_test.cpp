// Package cryptography against published vectors and fixed keys, so that both backends are held
// to the same bytes.
#include <gtest/gtest.h>

#include "content/crypto.h"
#include "test_support.h"

namespace vyo::content {
namespace {

using testing::B;
using testing::FromHex;

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(ToHex(*Sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(ToHex(*Sha256(B("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// RFC 5869, the three SHA-256 cases.
TEST(HkdfTest, Rfc5869Vectors) {
  struct Case {
    Bytes ikm;
    std::optional<Bytes> salt;
    Bytes info;
    std::size_t length;
    const char* okm;
  };
  Bytes ikm2, salt2, info2;
  for (int i = 0; i < 0x50; ++i) {
    ikm2.push_back(static_cast<std::uint8_t>(i));
    salt2.push_back(static_cast<std::uint8_t>(0x60 + i));
    info2.push_back(static_cast<std::uint8_t>(0xb0 + i));
  }
  const Case cases[] = {
      {Bytes(22, 0x0b), FromHex("000102030405060708090a0b0c"), FromHex("f0f1f2f3f4f5f6f7f8f9"), 42,
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {ikm2, salt2, info2, 82,
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da3275600c2f09b8"
       "367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {Bytes(22, 0x0b), Bytes{}, Bytes{}, 42,
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const auto& c : cases) {
    Bytes out;
    ASSERT_TRUE(HkdfSha256(c.ikm, c.salt ? std::optional<ByteView>(*c.salt) : std::nullopt, c.info, c.length, out));
    EXPECT_EQ(ToHex(out), c.okm);
  }
  // No salt is the same as 32 zero bytes of salt.
  Bytes without, with_zeros;
  const Bytes zeros(32, 0);
  ASSERT_TRUE(HkdfSha256(Bytes(22, 0x0b), std::nullopt, {}, 42, without));
  ASSERT_TRUE(HkdfSha256(Bytes(22, 0x0b), ByteView(zeros), {}, 42, with_zeros));
  EXPECT_EQ(without, with_zeros);
  EXPECT_EQ(ToHex(without), cases[2].okm);
}

TEST(HkdfTest, OutputLengthLimitsAndEmptyInput) {
  const Bytes ikm(32, 7);
  Bytes out{1, 2, 3};
  EXPECT_FALSE(HkdfSha256(ikm, std::nullopt, {}, 0, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(HkdfSha256(ikm, std::nullopt, {}, 8161, out));
  EXPECT_FALSE(HkdfSha256({}, std::nullopt, {}, 32, out));
  ASSERT_TRUE(HkdfSha256(ikm, std::nullopt, B("x"), 8160, out));
  ASSERT_EQ(out.size(), 8160u);
  // The output is a prefix-stable stream: shorter requests give the start of the longer one.
  Bytes first;
  ASSERT_TRUE(HkdfSha256(ikm, std::nullopt, B("x"), 8, first));
  EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));
}

// The AES-256 GCM test vector with additional data (60-byte plaintext, 20-byte AAD).
TEST(AesGcmTest, NistVectorAndTamperedInputs) {
  const Bytes key = FromHex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
  const Bytes nonce = FromHex("cafebabefacedbaddecaf888");
  const Bytes aad = FromHex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
  const Bytes plain = FromHex(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de6"
      "57ba637b39");
  const Bytes cipher = FromHex(
      "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0a"
      "bcc9f662");
  const Bytes tag = FromHex("76fc6ece0f4e1768cddf8853bb2d551b");

  Bytes out;
  ASSERT_TRUE(AesGcmDecrypt(key, nonce, tag, aad, cipher, out));
  EXPECT_EQ(out, plain);

  Bytes sealed;
  std::array<std::uint8_t, kTagSize> sealed_tag{};
  ASSERT_TRUE(AesGcmEncrypt(key, nonce, aad, plain, sealed, sealed_tag));
  EXPECT_EQ(sealed, cipher);
  EXPECT_EQ(ToHex(sealed_tag), ToHex(tag));

  const auto flipped = [](Bytes v, std::size_t i) {
    v[i] ^= 0x01;
    return v;
  };
  EXPECT_FALSE(AesGcmDecrypt(key, nonce, flipped(tag, 0), aad, cipher, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(AesGcmDecrypt(key, nonce, flipped(tag, 15), aad, cipher, out));
  EXPECT_FALSE(AesGcmDecrypt(key, nonce, tag, flipped(aad, 19), cipher, out));
  EXPECT_FALSE(AesGcmDecrypt(key, nonce, tag, {}, cipher, out));
  EXPECT_FALSE(AesGcmDecrypt(key, nonce, tag, aad, flipped(cipher, 30), out));
  EXPECT_FALSE(AesGcmDecrypt(key, flipped(nonce, 0), tag, aad, cipher, out));
  EXPECT_FALSE(AesGcmDecrypt(Bytes(16, 0), nonce, tag, aad, cipher, out));  // not AES-256
}

TEST(AesGcmTest, EmptyPlaintextRoundTrip) {
  const Bytes key(32, 9), nonce(12, 1);
  Bytes cipher{5};
  std::array<std::uint8_t, kTagSize> tag{};
  ASSERT_TRUE(AesGcmEncrypt(key, nonce, B("name"), {}, cipher, tag));
  EXPECT_TRUE(cipher.empty());
  Bytes out{5};
  ASSERT_TRUE(AesGcmDecrypt(key, nonce, tag, B("name"), {}, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(AesGcmDecrypt(key, nonce, tag, B("other"), {}, out));
}

// The RFC 5903 P-256 key pairs. The raw secret must come out as the x-coordinate of the shared
// point in little-endian order on every backend.
TEST(EcdhTest, RawSecretIsLittleEndianX) {
  const Bytes i = FromHex("c88f01f510d9ac3f70a292daa2316de544e9aab8afe84049c62a9c57862d1433");
  const Bytes gi = FromHex(
      "dad0b65394221cf9b051e1feca5787d098dfe637fc90b9ef945d0c37725811805271a0461cdb8252d61f1c456fa3e59ab1f45b33accf5f"
      "58389e0577b8990bb3");
  const Bytes r = FromHex("c6ef9c5d78ae012a011164acb397ce2088685d8f06bf9be0b283ab46476bee53");
  const Bytes gr = FromHex(
      "d12dfb5289c8d4f81208b70270398c342296970a0bccb74c736fc7554494bf6356fbf3ca366cc23e8157854c13c58d6aac23f046ada30f"
      "8353e74f33039872ab");
  const char* kLittleEndianX = "de42944bd064248103ce7dce9e8eef2f206525e1e01631d1afedf6426b0f84d6";

  std::array<std::uint8_t, 32> secret{};
  const EcdhStatus status = RawSharedSecret(i, gi, gr, secret);
  VYO_SKIP_IF_NO_RAW_SECRET(status);
  ASSERT_EQ(status, EcdhStatus::kOk);
  EXPECT_EQ(ToHex(secret), kLittleEndianX);
  ASSERT_EQ(RawSharedSecret(r, gr, gi, secret), EcdhStatus::kOk);
  EXPECT_EQ(ToHex(secret), kLittleEndianX);

  // The content key is HKDF over SHA-256 of exactly those bytes.
  ContentKey derived{}, expected{};
  ASSERT_TRUE(DeriveContentKey(i, gi, ByteView(gr).first(32), ByteView(gr).subspan(32), derived));
  ASSERT_TRUE(ContentKeyFromRawSecret(FromHex(kLittleEndianX), expected));
  EXPECT_EQ(derived, expected);
  // The same derivation computed independently; hashing the big-endian x instead gives another key.
  EXPECT_EQ(ToHex(derived), "bacc429eacc2a167fcc98be7bdb67c877cd1caff57b79c3d1d2171f671088c10");
  // A point that is not on the curve is refused.
  Bytes bad = gr;
  bad[63] ^= 1;
  EXPECT_EQ(RawSharedSecret(i, gi, bad, secret), EcdhStatus::kFailed);
}

// A signature made elsewhere over the SHA-256 of a message verifies against that digest: the
// digest is taken as already hashed.
TEST(SignatureTest, VerifiesPrehashedDigest) {
  const Bytes pub = FromHex(
      "dad0b65394221cf9b051e1feca5787d098dfe637fc90b9ef945d0c37725811805271a0461cdb8252d61f1c456fa3e59ab1f45b33accf5f"
      "58389e0577b8990bb3");
  const Bytes digest = FromHex("ef74b63ba6e808753708a68be46b0a3f23fd8546f4d8bbf733733336c19ebd14");
  const Bytes sig = FromHex(
      "1a1be606c7e908956f930c32234729554799675383eb78f7cf6654f99c2da818da1117336f0ad3465721b9bc28ee50b055686f2531f302"
      "65ec0f8c17fc0f6ef3");
  EXPECT_EQ(ToHex(*Sha256(B("package digest test"))), ToHex(digest));
  EXPECT_TRUE(VerifySignature(pub, digest, sig));
  Bytes other = digest;
  other[0] ^= 1;
  EXPECT_FALSE(VerifySignature(pub, other, sig));
  Bytes bad_sig = sig;
  bad_sig[40] ^= 1;
  EXPECT_FALSE(VerifySignature(pub, digest, bad_sig));
  EXPECT_FALSE(VerifySignature(pub, digest, Bytes(64, 0)));
  EXPECT_FALSE(VerifySignature(Bytes(64, 0), digest, sig));
}

TEST(SignatureTest, SignThenVerifyWithGeneratedKeys) {
  KeyPair signer, other;
  ASSERT_TRUE(GenerateKeyPair(signer));
  ASSERT_TRUE(GenerateKeyPair(other));
  const Digest digest = *Sha256(B("content"));
  std::array<std::uint8_t, kSignatureSize> sig{};
  ASSERT_TRUE(SignDigest(signer, digest, sig));
  EXPECT_TRUE(VerifySignature(signer.public_key, digest, sig));
  EXPECT_FALSE(VerifySignature(other.public_key, digest, sig));
}

TEST(WipeTest, ClearsBuffer) {
  std::array<std::uint8_t, 40> secret{};
  secret.fill(0xAA);
  SecureWipe(secret);
  for (const auto b : secret) EXPECT_EQ(b, 0);
}

}  // namespace
}  // namespace vyo::content
