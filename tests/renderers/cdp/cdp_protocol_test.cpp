// The DevTools backend's pieces that need no browser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "renderers/cdp/cdp_protocol.h"

namespace vyo::web::cdp {
namespace {

std::string B64(const std::string& s) { return Base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

TEST(CdpProtocol, Base64MatchesTheStandardVectorsAndEveryPaddingCase) {
  EXPECT_EQ(B64(""), "");
  EXPECT_EQ(B64("f"), "Zg==");
  EXPECT_EQ(B64("fo"), "Zm8=");
  EXPECT_EQ(B64("foo"), "Zm9v");
  EXPECT_EQ(B64("foob"), "Zm9vYg==");
  EXPECT_EQ(B64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(B64("foobar"), "Zm9vYmFy");
  const uint8_t high[] = {0xFF, 0xFE, 0x00, 0x80};
  EXPECT_EQ(Base64Encode(high, sizeof high), "//4AgA==");
}

TEST(CdpProtocol, HeaderBlockKeepsOrderTrimsAndSkipsBrokenLines) {
  const auto headers = ParseHeaderBlock(
      "Content-Type: text/html; charset=utf-8\r\nCache-Control:no-store\r\n\r\nnot a header\r\n: empty name\r\n"
      "X-Lf-Only:  a: b \nContent-Security-Policy: default-src 'self'\r\n");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Content-Type", "text/html; charset=utf-8"},
      {"Cache-Control", "no-store"},
      {"X-Lf-Only", "a: b"},
      {"Content-Security-Policy", "default-src 'self'"},
  };
  EXPECT_EQ(headers, expected);
  EXPECT_TRUE(ParseHeaderBlock("").empty());
}

TEST(CdpProtocol, NetworkErrorTextsMapToWebErrorStatuses) {
  EXPECT_EQ(WebErrorStatusFor("net::ERR_NAME_NOT_RESOLVED"), 13);
  EXPECT_EQ(WebErrorStatusFor("ERR_NAME_NOT_RESOLVED"), 13);
  EXPECT_EQ(WebErrorStatusFor("net::ERR_CONNECTION_REFUSED"), 12);
  EXPECT_EQ(WebErrorStatusFor("net::ERR_CONNECTION_TIMED_OUT"), 7);
  EXPECT_EQ(WebErrorStatusFor("net::ERR_ABORTED"), 14);
  EXPECT_EQ(WebErrorStatusFor("net::ERR_CERT_DATE_INVALID"), 2);
  EXPECT_EQ(WebErrorStatusFor("net::ERR_TOO_MANY_REDIRECTS"), 15);
  EXPECT_EQ(WebErrorStatusFor("net::ERR_CONNECTION_RESET"), 10);
  EXPECT_EQ(WebErrorStatusFor("net::ERR_SOMETHING_NEW"), 0);
  EXPECT_EQ(WebErrorStatusFor(""), 0);
  EXPECT_EQ(WebErrorStatusFor("net::ERR_NAME_NOT_RESOLVED_X"), 0);
}

TEST(CdpProtocol, VersionIsTheFirstFourNumberDottedToken) {
  EXPECT_EQ(ParseVersion("Chromium 156.0.8078.129 built on Debian GNU/Linux 12 (bookworm)\n"), "156.0.8078.129");
  EXPECT_EQ(ParseVersion("Chrome/156.0.8078.129"), "156.0.8078.129");
  EXPECT_EQ(ParseVersion("HeadlessChrome/1.2.3 Foo 9.8.7.6"), "9.8.7.6");
  EXPECT_EQ(ParseVersion("1.2.3.4.5 then 5.6.7.8"), "5.6.7.8");
  EXPECT_EQ(ParseVersion("no version"), "");
  EXPECT_EQ(ParseVersion("1.2.3."), "");
}

TEST(CdpProtocol, ArgumentsSplitOnSpaces) {
  const std::vector<std::string> expected = {"--disk-cache-size=33554432", "--disable-features=A,B"};
  EXPECT_EQ(SplitArguments("  --disk-cache-size=33554432   --disable-features=A,B "), expected);
  EXPECT_TRUE(SplitArguments("").empty());
  EXPECT_TRUE(SplitArguments("   ").empty());
}

}  // namespace
}  // namespace vyo::web::cdp
