// The file sink (one log file per run, written through its LogCrypt) and the console sink.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/log_crypt.h"

namespace vyo::platform {
class LogFile;
}

namespace g3 {

struct TextFileSinkOptions {
  std::string prefix;       // sanitised before use
  std::u16string directory;  // ends with a separator, or gets one
  std::string tag;
  bool timestamp_in_name = true;
  bool encrypt = true;
  bool compress = true;  // only when encrypting, as the host does; a plain sink passes text through
  // Reader key and segment size for tests; null / 0 for the built-in key 0 and the standard size.
  const base::log_crypt::PublicKey* reader_key = nullptr;
  std::uint32_t segment_bytes = 0;
};

class TextFileSink {
 public:
  explicit TextFileSink(const TextFileSinkOptions& options);
  // Writes the footer and the trailer (unless an abandoning shutdown already wrote the trailer).
  ~TextFileSink();
  TextFileSink(const TextFileSink&) = delete;
  TextFileSink& operator=(const TextFileSink&) = delete;

  bool is_open() const { return file_ != nullptr; }
  const std::u16string& path() const { return path_; }

  // Writes one record line. `timeout_ms` < 0 waits for the lock as long as it takes; otherwise the
  // write gives up (false) when the lock is not free in time.
  bool Write(std::string_view line, int timeout_ms = -1);
  void Flush();
  // Ends the file within `timeout_ms`: footer and trailer under the lock when it is free in time;
  // otherwise only the trailer, appended straight to the file, and every later write is skipped.
  // True when the footer was written.
  bool Close(int timeout_ms);

 private:
  bool OpenFile(const std::u16string& directory, const std::string& name_base, bool timestamp);
  void WriteStartText();
  bool CloseLocked();

  TextFileSinkOptions options_;
  std::string prefix_;
  std::u16string path_;
  std::unique_ptr<vyo::platform::LogFile> file_;
  std::unique_ptr<base::log_crypt::LogCrypt> crypt_;
  std::timed_mutex lock_;
  std::atomic<bool> closed_{false};
  std::string scratch_;
};

class StdoutSink {
 public:
  void Write(std::string_view line);
  void Flush();

 private:
  std::mutex lock_;
};

}  // namespace g3
