#include <gtest/gtest.h>

#include "fakes/manual_clock.h"
#include "qos/qos.h"
#include "qos/sink.h"
#include "fakes/log_capture.h"

namespace vyo::qos {
namespace {

struct PayloadFixture : ::testing::Test {
  testing::ManualClock clock;
  void SetUp() override {
    clock.SetCounter(123456789012345);  // 12,345,678.9012345 s at 10 MHz
    QosContext::Instance().ResetForTesting(&clock, "MACHINE", "RUN");
  }
  std::string Build(const QosEvent& e) {
    std::string out;
    EXPECT_TRUE(QosContext::Instance().BuildPayload(e, &out));
    return out;
  }
};

TEST_F(PayloadFixture, ExamplePayloadByteForByte) {
  QosEvent e;
  e.kind = 21;
  e.ints = {static_cast<int32_t>(0x80004005u), 350};
  e.strs = {"create_env"};
  // 12345678901234500 ns: low and high 32-bit halves as signed integers.
  const uint64_t ns = 12345678901234500ull;
  const std::string expected =
      "zqos={\"Head\":{\"Cmd\":5},\"Body\":{\"QOSRep\":{\"BusinessID\":1,\"QosNum\":1,\"Flag\":1,\"QosList\":[{\"QosID\":"
      "7081,\"QosVal\":0,\"AppendDescFlag\":2,\"AppendDesc\":{\"Comm\":{\"IntList\":[65537,41," +
      std::to_string(static_cast<int32_t>(static_cast<uint32_t>(ns))) + "," +
      std::to_string(static_cast<int32_t>(static_cast<uint32_t>(ns >> 32))) +
      ",21,-1,-2147467259,350],\"StrList\":[\"MACHINE#0#0##0###0\",\"RUN##0##0#0#0\",\"\",\"1.1.0.41\","
      "\"create_env\"],\"IntNum\":8,\"StrNum\":5}}}]}}}";
  EXPECT_EQ(Build(e), expected);
}

TEST_F(PayloadFixture, StringsAreSanitisedEscapedAndCut) {
  const struct {
    std::string in, json;
  } cases[] = {
      {"\"a,b{c}\"", "\"'a;b\xEF\xBD\x9B" "c\xEF\xBD\x9D'\""},
      {"tab\there\nnl\rcr\\", "\"tab\\there\\nnl\\rcr\\\\\""},
      {std::string("\x01x", 2), "\"\\u0001x\""},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
  };
  for (const auto& c : cases) {
    QosEvent e;
    e.kind = 1;
    e.strs = {c.in};
    const std::string p = Build(e);
    EXPECT_NE(p.find("\"1.1.0.41\"," + c.json + "]"), std::string::npos) << c.in;
  }
  // 200 bytes of 3-byte characters become 126 bytes: 42 whole characters.
  std::string long_text;
  while (long_text.size() < 200) long_text += "\xE2\x82\xAC";
  const std::string cut = SanitizeEventString(long_text);
  EXPECT_EQ(cut.size(), 126u);
  EXPECT_EQ(cut, long_text.substr(0, 126));
}

TEST_F(PayloadFixture, LimitsOfIntegersAndStrings) {
  QosEvent ok;
  ok.ints.assign(24, 7);
  ok.strs.assign(6, "s");
  std::string out;
  EXPECT_TRUE(QosContext::Instance().BuildPayload(ok, &out));
  EXPECT_NE(out.find("\"IntNum\":30,\"StrNum\":10"), std::string::npos);
  QosEvent too_many_ints = ok;
  too_many_ints.ints.push_back(1);
  EXPECT_FALSE(QosContext::Instance().BuildPayload(too_many_ints, &out));
  QosEvent too_many_strs = ok;
  too_many_strs.strs.push_back("s");
  EXPECT_FALSE(QosContext::Instance().BuildPayload(too_many_strs, &out));
}

TEST_F(PayloadFixture, BaseInfoNeedsElevenFields) {
  auto join = [](std::vector<std::string> f) {
    std::string s;
    for (size_t i = 0; i < f.size(); ++i) s += (i ? "\x01" : "") + f[i];
    return s;
  };
  QosContext::Instance().SetBaseInfo(join({"1", "2", "", "r", "l", "t", "3", "4", "5", "6"}));
  QosEvent e;
  EXPECT_NE(Build(e).find("[65537,41,"), std::string::npos);  // 10 fields: nothing changed
  QosContext::Instance().SetBaseInfo(join({"1", "2", "", "r", "lab", "t", "3", "18446744073709551615", "5", "6", "9.9"}));
  const std::string p = Build(e);
  EXPECT_NE(p.find("[1,2,"), std::string::npos);
  EXPECT_NE(p.find("\"#5#18446744073709551615##18446744073709551615###18446744073709551615\",\"r#t#3##0#6#0\","
                   "\"lab\",\"9.9\""),
            std::string::npos)
      << p;
}

TEST(QosTime, CounterToNanosecondsIsExactAndCannotOverflow) {
  EXPECT_EQ(CounterToNanos(10'000'000, 10'000'000), 1'000'000'000ull);
  EXPECT_EQ(CounterToNanos(15, 10'000'000), 1500ull);
  // A counter of years at 3 GHz: a naive counter × 10^9 would overflow.
  const int64_t years = int64_t{3'000'000'000} * 3600 * 24 * 365 * 5;
  EXPECT_EQ(CounterToNanos(years, 3'000'000'000), uint64_t{1'000'000'000} * 3600 * 24 * 365 * 5);
}

}  // namespace
}  // namespace vyo::qos
