// Small pieces of the DevTools backend that need no browser: base64, the response header block,
// the table from network error texts to web error statuses, version texts and argument splitting.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vyo::web::cdp {

std::string Base64Encode(const uint8_t* data, size_t size);

// "Name: value" lines separated by CR LF (a lone LF is accepted too) → (name, value) pairs in
// order. Names and values are trimmed of spaces and tabs; lines without a colon or with an empty
// name are skipped.
std::vector<std::pair<std::string, std::string>> ParseHeaderBlock(std::string_view block);

// The web error status of a failed navigation, from the browser's network error text (such as
// "net::ERR_NAME_NOT_RESOLVED"):
//   0 unknown (any text not listed)
//   1 certificate name mismatch        ERR_CERT_COMMON_NAME_INVALID
//   2 certificate expired              ERR_CERT_DATE_INVALID
//   3 client certificate errors        ERR_BAD_SSL_CLIENT_AUTH_CERT, ERR_SSL_CLIENT_AUTH_CERT_NEEDED
//   4 certificate revoked              ERR_CERT_REVOKED
//   5 certificate invalid              ERR_CERT_AUTHORITY_INVALID, ERR_CERT_INVALID, ERR_CERT_WEAK_KEY,
//                                      ERR_CERT_CONTAINS_ERRORS, ERR_CERT_WEAK_SIGNATURE_ALGORITHM
//   6 server unreachable               ERR_ADDRESS_UNREACHABLE, ERR_NETWORK_UNREACHABLE
//   7 timeout                          ERR_TIMED_OUT, ERR_CONNECTION_TIMED_OUT
//   8 invalid server response          ERR_INVALID_RESPONSE, ERR_EMPTY_RESPONSE, ERR_INVALID_HTTP_RESPONSE,
//                                      ERR_RESPONSE_HEADERS_TRUNCATED
//   9 connection aborted               ERR_CONNECTION_ABORTED
//  10 connection reset                 ERR_CONNECTION_RESET
//  11 disconnected                     ERR_CONNECTION_CLOSED, ERR_INTERNET_DISCONNECTED, ERR_NETWORK_CHANGED
//  12 cannot connect                   ERR_CONNECTION_REFUSED, ERR_CONNECTION_FAILED, ERR_SSL_PROTOCOL_ERROR
//  13 host name not resolved           ERR_NAME_NOT_RESOLVED, ERR_NAME_RESOLUTION_FAILED
//  14 operation canceled               ERR_ABORTED
//  15 redirect failed                  ERR_TOO_MANY_REDIRECTS, ERR_UNSAFE_REDIRECT, ERR_INVALID_REDIRECT
//  16 unexpected error                 ERR_UNEXPECTED, ERR_FAILED
//  17 authentication required          ERR_INVALID_AUTH_CREDENTIALS
//  18 proxy authentication required    ERR_PROXY_AUTH_REQUESTED, ERR_PROXY_AUTH_UNSUPPORTED
int32_t WebErrorStatusFor(std::string_view error_text);

// The first dotted version of four numbers in `text` ("Chromium 156.0.8078.129 built on …" →
// "156.0.8078.129"), or empty.
std::string ParseVersion(std::string_view text);

// Browser arguments given as one string, split on spaces (empty pieces dropped).
std::vector<std::string> SplitArguments(std::string_view arguments);

}  // namespace vyo::web::cdp
