// Package reader and sealing.
#include "content/package.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "platform/files.h"

namespace vyo::content {
namespace {

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Get64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(Get32(p)) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}
void Put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put64(Bytes& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutBytes(Bytes& out, const void* p, std::size_t n) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}

// Bounds-checked cursor over untrusted bytes: every read first checks what is left.
class Cursor {
 public:
  explicit Cursor(ByteView bytes) : bytes_(bytes) {}
  std::size_t left() const { return bytes_.size() - pos_; }
  bool Take(std::size_t n, const std::uint8_t*& p) {
    if (n > left()) return false;
    p = bytes_.data() + pos_;
    pos_ += n;
    return true;
  }
  bool U16(std::uint16_t& v) {
    const std::uint8_t* p;
    if (!Take(2, p)) return false;
    v = Get16(p);
    return true;
  }
  bool U32(std::uint32_t& v) {
    const std::uint8_t* p;
    if (!Take(4, p)) return false;
    v = Get32(p);
    return true;
  }
  bool String(std::size_t n, std::string& s) {
    const std::uint8_t* p;
    if (!Take(n, p)) return false;
    s.assign(reinterpret_cast<const char*>(p), n);
    return true;
  }

 private:
  ByteView bytes_;
  std::size_t pos_ = 0;
};

ByteView View(const std::string& s) { return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }

}  // namespace

bool ParsePackageIndex(ByteView plaintext, PackageIndex& index) {
  const std::uint32_t flags = index.flags;
  index = PackageIndex{};
  index.flags = flags;
  Cursor in(plaintext);
  std::uint32_t count = 0;
  if (!in.U32(count) || !in.U32(index.default_entry)) return false;
  // The count is untrusted: reserve no more than the bytes left could possibly describe.
  const std::size_t min_entry = 2 + 2 + kEntryFixedSize;
  index.entries.reserve(std::min<std::size_t>(count, in.left() / min_entry));
  for (std::uint32_t i = 0; i < count; ++i) {
    PackageEntry entry;
    std::uint16_t name_length = 0;
    std::uint16_t extra_length = 0;
    const std::uint8_t* fixed = nullptr;
    if (!in.U16(name_length) || !in.String(name_length, entry.name) || !in.U16(extra_length) ||
        !in.String(extra_length, entry.extra) || !in.Take(kEntryFixedSize, fixed)) {
      return false;
    }
    entry.offset = Get64(fixed);
    entry.stored_length = Get32(fixed + 8);
    entry.plaintext_length = Get32(fixed + 12);
    entry.uncompressed_length = Get32(fixed + 16);
    std::memcpy(entry.nonce.data(), fixed + 20, kNonceSize);
    std::memcpy(entry.tag.data(), fixed + 32, kTagSize);
    std::memcpy(entry.digest.data(), fixed + 48, entry.digest.size());
    index.entries.push_back(std::move(entry));
  }
  std::uint16_t policy_length = 0;
  if (!in.U16(policy_length) || !in.String(policy_length, index.policy)) return false;
  return in.left() == 0;
}

Bytes SerializePackageIndex(const PackageIndex& index) {
  Bytes out;
  Put32(out, static_cast<std::uint32_t>(index.entries.size()));
  Put32(out, index.default_entry);
  for (const auto& entry : index.entries) {
    Put16(out, static_cast<std::uint16_t>(entry.name.size()));
    PutBytes(out, entry.name.data(), entry.name.size());
    Put16(out, static_cast<std::uint16_t>(entry.extra.size()));
    PutBytes(out, entry.extra.data(), entry.extra.size());
    Put64(out, entry.offset);
    Put32(out, entry.stored_length);
    Put32(out, entry.plaintext_length);
    Put32(out, entry.uncompressed_length);
    PutBytes(out, entry.nonce.data(), entry.nonce.size());
    PutBytes(out, entry.tag.data(), entry.tag.size());
    PutBytes(out, entry.digest.data(), entry.digest.size());
  }
  Put16(out, static_cast<std::uint16_t>(index.policy.size()));
  PutBytes(out, index.policy.data(), index.policy.size());
  return out;
}

std::optional<Digest> PackageSigningDigest(ByteView file) {
  if (file.size() < kHeaderSize) return std::nullopt;
  try {
    Bytes signed_bytes;
    signed_bytes.reserve(file.size() - kSignatureSize);
    signed_bytes.insert(signed_bytes.end(), file.begin(), file.begin() + kSignatureOffset);
    signed_bytes.insert(signed_bytes.end(), file.begin() + kHeaderSize, file.end());
    return Sha256(signed_bytes);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

PackageReader::~PackageReader() { SecureWipe(key_); }

void PackageReader::Clear() {
  SecureWipe(key_);
  file_.clear();
  version_ = flags_ = index_plain_length_ = index_cipher_length_ = 0;
  index_nonce_ = {};
  index_tag_ = {};
  ephemeral_ = {};
  signature_ = {};
  data_start_ = 0;
  index_ = PackageIndex{};
  opened_ = false;
  ready_ = false;
}

int PackageReader::Open(std::u16string_view path) {
  Clear();
  Bytes bytes;
  if (platform::ReadWholeFile(path, kMaxPackageSize, bytes) != platform::FileStatus::kOk) return kPackageReadFailed;
  return OpenBytes(std::move(bytes));
}

int PackageReader::OpenBytes(Bytes bytes) {
  Clear();
  if (bytes.size() > kMaxPackageSize) return kPackageReadFailed;
  file_ = std::move(bytes);
  if (file_.size() < kHeaderSize) return kPackageMalformed;
  const std::uint8_t* h = file_.data();
  if (std::memcmp(h, kPackageMagic, sizeof kPackageMagic) != 0) return kPackageBadMagic;
  version_ = Get32(h + 8);
  flags_ = Get32(h + 12);
  index_plain_length_ = Get32(h + 16);
  index_cipher_length_ = Get32(h + 20);
  std::memcpy(index_nonce_.data(), h + 24, kNonceSize);
  std::memcpy(index_tag_.data(), h + 36, kTagSize);
  std::memcpy(ephemeral_.data(), h + kEphemeralKeyOffset, ephemeral_.size());
  std::memcpy(signature_.data(), h + kSignatureOffset, kSignatureSize);
  if (version_ != kPackageVersion) return kPackageBadVersion;
  if (ephemeral_[0] != 0x04) return kPackageMalformed;
  // 64-bit sum: a ciphertext length near 4 GiB cannot wrap around.
  data_start_ = static_cast<std::uint64_t>(kHeaderSize) + index_cipher_length_;
  if (file_.size() < data_start_) return kPackageMalformed;
  opened_ = true;
  return kPackageOk;
}

int PackageReader::Verify(ByteView host_private, ByteView host_public, ByteView publisher_public) {
  if (host_private.size() != kPrivateKeySize || host_public.size() != kPublicKeySize ||
      publisher_public.size() != kPublicKeySize) {
    return kPackageNotReady;
  }
  if (file_.size() < kHeaderSize) return kPackageMalformed;
  if (!opened_) return kPackageNotReady;
  ready_ = false;
  SecureWipe(key_);
  index_ = PackageIndex{};

  const auto digest = PackageSigningDigest(file_);
  if (!digest) return kPackageNotReady;
  if (!VerifySignature(publisher_public, *digest, signature_)) return kPackageBadSignature;
  if (ephemeral_[0] != 0x04) return kPackageMalformed;
  if (!DeriveContentKey(host_private, host_public, ByteView(ephemeral_).subspan(1, 32),
                        ByteView(ephemeral_).subspan(33, 32), key_)) {
    return kPackageNotReady;
  }
  const int result = [&]() -> int {
    if (file_.size() < data_start_) return kPackageMalformed;
    Bytes plaintext;
    if (!AesGcmDecrypt(key_, index_nonce_, index_tag_, ByteView(file_.data(), kHeaderAadSize),
                       ByteView(file_.data() + kHeaderSize, index_cipher_length_), plaintext)) {
      return kPackageDecryptFailed;
    }
    if (plaintext.size() != index_plain_length_) return kPackageMalformed;
    PackageIndex index;
    index.flags = flags_;
    if (!ParsePackageIndex(plaintext, index)) return kPackageMalformed;
    index_ = std::move(index);
    return kPackageOk;
  }();
  if (result != kPackageOk) {
    SecureWipe(key_);
    index_ = PackageIndex{};
    return result;
  }
  ready_ = true;
  return kPackageOk;
}

int PackageReader::ReadEntry(std::string_view name, Bytes& out) const {
  out.clear();
  if (!ready_) return kPackageNotReady;
  if (index_.entries.empty()) return kPackageNotFound;
  const auto it = std::find_if(index_.entries.begin(), index_.entries.end(),
                               [&](const PackageEntry& e) { return e.name == name; });
  if (it == index_.entries.end()) return kPackageNotFound;
  const PackageEntry& entry = *it;
  const std::uint64_t area = file_.size() - data_start_;
  if (entry.offset > area || entry.stored_length > area - entry.offset) return kPackageMalformed;
  try {
    Bytes plaintext;
    if (!AesGcmDecrypt(key_, entry.nonce, entry.tag, View(entry.name),
                       ByteView(file_.data() + data_start_ + entry.offset, entry.stored_length), plaintext)) {
      return kPackageDecryptFailed;
    }
    if (plaintext.size() != entry.plaintext_length) return kPackageMalformed;
    Bytes content;
    if (index_.flags & kFlagCompressed) {
      // The declared length drives the allocation. Deflate cannot expand by more than about
      // 1032:1, so a length beyond that bound cannot be met and is refused before allocating.
      const std::uint64_t inflatable = static_cast<std::uint64_t>(plaintext.size()) * 1032 + 64;
      if (entry.uncompressed_length > kMaxPackageSize || entry.uncompressed_length > inflatable) {
        return kPackageDecryptFailed;
      }
      content.resize(entry.uncompressed_length);
      std::uint8_t dummy = 0;
      uLongf produced = entry.uncompressed_length;
      const int z = uncompress(content.empty() ? &dummy : content.data(), &produced,
                               plaintext.empty() ? &dummy : plaintext.data(), static_cast<uLong>(plaintext.size()));
      if (z != Z_OK || produced != entry.uncompressed_length) return kPackageDecryptFailed;
    } else {
      content = std::move(plaintext);
    }
    const auto digest = Sha256(content);
    if (!digest) return kPackageNotReady;
    if (*digest != entry.digest) return kPackageBadSignature;
    out = std::move(content);
    return kPackageOk;
  } catch (const std::bad_alloc&) {
    out.clear();
    return kPackageNotReady;
  }
}

std::vector<std::string> PackageReader::entry_names() const {
  std::vector<std::string> names;
  names.reserve(index_.entries.size());
  for (const auto& entry : index_.entries) names.push_back(entry.name);
  return names;
}

void PackageReader::AdoptIndexForTesting(PackageIndex index, const ContentKey& key) {
  if (!opened_) return;
  index.flags = flags_;
  index_ = std::move(index);
  key_ = key;
  ready_ = true;
}

// --- Sealing ------------------------------------------------------------------------------------

bool EncryptEntries(const std::vector<PackInput>& inputs, const PackOptions& options, PackagePlan& plan,
                    std::string& error) {
  plan.flags = options.compress ? kFlagCompressed : 0;
  plan.index = PackageIndex{};
  plan.index.flags = plan.flags;
  plan.index.default_entry = options.default_entry;
  plan.index.policy = options.policy;
  plan.data.clear();
  if (options.policy.size() > 0xFFFF) {
    error = "content security policy longer than 65535 bytes";
    return false;
  }
  for (const auto& input : inputs) {
    if (input.name.size() > 0xFFFF || input.extra.size() > 0xFFFF) {
      error = "entry name or extra string longer than 65535 bytes: " + input.name.substr(0, 64);
      return false;
    }
    if (input.content.size() > 0xFFFFFFFFull) {
      error = "entry larger than 4 GiB: " + input.name;
      return false;
    }
    PackageEntry entry;
    entry.name = input.name;
    entry.extra = input.extra;
    entry.uncompressed_length = static_cast<std::uint32_t>(input.content.size());
    const auto digest = Sha256(input.content);
    if (!digest) {
      error = "digest failed";
      return false;
    }
    entry.digest = *digest;
    Bytes stored;
    if (options.compress) {
      uLongf size = compressBound(static_cast<uLong>(input.content.size()));
      stored.resize(size);
      static const std::uint8_t kEmpty = 0;
      if (compress(stored.data(), &size, input.content.empty() ? &kEmpty : input.content.data(),
                   static_cast<uLong>(input.content.size())) != Z_OK) {
        error = "compression failed: " + input.name;
        return false;
      }
      stored.resize(size);
    } else {
      stored = input.content;
    }
    Bytes ciphertext;
    if (!RandomBytes(entry.nonce) || !AesGcmEncrypt(plan.key, entry.nonce, View(entry.name), stored, ciphertext, entry.tag)) {
      error = "encryption failed: " + input.name;
      return false;
    }
    entry.offset = plan.data.size();
    entry.stored_length = static_cast<std::uint32_t>(ciphertext.size());
    entry.plaintext_length = static_cast<std::uint32_t>(stored.size());
    plan.data.insert(plan.data.end(), ciphertext.begin(), ciphertext.end());
    plan.index.entries.push_back(std::move(entry));
  }
  return true;
}

bool SignPackage(Bytes& file, const KeyPair& publisher) {
  const auto digest = PackageSigningDigest(file);
  std::array<std::uint8_t, kSignatureSize> signature{};
  if (!digest || !SignDigest(publisher, *digest, signature)) return false;
  std::memcpy(file.data() + kSignatureOffset, signature.data(), signature.size());
  return true;
}

bool SealPackage(const PackagePlan& plan, const KeyPair& publisher, Bytes& file, std::string& error) {
  file.clear();
  const Bytes index = SerializePackageIndex(plan.index);
  if (index.size() > 0xFFFFFFFFull) {
    error = "index larger than 4 GiB";
    return false;
  }
  Bytes header;
  PutBytes(header, kPackageMagic, sizeof kPackageMagic);
  Put32(header, kPackageVersion);
  Put32(header, plan.flags);
  Put32(header, static_cast<std::uint32_t>(index.size()));
  Put32(header, static_cast<std::uint32_t>(index.size()));  // AES-GCM keeps the length
  std::array<std::uint8_t, kNonceSize> nonce{};
  std::array<std::uint8_t, kTagSize> tag{};
  Bytes index_ciphertext;
  if (!RandomBytes(nonce) || !AesGcmEncrypt(plan.key, nonce, header, index, index_ciphertext, tag)) {
    error = "index encryption failed";
    return false;
  }
  PutBytes(header, nonce.data(), nonce.size());
  PutBytes(header, tag.data(), tag.size());
  header.push_back(0x04);
  PutBytes(header, plan.ephemeral_public.data(), plan.ephemeral_public.size());
  header.resize(kHeaderSize, 0);  // signature, written below
  file = std::move(header);
  file.insert(file.end(), index_ciphertext.begin(), index_ciphertext.end());
  file.insert(file.end(), plan.data.begin(), plan.data.end());
  if (file.size() > kMaxPackageSize) {
    error = "package larger than 1 GiB";
    file.clear();
    return false;
  }
  if (!SignPackage(file, publisher)) {
    error = "signing failed";
    file.clear();
    return false;
  }
  return true;
}

bool WritePackage(const std::vector<PackInput>& inputs, const PackOptions& options, ByteView host_public,
                  const KeyPair& publisher, Bytes& file, std::string& error) {
  if (host_public.size() != kPublicKeySize) {
    error = "host public key must be 64 bytes";
    return false;
  }
  KeyPair ephemeral;
  if (!GenerateKeyPair(ephemeral)) {
    error = "ephemeral key generation failed";
    return false;
  }
  std::array<std::uint8_t, 32> secret{};
  PackagePlan plan;
  plan.ephemeral_public = ephemeral.public_key;
  const EcdhStatus ecdh = RawSharedSecret(ephemeral.private_key, ephemeral.public_key, host_public, secret);
  const bool derived = ecdh == EcdhStatus::kOk && ContentKeyFromRawSecret(secret, plan.key);
  SecureWipe(secret);
  if (!derived) {
    error = ecdh == EcdhStatus::kUnsupported ? "key agreement: raw secret derivation not offered by this provider"
                                             : "key agreement with the host public key failed";
    return false;
  }
  return EncryptEntries(inputs, options, plan, error) && SealPackage(plan, publisher, file, error);
}

}  // namespace vyo::content
