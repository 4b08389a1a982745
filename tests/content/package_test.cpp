// Package reader result codes, on packages the tests build and then damage.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "content/package.h"
#include "test_support.h"

namespace vyo::content {
namespace {

using testing::B;
using testing::BuildPackage;
using testing::SealRaw;
using testing::StartPlan;
using testing::TestKeys;

std::vector<PackInput> SampleInputs() {
  return {
      {"index.html", "", B("<!doctype html><p>hello</p>")},
      {"js/app.js", "build=42", B("console.log('app');")},
      {"empty.txt", "", {}},
      {"img/big.bin", "", Bytes(70000, 0x5A)},
  };
}

void PutU32(Bytes& file, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

int OpenAndVerify(const Bytes& file, const TestKeys& keys, PackageReader& reader) {
  const int open = reader.OpenBytes(file);
  if (open != kPackageOk) return open;
  return reader.Verify(keys.host.private_key, keys.host.public_key, keys.publisher.public_key);
}

class PackageReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { VYO_SKIP_IF_NO_RAW_SECRET(testing::RawSecretStatus()); }
  TestKeys keys;
};

TEST_F(PackageReaderTest, ReadsEveryEntryCompressedAndNot) {
  for (const bool compress : {true, false}) {
    SCOPED_TRACE(compress ? "compressed" : "stored");
    PackOptions options;
    options.compress = compress;
    options.policy = "default-src 'self'";
    options.default_entry = 1;
    const Bytes file = BuildPackage(keys, SampleInputs(), options);
    PackageReader reader;
    ASSERT_EQ(OpenAndVerify(file, keys, reader), kPackageOk);
    EXPECT_TRUE(reader.ready());
    EXPECT_EQ(reader.policy(), "default-src 'self'");
    EXPECT_EQ(reader.default_entry(), 1u);
    EXPECT_EQ(reader.flags() & kFlagCompressed, compress ? 1u : 0u);
    ASSERT_EQ(reader.entries().size(), 4u);
    EXPECT_EQ(reader.entries()[1].extra, "build=42");
    for (const auto& input : SampleInputs()) {
      Bytes out{1};
      ASSERT_EQ(reader.ReadEntry(input.name, out), kPackageOk) << input.name;
      EXPECT_EQ(out, input.content) << input.name;
    }
    Bytes out;
    EXPECT_EQ(reader.ReadEntry("missing.html", out), kPackageNotFound);
    EXPECT_EQ(reader.ReadEntry("INDEX.HTML", out), kPackageNotFound);  // byte for byte
    EXPECT_EQ(reader.ReadEntry("index.htm", out), kPackageNotFound);
  }
}

// Truncating, damaging or re-labelling a good package gives the documented code at the
// documented step.
TEST_F(PackageReaderTest, ResultCodesForDamagedFiles) {
  const Bytes good = BuildPackage(keys, SampleInputs(), PackOptions{});
  PackageReader probe;
  ASSERT_EQ(probe.OpenBytes(good), kPackageOk);
  const std::size_t data_start = static_cast<std::size_t>(probe.data_start());

  struct Case {
    const char* what;
    Bytes file;
    int open;    // expected from OpenBytes
    int verify;  // expected from Verify when the open succeeded
  };
  const auto cut = [&](std::size_t size) { return Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)); };
  const auto with = [&](std::size_t at, std::uint8_t xor_mask) {
    Bytes f = good;
    f[at] ^= xor_mask;
    return f;
  };
  Bytes bad_version = good;
  PutU32(bad_version, 8, 2);
  Bytes huge_index = good;
  PutU32(huge_index, 20, 0xFFFFFFFFu);  // 181 + L must not wrap
  const Case cases[] = {
      {"empty file", {}, kPackageMalformed, -1},
      {"one byte short of a header", cut(kHeaderSize - 1), kPackageMalformed, -1},
      {"header only", cut(kHeaderSize), kPackageMalformed, -1},
      {"index cut short", cut(data_start - 1), kPackageMalformed, -1},
      {"data area cut short", cut(good.size() - 1), kPackageOk, kPackageBadSignature},
      {"data area removed", cut(data_start), kPackageOk, kPackageBadSignature},
      {"wrong magic", with(0, 0x20), kPackageBadMagic, -1},
      {"wrong magic tail", with(7, 0x03), kPackageBadMagic, -1},
      {"version 2", bad_version, kPackageBadVersion, -1},
      {"compressed ephemeral key", with(kEphemeralKeyOffset, 0x06), kPackageMalformed, -1},
      {"index length beyond the file", huge_index, kPackageMalformed, -1},
      {"flags changed", with(12, 0x02), kPackageOk, kPackageBadSignature},
      {"index nonce changed", with(30, 0x01), kPackageOk, kPackageBadSignature},
      {"ephemeral key changed", with(100, 0x01), kPackageOk, kPackageBadSignature},
      {"signature r changed", with(kSignatureOffset, 0x01), kPackageOk, kPackageBadSignature},
      {"signature s changed", with(kHeaderSize - 1, 0x80), kPackageOk, kPackageBadSignature},
      {"index byte changed", with(kHeaderSize + 3, 0x01), kPackageOk, kPackageBadSignature},
      {"data byte changed", with(good.size() - 1, 0x01), kPackageOk, kPackageBadSignature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PackageReader reader;
    ASSERT_EQ(reader.OpenBytes(c.file), c.open);
    if (c.open != kPackageOk) {
      EXPECT_EQ(reader.Verify(keys.host.private_key, keys.host.public_key, keys.publisher.public_key),
                c.file.size() < kHeaderSize ? kPackageMalformed : kPackageNotReady);
      continue;
    }
    EXPECT_EQ(reader.Verify(keys.host.private_key, keys.host.public_key, keys.publisher.public_key), c.verify);
    EXPECT_FALSE(reader.ready());
    Bytes out;
    EXPECT_EQ(reader.ReadEntry("index.html", out), kPackageNotReady);
  }
}

TEST_F(PackageReaderTest, WrongKeys) {
  const Bytes good = BuildPackage(keys, SampleInputs(), PackOptions{});
  TestKeys other;
  PackageReader reader;
  ASSERT_EQ(reader.OpenBytes(good), kPackageOk);
  EXPECT_EQ(reader.Verify(keys.host.private_key, keys.host.public_key, other.publisher.public_key),
            kPackageBadSignature);
  EXPECT_EQ(reader.Verify(other.host.private_key, other.host.public_key, keys.publisher.public_key),
            kPackageDecryptFailed);
  EXPECT_EQ(reader.Verify({}, keys.host.public_key, keys.publisher.public_key), kPackageNotReady);
  EXPECT_EQ(reader.Verify(keys.host.private_key, keys.host.public_key, keys.publisher.public_key), kPackageOk);
}

// A data area cut short and signed again verifies, but the last entry now lies outside the file.
TEST_F(PackageReaderTest, EntryOutsideFileAfterResigning) {
  Bytes file = BuildPackage(keys, SampleInputs(), PackOptions{});
  file.resize(file.size() - 1);
  ASSERT_TRUE(SignPackage(file, keys.publisher));
  PackageReader reader;
  ASSERT_EQ(OpenAndVerify(file, keys, reader), kPackageOk);
  Bytes out;
  EXPECT_EQ(reader.ReadEntry("img/big.bin", out), kPackageMalformed);
  EXPECT_EQ(reader.ReadEntry("index.html", out), kPackageOk);
}

// Faults a packer can make inside a correctly signed package.
TEST_F(PackageReaderTest, EntryFaultsInsideSignedPackages) {
  struct Case {
    const char* what;
    bool compress;
    void (*edit)(PackageIndex&);
    const char* read;
    int expected;
  };
  const Case cases[] = {
      {"entry renamed after encryption", true, [](PackageIndex& i) { i.entries[0].name = "main.html"; }, "main.html",
       kPackageDecryptFailed},
      {"inflates to fewer bytes than declared", true, [](PackageIndex& i) { i.entries[0].uncompressed_length += 1; },
       "index.html", kPackageDecryptFailed},
      {"inflates to more bytes than declared", true, [](PackageIndex& i) { i.entries[0].uncompressed_length -= 1; },
       "index.html", kPackageDecryptFailed},
      {"declares 4 GiB uncompressed", true, [](PackageIndex& i) { i.entries[3].uncompressed_length = 0xFFFFFFFFu; },
       "img/big.bin", kPackageDecryptFailed},
      {"plaintext length mismatch", false, [](PackageIndex& i) { i.entries[1].plaintext_length += 1; }, "js/app.js",
       kPackageMalformed},
      {"digest mismatch", false, [](PackageIndex& i) { i.entries[1].digest[5] ^= 1; }, "js/app.js",
       kPackageBadSignature},
      {"tag changed", false, [](PackageIndex& i) { i.entries[1].tag[0] ^= 1; }, "js/app.js", kPackageDecryptFailed},
      {"offset beyond the data area", false, [](PackageIndex& i) { i.entries[1].offset = 1ull << 40; }, "js/app.js",
       kPackageMalformed},
      {"offset plus length wraps", false,
       [](PackageIndex& i) {
         i.entries[1].offset = ~0ull - 2;
         i.entries[1].stored_length = 10;
       },
       "js/app.js", kPackageMalformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PackagePlan plan;
    ASSERT_TRUE(StartPlan(keys, plan));
    PackOptions options;
    options.compress = c.compress;
    std::string error;
    ASSERT_TRUE(EncryptEntries(SampleInputs(), options, plan, error)) << error;
    c.edit(plan.index);
    Bytes file;
    ASSERT_TRUE(SealPackage(plan, keys.publisher, file, error)) << error;
    PackageReader reader;
    ASSERT_EQ(OpenAndVerify(file, keys, reader), kPackageOk);
    Bytes out{1, 2};
    EXPECT_EQ(reader.ReadEntry(c.read, out), c.expected);
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(PackageReaderTest, DuplicateNamesServeTheFirstAndEmptyEntriesReadEmpty) {
  for (const bool compress : {true, false}) {
    SCOPED_TRACE(compress ? "compressed" : "stored");
    const std::vector<PackInput> inputs = {
        {"a.txt", "", B("first")}, {"a.txt", "", B("second")}, {"", "", B("nameless")}, {"zero", "", {}}};
    PackOptions options;
    options.compress = compress;
    const Bytes file = BuildPackage(keys, inputs, options);
    PackageReader reader;
    ASSERT_EQ(OpenAndVerify(file, keys, reader), kPackageOk);
    Bytes out;
    ASSERT_EQ(reader.ReadEntry("a.txt", out), kPackageOk);
    EXPECT_EQ(out, B("first"));
    ASSERT_EQ(reader.ReadEntry("zero", out), kPackageOk);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(reader.entries()[3].digest, *Sha256({}));
  }
}

// A packer that hashes the big-endian x-coordinate makes a key the host does not derive.
TEST_F(PackageReaderTest, BigEndianSecretFailsAuthentication) {
  PackagePlan plan;
  ASSERT_TRUE(StartPlan(keys, plan, /*big_endian_secret=*/true));
  std::string error;
  ASSERT_TRUE(EncryptEntries(SampleInputs(), PackOptions{}, plan, error));
  Bytes file;
  ASSERT_TRUE(SealPackage(plan, keys.publisher, file, error));
  PackageReader reader;
  EXPECT_EQ(OpenAndVerify(file, keys, reader), kPackageDecryptFailed);
  EXPECT_FALSE(reader.ready());
}

// Index plaintexts that authenticate but do not parse, or disagree with the header.
TEST_F(PackageReaderTest, MalformedIndexes) {
  PackagePlan plan;
  ASSERT_TRUE(StartPlan(keys, plan));
  std::string error;
  ASSERT_TRUE(EncryptEntries(SampleInputs(), PackOptions{}, plan, error));
  const Bytes index = SerializePackageIndex(plan.index);

  struct Case {
    const char* what;
    Bytes plaintext;
    std::int64_t declared;  // -1: the real length
  };
  Bytes trailing = index;
  trailing.push_back(0);
  Bytes many = index;
  PutU32(many, 0, 0x40000000u);  // a count the bytes cannot hold
  Bytes long_policy = index;
  long_policy[long_policy.size() - 2] = 0xFF;  // policy length past the end (policy is empty)
  const Case cases[] = {
      {"empty index (file of 181 bytes)", {}, -1},
      {"seven bytes", Bytes(7, 0), -1},
      {"trailing byte", trailing, -1},
      {"count beyond the bytes", many, -1},
      {"policy past the end", long_policy, -1},
      {"cut inside an entry", Bytes(index.begin(), index.begin() + 40), -1},
      {"declared plaintext length differs", index, static_cast<std::int64_t>(index.size()) + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto declared =
        c.declared < 0 ? static_cast<std::uint32_t>(c.plaintext.size()) : static_cast<std::uint32_t>(c.declared);
    const Bytes file = SealRaw(plan, c.plaintext, declared, c.plaintext.empty() ? Bytes{} : plan.data, keys.publisher);
    if (c.plaintext.empty()) {
      EXPECT_EQ(file.size(), kHeaderSize);
    }
    PackageReader reader;
    EXPECT_EQ(OpenAndVerify(file, keys, reader), kPackageMalformed);
    EXPECT_FALSE(reader.ready());
  }
  // The same sealing with the real index is accepted, so the cases above fail for their fault.
  PackageReader reader;
  EXPECT_EQ(OpenAndVerify(SealRaw(plan, index, static_cast<std::uint32_t>(index.size()), plan.data, keys.publisher),
                          keys, reader),
            kPackageOk);
}

TEST(PackageFileTest, OpenReportsUnreadableFiles) {
  PackageReader reader;
  EXPECT_EQ(reader.Open(u"/nonexistent/dir/none.pkg"), kPackageReadFailed);
  EXPECT_EQ(reader.Open(u""), kPackageReadFailed);
  const auto dir = std::filesystem::temp_directory_path() / "vyo-package-open-test";
  std::filesystem::create_directories(dir);
  EXPECT_EQ(reader.Open(dir.u16string()), kPackageReadFailed);  // a directory
#ifndef _WIN32
  // Above the size cap: refused from the file's size, before anything is allocated (the file
  // is sparse, so this costs no disk).
  const auto big = dir / "big.pkg";
  { std::ofstream create(big); }
  std::filesystem::resize_file(big, kMaxPackageSize + 1);
  EXPECT_EQ(reader.Open(big.u16string()), kPackageReadFailed);
  EXPECT_EQ(reader.Open(u"/dev/zero"), kPackageReadFailed);  // not a regular file
#endif
  std::filesystem::remove_all(dir);
  Bytes out;
  EXPECT_EQ(reader.ReadEntry("x", out), kPackageNotReady);
}

// Reading the signature needs no key agreement, so this runs on every provider.
TEST(PackageFileTest, SignatureIsCheckedBeforeKeyAgreement) {
  KeyPair host, publisher, stranger;
  ASSERT_TRUE(GenerateKeyPair(host));
  ASSERT_TRUE(GenerateKeyPair(publisher));
  ASSERT_TRUE(GenerateKeyPair(stranger));
  PackagePlan plan;
  plan.key.fill(3);
  plan.ephemeral_public = stranger.public_key;
  std::string error;
  ASSERT_TRUE(EncryptEntries(SampleInputs(), PackOptions{}, plan, error));
  Bytes file;
  ASSERT_TRUE(SealPackage(plan, publisher, file, error));
  PackageReader reader;
  ASSERT_EQ(reader.OpenBytes(file), kPackageOk);
  EXPECT_EQ(reader.Verify(host.private_key, host.public_key, stranger.public_key), kPackageBadSignature);
  file[kHeaderSize] ^= 1;
  ASSERT_EQ(reader.OpenBytes(file), kPackageOk);
  EXPECT_EQ(reader.Verify(host.private_key, host.public_key, publisher.public_key), kPackageBadSignature);
}

TEST(PackageIndexTest, RoundTripAndBounds) {
  PackageIndex index;
  index.default_entry = 7;
  index.policy = "p";
  PackageEntry entry;
  entry.name = "a/b.css";
  entry.extra = "x";
  entry.offset = 0x0102030405060708ull;
  entry.stored_length = 9;
  entry.plaintext_length = 9;
  entry.uncompressed_length = 12;
  entry.digest[31] = 0xEE;
  index.entries.push_back(entry);
  const Bytes bytes = SerializePackageIndex(index);
  EXPECT_EQ(bytes.size(), 4 + 4 + 2 + 7 + 2 + 1 + kEntryFixedSize + 2 + 1);
  PackageIndex parsed;
  ASSERT_TRUE(ParsePackageIndex(bytes, parsed));
  EXPECT_EQ(parsed.default_entry, 7u);
  ASSERT_EQ(parsed.entries.size(), 1u);
  EXPECT_EQ(parsed.entries[0].offset, entry.offset);
  EXPECT_EQ(parsed.entries[0].uncompressed_length, 12u);
  EXPECT_EQ(parsed.entries[0].digest, entry.digest);
  EXPECT_EQ(parsed.policy, "p");
  // Every strict prefix fails: nothing is read past the end.
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(ParsePackageIndex(ByteView(bytes).first(n), parsed)) << n;
  }
}

}  // namespace
}  // namespace vyo::content
