// The in-process clipboard of the Linux host: what the host copied, readable by the host (and its
// tests) until the next copy.
#include "platform/clipboard.h"

#include <mutex>

namespace vyo::platform {
namespace {

std::mutex& ClipboardMutex() {
  static std::mutex mutex;
  return mutex;
}
std::optional<std::u16string>& ClipboardText() {
  static std::optional<std::u16string> text;
  return text;
}

}  // namespace

ClipboardResult SetClipboardText(intptr_t /*owner_window*/, const std::u16string& text) {
  std::u16string copy;
  try {
    copy = text;  // the new data is in hand before the old one goes
  } catch (const std::bad_alloc&) {
    return ClipboardResult::kAllocFailed;
  }
  std::lock_guard<std::mutex> lock(ClipboardMutex());
  ClipboardText() = std::move(copy);
  return ClipboardResult::kOk;
}

std::optional<std::u16string> GetClipboardText() {
  std::lock_guard<std::mutex> lock(ClipboardMutex());
  return ClipboardText();
}

}  // namespace vyo::platform
