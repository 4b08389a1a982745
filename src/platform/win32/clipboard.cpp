// The Windows clipboard, as CF_UNICODETEXT.
#include "platform/clipboard.h"

#include <windows.h>

#include <cstring>

namespace vyo::platform {

ClipboardResult SetClipboardText(intptr_t owner_window, const std::u16string& text) {
  // The block is made and filled first: nothing touches the clipboard unless the text is ready.
  const SIZE_T bytes = (static_cast<SIZE_T>(text.size()) + 1) * sizeof(wchar_t);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (block == nullptr) return ClipboardResult::kAllocFailed;
  void* data = GlobalLock(block);
  if (data == nullptr) {
    GlobalFree(block);
    return ClipboardResult::kAllocFailed;
  }
  std::memcpy(data, text.c_str(), bytes);  // with the terminating NUL
  GlobalUnlock(block);

  if (!OpenClipboard(reinterpret_cast<HWND>(owner_window))) {
    GlobalFree(block);
    return ClipboardResult::kOpenFailed;
  }
  EmptyClipboard();
  if (SetClipboardData(CF_UNICODETEXT, block) == nullptr) {
    GlobalFree(block);  // still ours: the clipboard did not take it
    CloseClipboard();
    return ClipboardResult::kSetFailed;
  }
  CloseClipboard();  // the clipboard owns the block now
  return ClipboardResult::kOk;
}

std::optional<std::u16string> GetClipboardText() {
  if (!OpenClipboard(nullptr)) return std::nullopt;
  std::optional<std::u16string> result;
  if (HANDLE handle = GetClipboardData(CF_UNICODETEXT); handle != nullptr) {
    if (const auto* data = static_cast<const char16_t*>(GlobalLock(handle)); data != nullptr) {
      const SIZE_T limit = GlobalSize(handle) / sizeof(char16_t);
      size_t n = 0;
      while (n < limit && data[n] != 0) ++n;
      result = std::u16string(data, n);
      GlobalUnlock(handle);
    }
  }
  CloseClipboard();
  return result;
}

}  // namespace vyo::platform
