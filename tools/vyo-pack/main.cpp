// vyo-pack: key sets and content packages for publishers.
//
//   vyo-pack keygen OUT_DIR [--force]
//   vyo-pack pack   [--keys DIR | --host-pub F --publisher-key F] [--no-compress] [--csp TEXT]
//                   [--default NAME] [--extra NAME=TEXT]... SOURCE_DIR OUT_FILE
//   vyo-pack verify [--keys DIR | --host-key F --publisher-pub F] PACKAGE
//   vyo-pack list   [--keys DIR | --host-key F --publisher-pub F] PACKAGE
//   vyo-pack extract [--keys DIR | --host-key F --publisher-pub F] PACKAGE OUT_DIR
//
// Key files are hex text: *.key holds the private scalar d followed by the public point X, Y;
// *.pub holds X, Y. Exit status: 0 success, 1 failure, 2 usage error.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "content/crypto.h"
#include "content/package.h"
#include "content/resource.h"

namespace fs = std::filesystem;
using namespace vyo::content;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Failure {
  int code;
  std::string message;
};

[[noreturn]] void Fail(std::string message, int code = kExitFailure) { throw Failure{code, std::move(message)}; }


fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
std::string Utf8Of(const fs::path& path) {
  const std::u8string s = path.generic_u8string();
  return std::string(s.begin(), s.end());
}

Bytes ReadFile(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) Fail("cannot read " + Utf8Of(path) + ": not a regular file or missing");
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot open " + Utf8Of(path));
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) Fail("cannot read " + Utf8Of(path));
  return bytes;
}

void WriteFile(const fs::path& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) Fail("cannot create " + Utf8Of(path));
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) Fail("cannot write " + Utf8Of(path));
}

Bytes ReadKeyFile(const fs::path& path, std::size_t expected) {
  const Bytes text = ReadFile(path);
  std::string hex;
  bool comment = false;
  for (const auto c : text) {
    if (c == '#') comment = true;
    if (c == '\n') comment = false;
    if (comment || c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    hex.push_back(static_cast<char>(c));
  }
  if (hex.size() != 2 * expected) {
    Fail("key file " + Utf8Of(path) + " must hold " + std::to_string(expected) + " bytes as hex text");
  }
  Bytes bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const auto nibble = [&](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      Fail("key file " + Utf8Of(path) + " is not hex text");
    };
    bytes.push_back(static_cast<std::uint8_t>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
  }
  return bytes;
}

void WriteKeyFile(const fs::path& path, const std::string& comment, ByteView bytes) {
  const std::string text = "# " + comment + "\n" + ToHex(bytes) + "\n";
  WriteFile(path, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

KeyPair LoadKeyPair(const fs::path& path) {
  Bytes bytes = ReadKeyFile(path, kPrivateKeySize + kPublicKeySize);
  KeyPair pair;
  std::copy_n(bytes.begin(), kPrivateKeySize, pair.private_key.begin());
  std::copy_n(bytes.begin() + kPrivateKeySize, kPublicKeySize, pair.public_key.begin());
  SecureWipe(bytes);
  return pair;
}

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  std::vector<std::string> extras;
  bool no_compress = false;
  bool force = false;
};

Args ParseArgs(int argc, char** argv, int first) {
  static const char* kWithValue[] = {"--keys", "--host-pub", "--host-key", "--publisher-key", "--publisher-pub",
                                     "--csp", "--default", "--extra"};
  Args args;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--no-compress") {
      args.no_compress = true;
    } else if (arg == "--force") {
      args.force = true;
    } else if (arg.rfind("--", 0) == 0) {
      if (std::find(std::begin(kWithValue), std::end(kWithValue), arg) == std::end(kWithValue)) {
        Fail("unknown option " + arg, kExitUsage);
      }
      if (i + 1 >= argc) Fail("option " + arg + " needs a value", kExitUsage);
      if (arg == "--extra") {
        args.extras.push_back(argv[++i]);
      } else {
        args.options[arg] = argv[++i];
      }
    } else {
      args.positional.push_back(arg);
    }
  }
  return args;
}

fs::path KeyPath(const Args& args, const std::string& option, const std::string& file_in_keys) {
  const auto it = args.options.find(option);
  if (it != args.options.end()) return PathOf(it->second);
  const auto keys = args.options.find("--keys");
  if (keys != args.options.end()) return PathOf(keys->second) / file_in_keys;
  Fail("missing " + option + " (or --keys DIR)", kExitUsage);
}

std::string DescribeResult(int code) {
  switch (code) {
    case kPackageReadFailed: return "cannot read the package file";
    case kPackageBadMagic: return "not a package file (wrong magic)";
    case kPackageBadVersion: return "unsupported package format version";
    case kPackageMalformed: return "malformed package";
    case kPackageBadSignature: return "signature or digest check failed: the file was modified or signed by another publisher";
    case kPackageDecryptFailed: return "decryption failed: the package was made for another host key, or its content was modified";
    case kPackageNotFound: return "no such entry";
    default: return "missing key or cryptographic failure";
  }
}

// Opens and verifies a package with the host key and the publisher's public key.
void OpenVerified(const Args& args, const std::string& package, PackageReader& reader) {
  KeyPair host = LoadKeyPair(KeyPath(args, "--host-key", "host.key"));
  const Bytes publisher = ReadKeyFile(KeyPath(args, "--publisher-pub", "publisher.pub"), kPublicKeySize);
  int code = reader.Open(vyo::Utf8ToUtf16(package));
  if (code == kPackageOk) code = reader.Verify(host.private_key, host.public_key, publisher);
  if (code != kPackageOk) Fail(package + ": " + DescribeResult(code) + " (code " + std::to_string(code) + ")");
}

int Keygen(const Args& args) {
  if (args.positional.size() != 1) Fail("usage: vyo-pack keygen OUT_DIR [--force]", kExitUsage);
  const fs::path dir = PathOf(args.positional[0]);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) Fail("cannot create directory " + args.positional[0]);
  for (const char* name : {"host.key", "host.pub", "publisher.key", "publisher.pub"}) {
    if (fs::exists(dir / name) && !args.force) Fail(Utf8Of(dir / name) + " exists; pass --force to replace it");
  }
  KeyPair host;
  KeyPair publisher;
  if (!GenerateKeyPair(host) || !GenerateKeyPair(publisher)) Fail("key generation failed");
  const auto pair_bytes = [](const KeyPair& pair) {
    Bytes bytes(pair.private_key.begin(), pair.private_key.end());
    bytes.insert(bytes.end(), pair.public_key.begin(), pair.public_key.end());
    return bytes;
  };
  Bytes host_bytes = pair_bytes(host);
  Bytes publisher_bytes = pair_bytes(publisher);
  WriteKeyFile(dir / "host.key", "host key pair, P-256: d, then X, Y (secret: compiled into the host)", host_bytes);
  WriteKeyFile(dir / "host.pub", "host public key, P-256: X, Y (packages are encrypted to it)", host.public_key);
  WriteKeyFile(dir / "publisher.key", "publisher key pair, P-256: d, then X, Y (secret: signs packages)",
               publisher_bytes);
  WriteKeyFile(dir / "publisher.pub", "publisher public key, P-256: X, Y (compiled into the host)",
               publisher.public_key);
  SecureWipe(host_bytes);
  SecureWipe(publisher_bytes);
  std::cout << "wrote host.key, host.pub, publisher.key, publisher.pub to " << args.positional[0] << "\n";
  return 0;
}

int Pack(const Args& args) {
  if (args.positional.size() != 2) Fail("usage: vyo-pack pack [options] SOURCE_DIR OUT_FILE", kExitUsage);
  const fs::path source = PathOf(args.positional[0]);
  if (!fs::is_directory(source)) Fail("source directory not found: " + args.positional[0]);
  const Bytes host_public = ReadKeyFile(KeyPath(args, "--host-pub", "host.pub"), kPublicKeySize);
  const KeyPair publisher = LoadKeyPair(KeyPath(args, "--publisher-key", "publisher.key"));

  std::map<std::string, std::string> extras;
  for (const auto& extra : args.extras) {
    const auto eq = extra.find('=');
    if (eq == std::string::npos || eq == 0) Fail("--extra wants NAME=TEXT, got " + extra, kExitUsage);
    extras[extra.substr(0, eq)] = extra.substr(eq + 1);
  }

  std::vector<PackInput> inputs;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(source, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const std::string name = Utf8Of(fs::relative(it->path(), source));
    // Only names the host can serve: the same rules as its request paths.
    if (NormalizeResourcePath(name) != name) Fail("file name cannot be served by the host: " + name);
    inputs.push_back(PackInput{name, {}, ReadFile(it->path())});
  }
  if (ec) Fail("cannot list " + args.positional[0] + ": " + ec.message());
  if (inputs.empty()) Fail("no files in " + args.positional[0]);
  std::sort(inputs.begin(), inputs.end(), [](const PackInput& a, const PackInput& b) { return a.name < b.name; });
  for (auto& input : inputs) {
    const auto it = extras.find(input.name);
    if (it != extras.end()) {
      input.extra = it->second;
      extras.erase(it);
    }
  }
  if (!extras.empty()) Fail("--extra names a file that is not in the package: " + extras.begin()->first);

  PackOptions options;
  options.compress = !args.no_compress;
  if (auto csp = args.options.find("--csp"); csp != args.options.end()) options.policy = csp->second;
  if (options.policy.find_first_of("\r\n") != std::string::npos) Fail("--csp must not contain line breaks");
  const auto wanted = args.options.count("--default") ? args.options.at("--default") : std::string("index.html");
  const auto found = std::find_if(inputs.begin(), inputs.end(), [&](const PackInput& in) { return in.name == wanted; });
  if (found != inputs.end()) {
    options.default_entry = static_cast<std::uint32_t>(found - inputs.begin());
  } else if (args.options.count("--default")) {
    Fail("default entry not found in the source directory: " + wanted);
  }

  Bytes file;
  std::string error;
  if (!WritePackage(inputs, options, host_public, publisher, file, error)) Fail("packing failed: " + error);
  WriteFile(PathOf(args.positional[1]), file);
  std::cout << "packed " << inputs.size() << " entries into " << args.positional[1] << " (" << file.size()
            << " bytes, default entry " << inputs[options.default_entry].name << ")\n";
  return 0;
}

int Verify(const Args& args) {
  if (args.positional.size() != 1) Fail("usage: vyo-pack verify [keys] PACKAGE", kExitUsage);
  PackageReader reader;
  OpenVerified(args, args.positional[0], reader);
  for (const auto& entry : reader.entries()) {
    Bytes content;
    const int code = reader.ReadEntry(entry.name, content);
    if (code != kPackageOk) {
      Fail(args.positional[0] + ": entry " + entry.name + ": " + DescribeResult(code) + " (code " +
           std::to_string(code) + ")");
    }
  }
  std::cout << args.positional[0] << ": OK (" << reader.entries().size() << " entries)\n";
  return 0;
}

int List(const Args& args) {
  if (args.positional.size() != 1) Fail("usage: vyo-pack list [keys] PACKAGE", kExitUsage);
  PackageReader reader;
  OpenVerified(args, args.positional[0], reader);
  const auto& entries = reader.entries();
  const std::size_t default_position = reader.default_entry() < entries.size() ? reader.default_entry() : 0;
  std::cout << "compressed: " << ((reader.flags() & kFlagCompressed) ? "yes" : "no") << "\n";
  std::cout << "default: " << (entries.empty() ? "" : entries[default_position].name) << "\n";
  std::cout << "policy: " << reader.policy() << "\n";
  for (const auto& entry : entries) {
    std::cout << entry.uncompressed_length << "\t" << ToHex(entry.digest) << "\t" << entry.name;
    if (!entry.extra.empty()) std::cout << "\t" << entry.extra;
    std::cout << "\n";
  }
  return 0;
}

int Extract(const Args& args) {
  if (args.positional.size() != 2) Fail("usage: vyo-pack extract [keys] PACKAGE OUT_DIR", kExitUsage);
  PackageReader reader;
  OpenVerified(args, args.positional[0], reader);
  const fs::path out = PathOf(args.positional[1]);
  std::error_code ec;
  fs::create_directories(out, ec);
  if (!fs::is_directory(out)) Fail("cannot create directory " + args.positional[1]);
  for (const auto& entry : reader.entries()) {
    // Never write outside the output directory, whatever the package names.
    const auto normalized = NormalizeResourcePath(entry.name);
    if (!normalized || *normalized != entry.name || entry.name == "." || entry.name.find("/./") != std::string::npos) {
      Fail("refusing to extract entry with unsafe name: " + entry.name);
    }
    Bytes content;
    const int code = reader.ReadEntry(entry.name, content);
    if (code != kPackageOk) Fail("entry " + entry.name + ": " + DescribeResult(code));
    const fs::path target = out / PathOf(entry.name);
    fs::create_directories(target.parent_path(), ec);
    WriteFile(target, content);
  }
  std::cout << "extracted " << reader.entries().size() << " entries to " << args.positional[1] << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage =
      "usage: vyo-pack keygen|pack|verify|list|extract ...  (vyo-pack help for details)";
  if (argc < 2) {
    std::cerr << usage << "\n";
    return kExitUsage;
  }
  const std::string command = argv[1];
  try {
    const Args args = ParseArgs(argc, argv, 2);
    if (command == "keygen") return Keygen(args);
    if (command == "pack") return Pack(args);
    if (command == "verify") return Verify(args);
    if (command == "list") return List(args);
    if (command == "extract") return Extract(args);
    if (command == "help" || command == "--help") {
      std::cout << "vyo-pack keygen OUT_DIR [--force]\n"
                   "vyo-pack pack [--keys DIR | --host-pub F --publisher-key F] [--no-compress] [--csp TEXT]\n"
                   "              [--default NAME] [--extra NAME=TEXT]... SOURCE_DIR OUT_FILE\n"
                   "vyo-pack verify [--keys DIR | --host-key F --publisher-pub F] PACKAGE\n"
                   "vyo-pack list [--keys DIR | --host-key F --publisher-pub F] PACKAGE\n"
                   "vyo-pack extract [--keys DIR | --host-key F --publisher-pub F] PACKAGE OUT_DIR\n";
      return 0;
    }
    std::cerr << "vyo-pack: unknown command " << command << "\n" << usage << "\n";
    return kExitUsage;
  } catch (const Failure& failure) {
    std::cerr << "vyo-pack " << command << ": " << failure.message << "\n";
    return failure.code;
  } catch (const std::exception& e) {
    std::cerr << "vyo-pack " << command << ": " << e.what() << "\n";
    return kExitFailure;
  }
}
