// Package files: a 181-byte header, the encrypted index, then the data area with the encrypted
// entries. All integers little-endian. The reader (`PackageReader`) opens, verifies and extracts;
// the sealing functions below write the same layout for the packer and for tests.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "content/crypto.h"

namespace vyo::content {

// Result codes of the reader.
enum PackageResult : int {
  kPackageOk = 0,
  kPackageReadFailed = 1,
  kPackageBadMagic = 2,
  kPackageBadVersion = 3,
  kPackageMalformed = 4,
  kPackageBadSignature = 5,
  kPackageDecryptFailed = 6,
  kPackageNotFound = 8,
  kPackageNotReady = 9,
};

inline constexpr std::size_t kHeaderSize = 181;
inline constexpr std::size_t kHeaderAadSize = 24;
inline constexpr std::size_t kEphemeralKeyOffset = 52;
inline constexpr std::size_t kSignatureOffset = 117;
inline constexpr std::uint8_t kPackageMagic[8] = {'V', 'Y', 'O', 'P', 'K', 'G', 0x00, 0x01};
inline constexpr std::uint32_t kPackageVersion = 1;
inline constexpr std::uint32_t kFlagCompressed = 1;
// Files larger than this are refused before anything is allocated.
inline constexpr std::uint64_t kMaxPackageSize = 1ull << 30;
// Bytes of an index entry after the name and extra strings.
inline constexpr std::size_t kEntryFixedSize = 8 + 4 + 4 + 4 + 12 + 16 + 32;

struct PackageEntry {
  std::string name;
  std::string extra;
  std::uint64_t offset = 0;
  std::uint32_t stored_length = 0;
  std::uint32_t plaintext_length = 0;
  std::uint32_t uncompressed_length = 0;
  std::array<std::uint8_t, kNonceSize> nonce{};
  std::array<std::uint8_t, kTagSize> tag{};
  Digest digest{};
};

struct PackageIndex {
  std::uint32_t flags = 0;
  std::uint32_t default_entry = 0;
  std::vector<PackageEntry> entries;
  std::string policy;
};

// Parses an index plaintext. The index must end exactly after the policy string.
bool ParsePackageIndex(ByteView plaintext, PackageIndex& index);
std::vector<std::uint8_t> SerializePackageIndex(const PackageIndex& index);

class PackageReader {
 public:
  PackageReader() = default;
  ~PackageReader();
  PackageReader(const PackageReader&) = delete;
  PackageReader& operator=(const PackageReader&) = delete;

  // Reads the whole file (at most kMaxPackageSize) and parses its header.
  int Open(std::u16string_view path);
  // The same from bytes already in memory.
  int OpenBytes(Bytes bytes);
  // Checks the publisher signature, derives the content key, decrypts and parses the index.
  int Verify(ByteView host_private, ByteView host_public, ByteView publisher_public);
  // Decrypts, decompresses and checks one entry, looked up by exact name.
  int ReadEntry(std::string_view name, Bytes& out) const;

  bool ready() const { return ready_; }
  std::uint32_t version() const { return version_; }
  std::uint32_t flags() const { return flags_; }
  std::uint32_t default_entry() const { return index_.default_entry; }
  const std::vector<PackageEntry>& entries() const { return index_.entries; }
  std::vector<std::string> entry_names() const;
  const std::string& policy() const { return index_.policy; }
  std::uint64_t data_start() const { return data_start_; }

  // Test hook: installs an index and key without a signature check, so that the entry reader
  // can be driven directly (fuzzing, tests of the entry path).
  void AdoptIndexForTesting(PackageIndex index, const ContentKey& key);

 private:
  void Clear();

  Bytes file_;
  std::uint32_t version_ = 0;
  std::uint32_t flags_ = 0;
  std::uint32_t index_plain_length_ = 0;
  std::uint32_t index_cipher_length_ = 0;
  std::array<std::uint8_t, kNonceSize> index_nonce_{};
  std::array<std::uint8_t, kTagSize> index_tag_{};
  std::array<std::uint8_t, 65> ephemeral_{};
  std::array<std::uint8_t, kSignatureSize> signature_{};
  std::uint64_t data_start_ = 0;
  ContentKey key_{};
  PackageIndex index_;
  bool opened_ = false;
  bool ready_ = false;
};

// SHA-256 over the file without its signature field (bytes 0..116, then 181..end).
std::optional<Digest> PackageSigningDigest(ByteView file);

// --- Sealing ------------------------------------------------------------------------------------

struct PackInput {
  std::string name;
  std::string extra;
  Bytes content;
};

struct PackOptions {
  bool compress = true;
  std::string policy;
  std::uint32_t default_entry = 0;
};

// The pieces of a package before it is sealed. Tests edit them to build faulty packages.
struct PackagePlan {
  std::uint32_t flags = 0;
  PackageIndex index;  // entries with offsets, lengths, nonces, tags and digests filled in
  Bytes data;          // the data area
  std::array<std::uint8_t, kPublicKeySize> ephemeral_public{};
  ContentKey key{};
  ~PackagePlan() { SecureWipe(key); }
};

// Encrypts (and compresses) the entries under `plan.key`, which the caller has set.
bool EncryptEntries(const std::vector<PackInput>& inputs, const PackOptions& options, PackagePlan& plan,
                    std::string& error);
// Encrypts the index, writes the header and signs the file.
bool SealPackage(const PackagePlan& plan, const KeyPair& publisher, Bytes& file, std::string& error);
// Rewrites the signature field of a finished file.
bool SignPackage(Bytes& file, const KeyPair& publisher);
// The whole packing: a fresh ephemeral key, the content key for the host's public key, entries,
// index, header and signature.
bool WritePackage(const std::vector<PackInput>& inputs, const PackOptions& options, ByteView host_public,
                  const KeyPair& publisher, Bytes& file, std::string& error);

}  // namespace vyo::content
