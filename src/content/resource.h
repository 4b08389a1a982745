// Answering a view's resource requests from its mount: request path extraction, normalisation,
// lookup (with the package entry cache), content types and the response header block.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "content/mount.h"

namespace vyo::content {

// Directory files above this size are refused.
inline constexpr std::uint64_t kMaxDirectoryFileSize = 256ull << 20;

struct ResourceResponse {
  int status = 403;
  Bytes body;
  std::string content_type;  // empty for a refusal
  std::string policy;        // the mount's content security policy, also on refusals
  bool from_cache = false;   // package entry served from the mount's cache
  std::string refusal;       // why a request was refused, for the host's log
};

// The request path for a view's origin: the URI must begin with the origin followed by "/" or
// the end; the rest is converted to UTF-8 and cut at the first "?" or "#" (no percent-decoding).
std::optional<std::string> RequestPathForOrigin(std::u16string_view uri, std::u16string_view origin);

ResourceResponse LookupResource(Mount& mount, std::string_view path);
std::optional<std::string> NormalizeResourcePath(std::string_view path);
std::string_view ContentTypeFor(std::string_view path);
// The response header block, CR LF separated, with the policy header only for a non-empty policy.
std::string ResponseHeaders(std::string_view content_type, std::string_view policy);
// "OK" for 200, "Forbidden" otherwise.
std::string_view ReasonPhrase(int status);

}  // namespace vyo::content
