// The clipboard: the system clipboard on Windows; on Linux, where the host has no display to own a
// selection on, a clipboard inside the process.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace vyo::platform {

enum class ClipboardResult {
  kOk,
  kOpenFailed,   // the clipboard could not be opened (another program holds it)
  kAllocFailed,  // the data block could not be made; the clipboard was not touched
  kSetFailed,    // the clipboard refused the data
};

// Puts `text` on the clipboard as Unicode text, owned by `owner_window` (0 for none). The data is
// made ready before the clipboard is opened and emptied, so that running out of memory or finding
// the clipboard held by another program leaves it as it was.
ClipboardResult SetClipboardText(intptr_t owner_window, const std::u16string& text);

// The Unicode text on the clipboard; nullopt when there is none or it cannot be read.
std::optional<std::u16string> GetClipboardText();

}  // namespace vyo::platform
