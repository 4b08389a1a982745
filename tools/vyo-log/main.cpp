// vyo-log: decrypts and decompresses a log file, a memory log or a memory-log dump written by the
// host, with the private half of the reader key the host encrypted it for, and prints its text.
//
//   vyo-log --key READER.key [--out FILE] LOGFILE
//
// Exit codes: 0 read (a file whose writer was killed reads with notes on standard error), 1 usage,
// 2 the log or key file cannot be read, 3 not a log file, 4 wrong reader key, 5 damaged file (the
// text up to the damage is still written), 6 decoded text too large.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "logging/log_reader.h"
#include "platform/files.h"
#include "platform/log_files.h"

namespace {

constexpr std::uint64_t kMaxInput = std::uint64_t{1} << 31;

int Usage() {
  std::fprintf(stderr,
               "usage: vyo-log --key READER.key [--out FILE] LOGFILE\n"
               "  READER.key  hex text: the 32-byte private scalar first ('#' starts a comment)\n"
               "  LOGFILE     a log file, a memory log or a memory-log dump\n");
  return 1;
}

bool ParseKey(const std::vector<std::uint8_t>& file, std::uint8_t key[32]) {
  std::string hex;
  bool comment = false;
  for (const std::uint8_t c : file) {
    if (c == '#') comment = true;
    if (c == '\n') comment = false;
    if (comment || c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (!std::isxdigit(c)) return false;
    hex += static_cast<char>(c);
  }
  if (hex.size() < 64) return false;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * static_cast<std::size_t>(i), 2), nullptr, 16));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string key_path, out_path, log_path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--key" && i + 1 < argc) {
      key_path = argv[++i];
    } else if (arg == "--out" && i + 1 < argc) {
      out_path = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else if (!arg.empty() && arg[0] != '-' && log_path.empty()) {
      log_path = arg;
    } else {
      return Usage();
    }
  }
  if (key_path.empty() || log_path.empty()) return Usage();

  std::vector<std::uint8_t> key_file;
  std::uint8_t key[32];
  if (vyo::platform::ReadWholeFile(vyo::Utf8ToUtf16(key_path), 1 << 16, key_file) != vyo::platform::FileStatus::kOk) {
    std::fprintf(stderr, "vyo-log: cannot read the key file %s\n", key_path.c_str());
    return 2;
  }
  if (!ParseKey(key_file, key)) {
    std::fprintf(stderr, "vyo-log: %s does not hold a 32-byte private key in hex\n", key_path.c_str());
    return 2;
  }
  // Opened with the standard library, which shares the file for writing too, so that the log of a
  // host that is still running can be read.
  std::vector<std::uint8_t> input;
  {
    std::ifstream in(std::filesystem::path(vyo::Utf8ToUtf16(log_path)), std::ios::binary);
    std::error_code ec;
    const auto size = std::filesystem::file_size(std::filesystem::path(vyo::Utf8ToUtf16(log_path)), ec);
    if (!in || ec || size > kMaxInput) {
      std::fprintf(stderr, "vyo-log: cannot read %s\n", log_path.c_str());
      return 2;
    }
    input.resize(static_cast<std::size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(input.data()), static_cast<std::streamsize>(size))) {
      std::fprintf(stderr, "vyo-log: cannot read %s\n", log_path.c_str());
      return 2;
    }
  }

  const auto report = base::log_reader::ReadLog(input.data(), input.size(), key);
  std::memset(key, 0, sizeof key);
  for (const auto& note : report.notes) std::fprintf(stderr, "vyo-log: note: %s\n", note.c_str());

  std::string text = report.text;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  if (!text.empty() && text[0] == '\n') text.erase(0, 1);
  if (!text.empty()) text += '\n';
  if (!out_path.empty()) {
    auto out = vyo::platform::LogFile::Open(vyo::Utf8ToUtf16(out_path), vyo::platform::LogFile::Mode::kCreateAlways);
    if (out == nullptr || !out->Write(text.data(), text.size())) {
      std::fprintf(stderr, "vyo-log: cannot write %s\n", out_path.c_str());
      return 2;
    }
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  using base::log_reader::ReadStatus;
  if (report.status != ReadStatus::kOk) std::fprintf(stderr, "vyo-log: %s: %s\n", log_path.c_str(), report.error.c_str());
  switch (report.status) {
    case ReadStatus::kOk: return 0;
    case ReadStatus::kNotALog: return 3;
    case ReadStatus::kWrongKey: return 4;
    case ReadStatus::kCorrupt: return 5;
    case ReadStatus::kTooLarge: return 6;
  }
  return 5;
}
