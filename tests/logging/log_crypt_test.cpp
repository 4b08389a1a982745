// Log encryption: the compressor, the cipher, the key agreement, the header and trailer, the carry and the segments.
#include "logging/log_crypt.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>

#include <zlib.h>

#include "logging/ec.h"
#include "logging/flush_deflater.h"
#include "logging/log_reader.h"
#include "platform/random.h"
#include "test_keys.h"

namespace {

namespace lc = base::log_crypt;

std::array<std::uint8_t, 32> Hex32(const char* hex) {
  std::array<std::uint8_t, 32> out{};
  for (std::size_t i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
  return out;
}

std::array<std::uint8_t, 32> Scalar(std::uint8_t last) {
  std::array<std::uint8_t, 32> s{};
  s[31] = last;
  return s;
}

std::array<std::uint8_t, 8> Tea(std::array<std::uint8_t, 8> block, const std::uint8_t* key) {
  lc::TeaEncrypt16(block.data(), key);
  return block;
}

TEST(TeaTest, SixteenCycleVectorsAndInverse) {
  std::uint8_t zero_key[16] = {};
  std::uint8_t counting_key[16];
  for (int i = 0; i < 16; ++i) counting_key[i] = static_cast<std::uint8_t>(i);
  const std::array<std::uint8_t, 8> zero{};
  const std::array<std::uint8_t, 8> counting{0, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(Tea(zero, zero_key), (std::array<std::uint8_t, 8>{0x98, 0xf7, 0x89, 0xa8, 0x83, 0x80, 0x2d, 0x18}));
  EXPECT_EQ(Tea(counting, counting_key),
            (std::array<std::uint8_t, 8>{0x51, 0x97, 0xdf, 0xca, 0x3f, 0x65, 0x2f, 0x37}));
  auto block = Tea(counting, counting_key);
  lc::TeaDecrypt16(block.data(), counting_key);
  EXPECT_EQ(block, counting);
}

TEST(EcTest, GeneratorMultiplesAndAgreementAgreeAcrossBothSides) {
  std::uint8_t pub1[64], pub2[64], pub3[64];
  ASSERT_TRUE(lc::EcPublicKey(Scalar(1).data(), pub1));
  ASSERT_TRUE(lc::EcPublicKey(Scalar(2).data(), pub2));
  ASSERT_TRUE(lc::EcPublicKey(Scalar(3).data(), pub3));
  // G and 2G of secp256k1 (SEC 2).
  const auto gx = Hex32("79BE667EF9DCBBAC55A06295CE870B07029BFCDB2DCE28D959F2815B16F81798");
  const auto gy = Hex32("483ADA7726A3C4655DA4FBFC0E1108A8FD17B448A68554199C47D08FFB10D4B8");
  const auto g2x = Hex32("C6047F9441ED7D6D3045406E95C07CD85C778E4B8CEF3CA7ABAC09B95C709EE5");
  EXPECT_EQ(0, std::memcmp(pub1, gx.data(), 32));
  EXPECT_EQ(0, std::memcmp(pub1 + 32, gy.data(), 32));
  EXPECT_EQ(0, std::memcmp(pub2, g2x.data(), 32));
  // 2 × (3G) = 3 × (2G) = 6G.
  std::uint8_t six[64], a[32], b[32];
  ASSERT_TRUE(lc::EcPublicKey(Scalar(6).data(), six));
  ASSERT_TRUE(lc::EcSharedX(Scalar(2).data(), pub3, a));
  ASSERT_TRUE(lc::EcSharedX(Scalar(3).data(), pub2, b));
  EXPECT_EQ(0, std::memcmp(a, b, 32));
  EXPECT_EQ(0, std::memcmp(a, six, 32));

  // The development reader key pair is consistent.
  const auto reader = logtest::LoadReaderKey(0);
  ASSERT_TRUE(reader.ok);
  std::uint8_t derived[64];
  ASSERT_TRUE(lc::EcPublicKey(reader.private_key.data(), derived));
  EXPECT_EQ(0, std::memcmp(derived, reader.public_key.data(), 64));
}

TEST(EcTest, RefusesInvalidScalarsAndPoints) {
  std::uint8_t pub[64], x[32];
  EXPECT_FALSE(lc::EcPublicKey(Scalar(0).data(), pub));
  // The group order itself is not a valid scalar.
  const auto order = Hex32("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141");
  EXPECT_FALSE(lc::EcPublicKey(order.data(), pub));
  ASSERT_TRUE(lc::EcPublicKey(Scalar(5).data(), pub));
  pub[63] ^= 1;  // off the curve
  EXPECT_FALSE(lc::EcSharedX(Scalar(7).data(), pub, x));
  std::uint8_t zeros[64] = {};
  EXPECT_FALSE(lc::EcSharedX(Scalar(7).data(), zeros, x));
}

TEST(LogCryptTest, HeaderAndTrailerLayout) {
  const auto reader = logtest::LoadReaderKey(1);
  ASSERT_TRUE(reader.ok);
  lc::LogCrypt crypt(reader.public_key, 1, true, true);
  ASSERT_TRUE(crypt.ready());
  const auto& h = crypt.header();
  EXPECT_EQ(h[0], 0x86);
  EXPECT_EQ(h[1], 0x96);
  EXPECT_EQ(h[2], 1);
  EXPECT_EQ(h[3], 1);
  std::uint32_t created, version, index;
  std::memcpy(&created, &h[4], 4);
  std::memcpy(&version, &h[12], 4);
  std::memcpy(&index, &h[16], 4);
  EXPECT_EQ(created, crypt.created());
  EXPECT_EQ(version, 101u);
  EXPECT_EQ(index, 1u);
  // The writer's public key is a point of the curve: the reader agrees the same key with it.
  std::uint8_t x[32];
  EXPECT_TRUE(lc::EcSharedX(reader.private_key.data(), &h[20], x));
  for (std::size_t i = 84; i < 148; ++i) EXPECT_EQ(h[i], 0) << i;
  EXPECT_EQ(h[148], 0xA6);
  EXPECT_EQ(h[149], 0xB6);
  const auto& t = crypt.trailer();
  EXPECT_EQ(t[0], 0x88);
  EXPECT_EQ(t[1], 0x98);
  EXPECT_EQ(0, std::memcmp(&t[2], &h[4], 4));
  EXPECT_EQ(t[10], 0xA8);
  EXPECT_EQ(t[11], 0xB8);
}

TEST(LogCryptTest, CarryHoldsTheTailUntilAFlushPadsIt) {
  const auto reader = logtest::LoadReaderKey(0);
  lc::LogCrypt crypt(reader.public_key, 0, true, false);
  ASSERT_TRUE(crypt.ready());
  const std::string input = "thirteen byte";
  ASSERT_EQ(input.size(), 13u);
  std::string out;
  ASSERT_TRUE(crypt.Process(input.data(), input.size(), out, false));
  EXPECT_EQ(out.size(), 8u);
  EXPECT_EQ(crypt.carry_size(), 5u);
  std::string tail;
  ASSERT_TRUE(crypt.Process(nullptr, 0, tail, true));
  EXPECT_EQ(tail.size(), 8u);
  EXPECT_EQ(crypt.carry_size(), 0u);

  // Decrypting both outputs with the agreed key gives the input and zero padding.
  std::uint8_t key[32];
  ASSERT_TRUE(lc::EcSharedX(reader.private_key.data(), &crypt.header()[20], key));
  std::string all = out + tail;
  for (std::size_t i = 0; i < all.size(); i += 8) lc::TeaDecrypt16(reinterpret_cast<std::uint8_t*>(&all[i]), key);
  EXPECT_EQ(all, input + std::string(3, '\0'));
}

TEST(LogCryptTest, BothOffPassesThroughWithAPlainHeader) {
  lc::LogCrypt crypt(0, false, false);
  ASSERT_TRUE(crypt.ready());
  EXPECT_EQ(crypt.header()[2], 0);
  EXPECT_EQ(crypt.header()[3], 0);
  for (std::size_t i = 20; i < 84; ++i) EXPECT_EQ(crypt.header()[i], 0);
  const std::string input = "\n[plain] 13 b";
  std::string out;
  ASSERT_TRUE(crypt.Process(input.data(), input.size(), out, false));
  EXPECT_EQ(out, input);
  ASSERT_TRUE(crypt.Process(input.data(), input.size(), out, true));
  EXPECT_EQ(out, input);
}

TEST(LogCryptTest, BadReaderKeyOrIndexLeavesTheObjectNotReady) {
  lc::PublicKey off_curve{};
  off_curve[0] = 1;
  off_curve[63] = 1;
  lc::LogCrypt bad_point(off_curve, 0, true, true);
  EXPECT_FALSE(bad_point.ready());
  std::string out = "stale";
  EXPECT_FALSE(bad_point.Process("abc", 3, out, true));
  EXPECT_TRUE(out.empty());
  lc::LogCrypt bad_index(3, true, false);
  EXPECT_FALSE(bad_index.ready());
  // Without encryption no key is needed.
  lc::LogCrypt plain(off_curve, 0, false, true);
  EXPECT_TRUE(plain.ready());
}

TEST(LogCryptTest, CompressedOutputStartsAZlibStreamUnderTheCipher) {
  const auto reader = logtest::LoadReaderKey(0);
  lc::LogCrypt crypt(reader.public_key, 0, true, true);
  std::string out;
  const std::string text(100, 'a');
  ASSERT_TRUE(crypt.Process(text.data(), text.size(), out, false));
  ASSERT_GE(out.size(), 8u);
  std::uint8_t key[32];
  ASSERT_TRUE(lc::EcSharedX(reader.private_key.data(), &crypt.header()[20], key));
  auto* first = reinterpret_cast<std::uint8_t*>(out.data());
  lc::TeaDecrypt16(first, key);
  EXPECT_EQ(first[0], 0x78);
  EXPECT_EQ(((first[0] << 8) | first[1]) % 31, 0);
}

// More than 10,485,760 compressed bytes end the segment: the output closes with the trailer and a
// fresh header, and the next output starts a new zlib stream. The reader reads both segments.
TEST(LogCryptTest, SegmentBoundaryAtTheRealSize) {
  const auto reader = logtest::LoadReaderKey(0);
  lc::LogCrypt crypt(reader.public_key, 0, true, true);
  ASSERT_TRUE(crypt.ready());
  std::string file(reinterpret_cast<const char*>(crypt.header().data()), lc::kHeaderSize);
  std::mt19937 rng(7);
  std::string chunk(1 << 20, '\0');
  std::string out;
  std::string written;
  bool boundary = false;
  for (int i = 0; i < 14 && !boundary; ++i) {
    for (auto& c : chunk) c = static_cast<char>(rng());  // data that does not compress
    ASSERT_TRUE(crypt.Process(chunk.data(), chunk.size(), out, false));
    written += chunk;
    file += out;
    if (crypt.segment_bytes() == 0) {
      boundary = true;
      ASSERT_GE(out.size(), lc::kTrailerSize + lc::kHeaderSize);
      EXPECT_EQ(0, std::memcmp(out.data() + out.size() - lc::kHeaderSize, crypt.header().data(), lc::kHeaderSize));
      EXPECT_EQ(0, std::memcmp(out.data() + out.size() - lc::kHeaderSize - lc::kTrailerSize, crypt.trailer().data(),
                               lc::kTrailerSize));
      EXPECT_EQ((out.size() - lc::kHeaderSize - lc::kTrailerSize) % 8, 0u);
      EXPECT_EQ(crypt.carry_size(), 0u);
    }
  }
  ASSERT_TRUE(boundary);
  ASSERT_TRUE(crypt.ready());
  const std::string last = "\nafter the boundary";
  ASSERT_TRUE(crypt.Process(last.data(), last.size(), out, true));
  // A new stream: its first block decrypts to a zlib header.
  std::uint8_t key[32];
  ASSERT_TRUE(lc::EcSharedX(reader.private_key.data(), &crypt.header()[20], key));
  std::string first = out.substr(0, 8);
  lc::TeaDecrypt16(reinterpret_cast<std::uint8_t*>(first.data()), key);
  EXPECT_EQ(static_cast<std::uint8_t>(first[0]), 0x78);
  file += out;
  written += last;
  file.append(reinterpret_cast<const char*>(crypt.trailer().data()), lc::kTrailerSize);

  const auto report = base::log_reader::ReadLog(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(),
                                                reader.private_key.data());
  ASSERT_EQ(report.status, base::log_reader::ReadStatus::kOk) << report.error;
  EXPECT_EQ(report.segments, 2);
  EXPECT_TRUE(report.ended);
  EXPECT_TRUE(report.text == written);
}

// The compressor's output after every call inflates at once to exactly the input given so far (the
// sync flush that makes each record whole in the file), for log lines, data that does not compress,
// runs longer than a match, repeats at and beyond the window's reach, and tiny inputs.
TEST(FlushDeflaterTest, EveryCallInflatesToTheInputSoFar) {
  std::mt19937 rng(11);
  const auto random_text = [&](std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
  };
  struct Case {
    const char* name;
    std::vector<std::string> calls;
  };
  std::vector<Case> cases;
  Case lines{"log lines", {}};
  for (int i = 0; i < 3000; ++i) {
    lines.calls.push_back("\n[2026-12-11 09:30:12." + std::to_string(100 + i % 900) + "][4242][TRACE][app.cpp(" +
                          std::to_string(i % 300) + ")]Pump\t[FenyraOverlayHost]frame copied, view_id=" +
                          std::to_string(i % 16) + ", bytes=" + std::to_string(i * 4096));
  }
  cases.push_back(lines);
  cases.push_back({"random, several pieces", {random_text(70000), random_text(5), random_text(40000)}});
  cases.push_back({"long runs", {std::string(100000, 'a'), std::string(300, 'b') + std::string(259, 'a'), "ab"}});
  const std::string block = random_text(40000);
  cases.push_back({"repeat beyond the window", {block, block, block.substr(0, 100)}});
  const std::string window = random_text(32768);
  cases.push_back({"repeat at the window's edge", {window, window.substr(0, 300), window.substr(0, 258)}});
  cases.push_back({"tiny", {"", "x", "", "abc", "abcd", "abcdabcd", std::string(3, 'z'), std::string(1, '\0')}});

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lc::FlushDeflater deflater;
    z_stream zs{};
    ASSERT_EQ(inflateInit(&zs), Z_OK);
    std::string given, inflated, out;
    std::size_t compressed = 0;
    for (const auto& call : c.calls) {
      out.clear();
      const std::size_t n = deflater.CompressAndFlush(reinterpret_cast<const std::uint8_t*>(call.data()), call.size(), out);
      ASSERT_EQ(n, out.size());
      compressed += n;
      given += call;
      zs.next_in = reinterpret_cast<Bytef*>(out.data());
      zs.avail_in = static_cast<uInt>(out.size());
      std::vector<unsigned char> chunk(1 << 16);
      do {
        zs.next_out = chunk.data();
        zs.avail_out = static_cast<uInt>(chunk.size());
        const int rc = inflate(&zs, Z_SYNC_FLUSH);
        ASSERT_TRUE(rc == Z_OK || rc == Z_BUF_ERROR) << rc;
        inflated.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - zs.avail_out);
      } while (zs.avail_in != 0 || zs.avail_out == 0);
      ASSERT_EQ(inflated.size(), given.size());
      ASSERT_TRUE(inflated == given);
    }
    inflateEnd(&zs);
    if (std::string(c.name) == "log lines") {
      EXPECT_LT(compressed * 4, given.size());
    }
    if (std::string(c.name) == "random, several pieces") {
      EXPECT_LT(compressed, given.size() + 64);
    }
  }
}

TEST(RandomTest, FillsBuffers) {
  std::uint8_t a[64] = {}, b[64] = {};
  ASSERT_TRUE(vyo::platform::RandomBytes(a, sizeof a));
  ASSERT_TRUE(vyo::platform::RandomBytes(b, sizeof b));
  EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}

}  // namespace
