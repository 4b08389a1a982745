#include "host/host_options.h"

#include <limits>

#include "base/text.h"

namespace vyo::host {
namespace {

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// Skips white space and an optional sign; returns true for a minus sign.
bool SkipSpaceAndSign(std::u16string_view text, size_t* i) {
  while (*i < text.size() && IsSpace(text[*i])) ++*i;
  bool negative = false;
  if (*i < text.size() && (text[*i] == u'+' || text[*i] == u'-')) {
    negative = text[*i] == u'-';
    ++*i;
  }
  return negative;
}

}  // namespace

std::u16string FindOption(const std::vector<std::u16string>& args, std::u16string_view name) {
  for (size_t i = 1; i + 1 < args.size(); ++i) {
    if (EqualsIgnoreCase(args[i], name)) return args[i + 1];
  }
  return {};
}

uint32_t ParseProcessId(std::u16string_view text) {
  size_t i = 0;
  const bool negative = SkipSpaceAndSign(text, &i);
  int64_t value = 0;
  bool any = false;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    any = true;
    value = value * 10 + (text[i] - u'0');
    if (value > std::numeric_limits<int32_t>::max()) return 0;  // overflow
  }
  if (!any || negative) return 0;
  return static_cast<uint32_t>(value);
}

uint64_t ParseUnsigned64(std::u16string_view text) {
  size_t i = 0;
  const bool negative = SkipSpaceAndSign(text, &i);
  uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - u'0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
    value = value * 10 + digit;
  }
  if (overflow) return std::numeric_limits<uint64_t>::max();
  return negative ? (~value + 1) : value;
}

HostOptions ParseHostOptions(const std::vector<std::u16string>& args, bool* windowed_error) {
  HostOptions o;
  o.pipe_name = FindOption(args, u"--pipe");
  o.input_map_name = FindOption(args, u"--input-map");
  o.input_event_name = FindOption(args, u"--input-event");
  o.beat_map_name = FindOption(args, u"--beat-map");
  o.parent_pid = ParseProcessId(FindOption(args, u"--parent-pid"));
  o.module_config_path = FindOption(args, u"--module-config");
  o.windowed = FindOption(args, u"--present-mode") == u"windowed";  // value compared case-sensitively
  o.game_hwnd = ParseUnsigned64(FindOption(args, u"--game-hwnd"));
  o.game_pid = ParseProcessId(FindOption(args, u"--game-pid"));
  *windowed_error = false;
  if (o.windowed && (o.game_hwnd == 0 || o.game_pid == 0)) {
    *windowed_error = true;
    o.windowed = false;
  }
  return o;
}

bool IsValid(const HostOptions& o) {
  return !o.pipe_name.empty() && !o.input_map_name.empty() && !o.input_event_name.empty() && o.parent_pid != 0;
}

}  // namespace vyo::host
