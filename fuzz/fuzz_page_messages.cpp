// Page control messages as a page may post them: arbitrary text classified, and dirty reports
// applied to a view's dirty state one after another (the first byte of a line says whether the
// view takes whole frames anyway). Whatever arrives, the state keeps a well-formed rectangle.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "renderers/web/page_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vyo::web;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vyo::capture::DirtyState state;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    const bool gated = !line.empty() && (line[0] & 0x80) != 0;
    const ControlMessage message = ClassifyControlMessage(line);
    if (message.kind == ControlKind::kDirtyRect && (message.w <= 0 || message.h <= 0)) __builtin_trap();
    ApplyDirtyMessage(state, gated, message);
    if (state.has_rect && (state.dirty_rect.right <= state.dirty_rect.left ||
                           state.dirty_rect.bottom <= state.dirty_rect.top)) {
      __builtin_trap();
    }
    int32_t four[4];
    (void)ParseFourInts(line, four);
  }
  return 0;
}
