#include "logging/log_reader.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "logging/ec.h"
#include "logging/log_crypt.h"

namespace base::log_reader {
namespace {

namespace lc = base::log_crypt;

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kFooter = "\nlog shutdown at: ";
constexpr std::size_t kTimeStampLength = 23;  // YYYY-MM-DD hh:mm:ss.mmm

std::uint16_t Load16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Load32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

struct SegmentHeader {
  bool encrypt = false;
  bool compress = false;
  std::uint32_t created = 0;
  std::array<std::uint8_t, 64> writer_public{};
};

bool ParseHeader(const std::uint8_t* p, std::size_t available, SegmentHeader& out) {
  if (available < lc::kHeaderSize) return false;
  if (Load16(p) != lc::kHeaderMagicStart || Load16(p + 148) != lc::kHeaderMagicEnd) return false;
  if (p[2] > 1 || p[3] > 1 || Load32(p + 12) != lc::kHeaderVersion) return false;
  out.encrypt = p[2] == 1;
  out.compress = p[3] == 1;
  out.created = Load32(p + 4);
  std::memcpy(out.writer_public.data(), p + 20, 64);
  return true;
}

// Offset of the trailer with `created` at or after `from`, or npos.
std::size_t FindTrailer(const std::uint8_t* data, std::size_t size, std::size_t from, std::uint32_t created) {
  const lc::Trailer t = lc::MakeTrailer(created);
  if (size < lc::kTrailerSize) return std::string::npos;
  const auto* end = data + size;
  const auto* hit = std::search(data + from, end, t.begin(), t.end());
  return hit == end ? std::string::npos : static_cast<std::size_t>(hit - data);
}

bool AllEqual(const std::uint8_t* p, std::size_t n, std::uint8_t value) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != value) return false;
  return true;
}

bool PlausibleZlibHeader(const std::string& data) {
  if (data.size() < 2) return true;  // too little to tell
  const auto b0 = static_cast<std::uint8_t>(data[0]);
  const auto b1 = static_cast<std::uint8_t>(data[1]);
  return (b0 & 0x0F) == 8 && (b0 >> 4) <= 7 && ((b0 << 8) | b1) % 31 == 0 && (b1 & 0x20) == 0;
}

enum class InflateEnd { kComplete, kCut, kDamaged, kTooLarge };

InflateEnd Inflate(const std::string& in, std::string& out, std::size_t limit) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return InflateEnd::kDamaged;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  unsigned char buffer[16384];
  InflateEnd result = InflateEnd::kCut;
  for (;;) {
    zs.next_out = buffer;
    zs.avail_out = sizeof buffer;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t got = sizeof buffer - zs.avail_out;
    if (out.size() + got > limit) {
      result = InflateEnd::kTooLarge;
      break;
    }
    out.append(reinterpret_cast<const char*>(buffer), got);
    if (rc == Z_STREAM_END) {
      result = InflateEnd::kComplete;
      break;
    }
    if (rc == Z_BUF_ERROR || (rc == Z_OK && zs.avail_in == 0 && got < sizeof buffer)) break;  // input used up
    if (rc != Z_OK) {
      result = InflateEnd::kDamaged;
      break;
    }
  }
  inflateEnd(&zs);
  return result;
}

// Puts memory-log records in time order. A dump is already in order; a raw ring file holds the
// newest lap at its start, so its records are rotated back into place by their time stamps.
std::string OrderRing(std::string_view text, ReadReport& report) {
  std::size_t first = std::string_view::npos;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (IsRecordStart(text, i)) {
      first = i;
      break;
    }
  }
  if (first == std::string_view::npos) return {};
  if (first > 0) report.notes.push_back("the oldest record in the memory log was partly overwritten and is left out");
  std::vector<std::string_view> records;
  std::size_t start = first;
  for (std::size_t i = first + 1; i + 1 < text.size(); ++i) {
    if (IsRecordStart(text, i)) {
      records.push_back(text.substr(start, i - start));
      start = i;
    }
  }
  records.push_back(text.substr(start));
  std::stable_sort(records.begin(), records.end(), [](std::string_view a, std::string_view b) {
    return a.substr(2, kTimeStampLength) < b.substr(2, kTimeStampLength);
  });
  std::string out;
  out.reserve(text.size());
  for (auto r : records) out += r;
  return out;
}

}  // namespace

const char* StatusText(ReadStatus status) {
  switch (status) {
    case ReadStatus::kOk: return "ok";
    case ReadStatus::kNotALog: return "not a log file (no log header at the start)";
    case ReadStatus::kWrongKey: return "wrong reader key (the data does not decrypt with it)";
    case ReadStatus::kCorrupt: return "the file is damaged";
    case ReadStatus::kTooLarge: return "the decoded text is too large";
  }
  return "unknown";
}

bool IsRecordStart(std::string_view text, std::size_t pos) {
  static constexpr std::string_view kShape = "\n[dddd-dd-dd dd:dd:dd.ddd][";
  if (pos > text.size() || text.size() - pos < kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const char c = text[pos + i];
    if (kShape[i] == 'd' ? (c < '0' || c > '9') : c != kShape[i]) return false;
  }
  return true;
}

std::vector<std::string> SplitRecords(std::string_view text) {
  std::vector<std::string> records;
  const std::size_t footer = text.rfind(kFooter);
  if (footer != std::string_view::npos) text = text.substr(0, footer);
  std::size_t start = std::string_view::npos;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!IsRecordStart(text, i)) continue;
    if (start != std::string_view::npos) records.emplace_back(text.substr(start, i - start));
    start = i;
  }
  if (start != std::string_view::npos) records.emplace_back(text.substr(start));
  return records;
}

ReadReport ReadLog(const std::uint8_t* data, std::size_t size, const std::uint8_t reader_private[32],
                   std::size_t output_limit) {
  ReadReport report;
  SegmentHeader header;
  if (!ParseHeader(data, size, header)) {
    report.status = ReadStatus::kNotALog;
    report.error = StatusText(report.status);
    return report;
  }

  std::size_t pos = 0;
  std::array<std::uint8_t, 64> agreed_for{};
  std::uint8_t key[32] = {};
  bool have_key = false;
  const auto fail = [&](ReadStatus status, std::string why) {
    report.status = status;
    report.error = std::move(why);
    return report;
  };

  while (pos < size) {
    if (!ParseHeader(data + pos, size - pos, header)) {
      return fail(ReadStatus::kCorrupt, "segment " + std::to_string(report.segments + 1) +
                                            " does not begin with a log header (offset " + std::to_string(pos) + ")");
    }
    ++report.segments;
    const std::size_t begin = pos + lc::kHeaderSize;
    const std::size_t trailer = FindTrailer(data, size, begin, header.created);
    const std::size_t end = trailer == std::string::npos ? size : trailer;
    std::size_t length = end - begin;

    std::string plain;
    if (header.encrypt) {
      if (!have_key || agreed_for != header.writer_public) {
        if (!lc::EcSharedX(reader_private, header.writer_public.data(), key)) {
          return fail(ReadStatus::kCorrupt, "segment " + std::to_string(report.segments) +
                                                ": the writer's public key is not a valid point (or the reader key is "
                                                "not a valid private key)");
        }
        agreed_for = header.writer_public;
        have_key = true;
      }
      if (length % 8 != 0) {
        report.partial_block = true;
        report.notes.push_back("the data ends inside a cipher block; its last " + std::to_string(length % 8) +
                               " bytes are left out");
        length -= length % 8;
      }
      if (length > output_limit) return fail(ReadStatus::kTooLarge, StatusText(ReadStatus::kTooLarge));
      plain.reserve(length);
      for (std::size_t i = 0; i < length; i += 8) {
        const std::uint8_t* block = data + begin + i;
        // Without compression this is ring content: unwritten (zero) and filler (space) blocks are
        // not data.
        if (!header.compress && (AllEqual(block, 8, 0) || AllEqual(block, 8, ' '))) continue;
        std::uint8_t b[8];
        std::memcpy(b, block, 8);
        lc::TeaDecrypt16(b, key);
        plain.append(reinterpret_cast<const char*>(b), 8);
      }
    } else {
      if (length > output_limit) return fail(ReadStatus::kTooLarge, StatusText(ReadStatus::kTooLarge));
      plain.assign(reinterpret_cast<const char*>(data + begin), length);
    }

    std::string text;
    if (header.compress) {
      // A flushed end is padded with up to 7 zero bytes after the stream's sync marker.
      std::size_t pad = 0;
      while (pad < 7 && pad < plain.size() && plain[plain.size() - 1 - pad] == '\0') ++pad;
      plain.resize(plain.size() - pad);
      if (!PlausibleZlibHeader(plain)) {
        return fail(header.encrypt ? ReadStatus::kWrongKey : ReadStatus::kCorrupt,
                    header.encrypt ? StatusText(ReadStatus::kWrongKey) : "the compressed data does not start a stream");
      }
      const std::size_t room = output_limit - std::min(output_limit, report.text.size());
      switch (Inflate(plain, text, room)) {
        case InflateEnd::kComplete:
        case InflateEnd::kCut: break;
        case InflateEnd::kTooLarge: return fail(ReadStatus::kTooLarge, StatusText(ReadStatus::kTooLarge));
        case InflateEnd::kDamaged:
          report.text += text;
          return fail(ReadStatus::kCorrupt, "segment " + std::to_string(report.segments) +
                                                ": the compressed data is damaged after " +
                                                std::to_string(text.size()) + " bytes of text");
      }
    } else {
      plain.erase(std::remove(plain.begin(), plain.end(), '\0'), plain.end());
      if (plain.compare(0, kBom.size(), kBom) == 0) {
        text = std::move(plain);
      } else {
        report.ring = true;
        text = OrderRing(plain, report);
        if (text.empty() && !plain.empty()) {
          return fail(header.encrypt ? ReadStatus::kWrongKey : ReadStatus::kCorrupt,
                      header.encrypt ? StatusText(ReadStatus::kWrongKey) : "the memory log holds no records");
        }
      }
    }
    if (report.text.size() + text.size() > output_limit)
      return fail(ReadStatus::kTooLarge, StatusText(ReadStatus::kTooLarge));
    report.text += text;

    if (trailer == std::string::npos) {
      report.ended = false;
      report.notes.push_back("the file ends without a trailer: the writer did not shut down");
      break;
    }
    pos = trailer + lc::kTrailerSize;
    report.ended = pos == size;
  }
  std::memset(key, 0, sizeof key);
  return report;
}

}  // namespace base::log_reader
