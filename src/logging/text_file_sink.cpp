#include "logging/text_file_sink.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/text.h"
#include "logging/log_format.h"
#include "platform/log_files.h"
#include "platform/process.h"

namespace g3 {
namespace {

constexpr int kNameAttempts = 20;
constexpr std::string_view kTimePattern = "%Y-%m-%d %H:%M:%S.%f";

std::u16string WithSeparator(std::u16string dir) {
  if (!dir.empty() && dir.back() != u'/' && dir.back() != u'\\') dir += vyo::platform::PathSeparator();
  return dir;
}

}  // namespace

TextFileSink::TextFileSink(const TextFileSinkOptions& options) : options_(options) {
  prefix_ = base::SanitizeLogPrefix(options.prefix);
  if (prefix_.empty()) {
    vyo::platform::DebugOutput("forced abort due to illegal log prefix [" + options.prefix + "]");
    std::abort();
  }
  const bool compress = options.encrypt && options.compress;
  crypt_ = options.reader_key != nullptr
               ? std::make_unique<base::log_crypt::LogCrypt>(*options.reader_key, 0, options.encrypt, compress,
                                                             options.segment_bytes)
               : std::make_unique<base::log_crypt::LogCrypt>(0, options.encrypt, compress);
  const std::u16string dir = WithSeparator(options.directory);
  if (!OpenFile(dir, prefix_, options.timestamp_in_name)) {
    vyo::platform::DebugOutput("Cannot write log file to location [" + vyo::Utf16ToUtf8(dir) + "]");
    std::u16string here = u".";
    here += vyo::platform::PathSeparator();
    if (!OpenFile(here, prefix_, options.timestamp_in_name)) {
      vyo::platform::DebugOutput("cannot open log file at startup [" + vyo::Utf16ToUtf8(dir) + "]");
      return;
    }
  }
  WriteStartText();
}

bool TextFileSink::OpenFile(const std::u16string& directory, const std::string& prefix, bool timestamp) {
  using Mode = vyo::platform::LogFile::Mode;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    // Two hosts started in the same millisecond would pick the same name: the file is created only
    // when new, and a taken name is tried again with a fresh time stamp.
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::string name = base::MakeLogFileName(prefix, options_.tag, timestamp, base::NowForLog());
    const std::u16string path = directory + vyo::Utf8ToUtf16(name);
    file_ = vyo::platform::LogFile::Open(path, timestamp ? Mode::kCreateNew : Mode::kCreateAlways);
    if (file_ != nullptr) {
      path_ = path;
      return true;
    }
    if (!timestamp) break;
  }
  return false;
}

void TextFileSink::WriteStartText() {
  std::string text = "\xEF\xBB\xBF" "log created at: ";
  text += base::FormatLogTime(kTimePattern, base::NowForLog());
  text += "\nLOG format: [YYYY-MM-DD hh:mm:ss.xxx][tid][LEVEL][FILE(LINE)]FUNCTION\tmessage";
  std::string out(reinterpret_cast<const char*>(crypt_->header().data()), crypt_->header().size());
  if (crypt_->Process(text.data(), text.size(), scratch_, false)) out += scratch_;
  if (!file_->Write(out.data(), out.size())) vyo::platform::DebugOutput("FILE ERROR: could not write log file start");
}

bool TextFileSink::Write(std::string_view line, int timeout_ms) {
  if (file_ == nullptr || closed_.load(std::memory_order_acquire)) return false;
  std::unique_lock<std::timed_mutex> guard(lock_, std::defer_lock);
  if (timeout_ms < 0) {
    guard.lock();
  } else if (!guard.try_lock_for(std::chrono::milliseconds(timeout_ms))) {
    return false;
  }
  if (closed_.load(std::memory_order_acquire)) return false;
  if (!crypt_->Process(line.data(), line.size(), scratch_, false)) return false;
  return scratch_.empty() || file_->Write(scratch_.data(), scratch_.size());
}

void TextFileSink::Flush() {
  // Every write already reaches the operating system at once; a flush also pushes it to the disk.
  if (file_ == nullptr) return;
  std::lock_guard<std::timed_mutex> guard(lock_);
  if (!closed_.load(std::memory_order_acquire)) file_->Sync();
}

bool TextFileSink::CloseLocked() {
  if (closed_.exchange(true)) return false;
  std::string text = "\nlog shutdown at: ";
  text += base::FormatLogTime(kTimePattern, base::NowForLog());
  std::string out;
  if (crypt_->Process(text.data(), text.size(), scratch_, true)) out = scratch_;
  out.append(reinterpret_cast<const char*>(crypt_->trailer().data()), crypt_->trailer().size());
  return file_->Write(out.data(), out.size());
}

bool TextFileSink::Close(int timeout_ms) {
  if (file_ == nullptr) return false;
  std::unique_lock<std::timed_mutex> guard(lock_, std::defer_lock);
  if (timeout_ms < 0) {
    guard.lock();
  } else if (!guard.try_lock_for(std::chrono::milliseconds(timeout_ms))) {
    // A stuck writer holds the lock. The trailer goes straight to the file so that it ends as a
    // reader expects; the writer's data, if it ever comes, is skipped from now on.
    if (closed_.exchange(true)) return false;
    file_->Write(crypt_->trailer().data(), crypt_->trailer().size());
    return false;
  }
  return CloseLocked();
}

TextFileSink::~TextFileSink() {
  if (file_ != nullptr) Close(-1);
}

void StdoutSink::Write(std::string_view line) {
  std::lock_guard<std::mutex> guard(lock_);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void StdoutSink::Flush() {
  std::lock_guard<std::mutex> guard(lock_);
  std::fflush(stdout);
}

}  // namespace g3
