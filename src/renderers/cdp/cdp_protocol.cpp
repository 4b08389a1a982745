#include "renderers/cdp/cdp_protocol.h"

namespace vyo::web::cdp {

std::string Base64Encode(const uint8_t* data, size_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (size - i == 1) {
    const uint32_t v = uint32_t{data[i]} << 16;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out += "==";
  } else if (size - i == 2) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseHeaderBlock(std::string_view block) {
  std::vector<std::pair<std::string, std::string>> headers;
  while (!block.empty()) {
    const size_t end = block.find('\n');
    std::string_view line = block.substr(0, end);
    block = end == std::string_view::npos ? std::string_view() : block.substr(end + 1);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = Trim(line.substr(0, colon));
    if (name.empty()) continue;
    headers.emplace_back(std::string(name), std::string(Trim(line.substr(colon + 1))));
  }
  return headers;
}

int32_t WebErrorStatusFor(std::string_view error_text) {
  struct Entry {
    std::string_view text;
    int32_t status;
  };
  static constexpr Entry kTable[] = {
      {"ERR_CERT_COMMON_NAME_INVALID", 1},
      {"ERR_CERT_DATE_INVALID", 2},
      {"ERR_BAD_SSL_CLIENT_AUTH_CERT", 3},
      {"ERR_SSL_CLIENT_AUTH_CERT_NEEDED", 3},
      {"ERR_CERT_REVOKED", 4},
      {"ERR_CERT_AUTHORITY_INVALID", 5},
      {"ERR_CERT_INVALID", 5},
      {"ERR_CERT_WEAK_KEY", 5},
      {"ERR_CERT_CONTAINS_ERRORS", 5},
      {"ERR_CERT_WEAK_SIGNATURE_ALGORITHM", 5},
      {"ERR_ADDRESS_UNREACHABLE", 6},
      {"ERR_NETWORK_UNREACHABLE", 6},
      {"ERR_TIMED_OUT", 7},
      {"ERR_CONNECTION_TIMED_OUT", 7},
      {"ERR_INVALID_RESPONSE", 8},
      {"ERR_EMPTY_RESPONSE", 8},
      {"ERR_INVALID_HTTP_RESPONSE", 8},
      {"ERR_RESPONSE_HEADERS_TRUNCATED", 8},
      {"ERR_CONNECTION_ABORTED", 9},
      {"ERR_CONNECTION_RESET", 10},
      {"ERR_CONNECTION_CLOSED", 11},
      {"ERR_INTERNET_DISCONNECTED", 11},
      {"ERR_NETWORK_CHANGED", 11},
      {"ERR_CONNECTION_REFUSED", 12},
      {"ERR_CONNECTION_FAILED", 12},
      {"ERR_SSL_PROTOCOL_ERROR", 12},
      {"ERR_NAME_NOT_RESOLVED", 13},
      {"ERR_NAME_RESOLUTION_FAILED", 13},
      {"ERR_ABORTED", 14},
      {"ERR_TOO_MANY_REDIRECTS", 15},
      {"ERR_UNSAFE_REDIRECT", 15},
      {"ERR_INVALID_REDIRECT", 15},
      {"ERR_UNEXPECTED", 16},
      {"ERR_FAILED", 16},
      {"ERR_INVALID_AUTH_CREDENTIALS", 17},
      {"ERR_PROXY_AUTH_REQUESTED", 18},
      {"ERR_PROXY_AUTH_UNSUPPORTED", 18},
  };
  std::string_view name = error_text;
  if (name.substr(0, 5) == "net::") name.remove_prefix(5);
  for (const Entry& e : kTable) {
    if (e.text == name) return e.status;
  }
  return 0;
}

std::string ParseVersion(std::string_view text) {
  for (size_t start = 0; start < text.size(); ++start) {
    if (text[start] < '0' || text[start] > '9') continue;
    if (start > 0 && (text[start - 1] == '.' || (text[start - 1] >= '0' && text[start - 1] <= '9'))) continue;
    size_t i = start;
    int numbers = 0;
    for (;;) {
      const size_t digits_start = i;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
      if (i == digits_start) break;
      ++numbers;
      if (numbers == 4 || i >= text.size() || text[i] != '.') break;
      ++i;
    }
    const bool ends_cleanly = i >= text.size() || !(text[i] == '.' || (text[i] >= '0' && text[i] <= '9'));
    if (numbers == 4 && ends_cleanly) return std::string(text.substr(start, i - start));
  }
  return {};
}

std::vector<std::string> SplitArguments(std::string_view arguments) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < arguments.size()) {
    while (i < arguments.size() && arguments[i] == ' ') ++i;
    const size_t start = i;
    while (i < arguments.size() && arguments[i] != ' ') ++i;
    if (i > start) out.emplace_back(arguments.substr(start, i - start));
  }
  return out;
}

}  // namespace vyo::web::cdp
