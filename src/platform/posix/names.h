// Linux names of the overlay's Windows objects: '\' and '/' in a name become '_'.
#pragma once
#include <string>

#include "base/text.h"

namespace vyo::platform::posix {

inline std::string ObjectName(const std::u16string& name) {
  std::string out = Utf16ToUtf8(name);
  for (char& c : out) {
    if (c == '\\' || c == '/') c = '_';
  }
  return out;
}

}  // namespace vyo::platform::posix
