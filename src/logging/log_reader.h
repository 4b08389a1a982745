// Reading log files and memory logs back: find the segments, agree each segment's key with the
// reader's private key, decrypt, inflate, and give back the text. Used by the vyo-log tool; every
// byte of the input is untrusted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace base::log_reader {

enum class ReadStatus {
  kOk,
  kNotALog,   // no log header at the start
  kWrongKey,  // the data does not decrypt with this reader key
  kCorrupt,   // damaged beyond the point reached (the text up to it is kept)
  kTooLarge,  // the decoded text would exceed the output limit
};
const char* StatusText(ReadStatus status);

struct ReadReport {
  ReadStatus status = ReadStatus::kOk;
  std::string text;  // the decoded text of every segment, in order
  int segments = 0;
  bool ended = false;          // the last segment is closed by a trailer (the writer shut down)
  bool partial_block = false;  // the data ends inside an 8-byte cipher block (dropped)
  bool ring = false;           // memory-log content (records put in time order)
  std::vector<std::string> notes;  // what was odd, for the user
  std::string error;               // why the status is not kOk
};

inline constexpr std::size_t kDefaultOutputLimit = std::size_t{1} << 30;

ReadReport ReadLog(const std::uint8_t* data, std::size_t size, const std::uint8_t reader_private[32],
                   std::size_t output_limit = kDefaultOutputLimit);

// True when a record line ("\n[YYYY-MM-DD hh:mm:ss.mmm][") starts at `pos`.
bool IsRecordStart(std::string_view text, std::size_t pos);
// The records of a decoded text, each beginning with its line break; text before the first record
// (the start text of a log file) and the footer are left out.
std::vector<std::string> SplitRecords(std::string_view text);

}  // namespace base::log_reader
