// Arguments the process test passes to the helper, which checks that each arrives unchanged.
// They cover the command-line quoting rules: spaces, empty arguments, quotes and backslashes.
#pragma once

namespace vyo::platform::testing {

inline constexpr const char* kQuotedArgs[] = {
    "plain",
    "two words",
    "",
    " leading and trailing ",
    "quote\"inside",
    "\"fully quoted\"",
    "back\\slash",
    "trailing\\",
    "trailing two\\\\",
    "slashes before quote\\\\\"x",
    "\\\\server\\share\\path with space\\",
    "tab\there",
};

}  // namespace vyo::platform::testing
