// Input records as the overlay writes them.
#pragma once
#include <cstring>
#include <string>

#include "protocol/shared_memory_layout.h"

namespace vyo::testing {

inline host::InputRecord MakeRecord(uint32_t view_id, uint32_t msg, uint64_t wparam = 0, int32_t x = 0, int32_t y = 0,
                                    uint64_t lparam = 0, uint32_t modifiers = 0, const std::u16string& text = u"") {
  host::InputRecord r{};
  const auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(0, view_id);
  put32(4, msg);
  put32(8, static_cast<uint32_t>(wparam));
  put32(12, static_cast<uint32_t>(wparam >> 32));
  put32(16, static_cast<uint32_t>(lparam));
  put32(20, static_cast<uint32_t>(lparam >> 32));
  put32(24, static_cast<uint32_t>(x));
  put32(28, static_cast<uint32_t>(y));
  put32(36, modifiers);
  put32(40, static_cast<uint32_t>(text.size()));
  for (size_t i = 0; i < text.size() && i < 129; ++i) {
    r[44 + 2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    r[45 + 2 * i] = static_cast<uint8_t>(text[i] >> 8);
  }
  return r;
}

}  // namespace vyo::testing
