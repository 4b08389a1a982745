// Conversion between UTF-8 (narrow text: log lines, page messages, telemetry) and UTF-16 (wide
// text: paths, URLs, window texts, pipe fields). Invalid input becomes U+FFFD.
#pragma once
#include <string>
#include <string_view>

namespace vyo {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// ASCII-only case-insensitive comparison of wide text (option names are ASCII).
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace vyo
