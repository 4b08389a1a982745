// Environment variables: set, set to empty, and unset are three different answers.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/text.h"
#include "platform/process.h"

#ifdef _WIN32
#include <windows.h>  // only to set up the environment under test
#else
#include <stdlib.h>
#endif

namespace vyo::platform {
namespace {

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  const std::u16string wide_name = Utf8ToUtf16(name);
  const std::u16string wide_value = value ? Utf8ToUtf16(*value) : std::u16string();
  SetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(wide_name.c_str()),
                          value ? reinterpret_cast<const wchar_t*>(wide_value.c_str()) : nullptr);
#else
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

TEST(EnvironmentTest, SetEmptyAndUnsetAreDistinct) {
  const std::string prefix = "VYO_TEST_ENV_" + std::to_string(CurrentProcessId()) + "_";
  struct Case {
    const char* suffix;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"PLAIN", std::string("value with spaces")},
      {"EMPTY", std::string()},
      {"UNSET", std::nullopt},
      {"TEXT", std::string("caf\xC3\xA9 \xE2\x82\xAC")},
      {"LONG", std::string(5000, 'x')},  // longer than any first guess at the size
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.suffix);
    const std::string name = prefix + c.suffix;
    SetVariable(name, c.value);
    EXPECT_EQ(GetEnv(name), c.value);
  }
  // A variable that was set and is then removed reads as unset again.
  SetVariable(prefix + "PLAIN", std::nullopt);
  EXPECT_EQ(GetEnv(prefix + "PLAIN"), std::nullopt);
}

}  // namespace
}  // namespace vyo::platform
