// Lookup of a view's requests in its mount, and the pieces of the response.
#include "content/resource.h"

#include <algorithm>
#include <new>

#include "base/lock_checks.h"
#include "base/text.h"
#include "platform/files.h"

namespace vyo::content {

std::optional<std::string> RequestPathForOrigin(std::u16string_view uri, std::u16string_view origin) {
  if (origin.empty() || uri.size() < origin.size() || uri.substr(0, origin.size()) != origin) return std::nullopt;
  // "https://v1.<domain>" must not also claim "https://v1.<domain>.example" or "https://v12...".
  if (uri.size() > origin.size() && uri[origin.size()] != u'/') return std::nullopt;
  std::string path = Utf16ToUtf8(uri.substr(origin.size()));
  const std::size_t cut = path.find_first_of("?#");
  if (cut != std::string::npos) path.resize(cut);
  return path;
}

std::optional<std::string> NormalizeResourcePath(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.find_first_of(std::string_view("\0\\:", 3)) != std::string_view::npos) {
    return std::nullopt;
  }
  std::string result;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string_view::npos) next = path.size();
    const std::string_view segment = path.substr(pos, next - pos);
    const bool last = next == path.size();
    if (segment.empty()) {
      if (!last) return std::nullopt;  // two slashes in a row
      break;                           // a trailing "/" is dropped
    }
    if (segment == "..") return std::nullopt;
    if (!result.empty()) result.push_back('/');
    result.append(segment);
    pos = next + 1;
  }
  if (result.empty()) return std::nullopt;
  return result;
}

std::string_view ContentTypeFor(std::string_view path) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {"html", "text/html; charset=utf-8"},
      {"htm", "text/html; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},
      {"js", "application/javascript; charset=utf-8"},
      {"mjs", "application/javascript; charset=utf-8"},
      {"json", "application/json; charset=utf-8"},
      {"svg", "image/svg+xml"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},
      {"webp", "image/webp"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"ttf", "font/ttf"},
      {"wasm", "application/wasm"},
      {"txt", "text/plain; charset=utf-8"},
  };
  const std::size_t dot = path.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string_view extension = path.substr(dot + 1);
    for (const auto& [ext, type] : kTypes) {
      if (extension == ext) return type;
    }
  }
  return "application/octet-stream";
}

std::string ResponseHeaders(std::string_view content_type, std::string_view policy) {
  std::string headers = "Content-Type: ";
  headers += content_type;
  headers += "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
  if (!policy.empty()) {
    headers += "Content-Security-Policy: ";
    headers += policy;
    headers += "\r\n";
  }
  return headers;
}

std::string_view ReasonPhrase(int status) { return status == 200 ? "OK" : "Forbidden"; }

namespace {

bool ReadDirectoryFile(const Mount& mount, const std::string& normalized, Bytes& body, std::string& refusal) {
  std::u16string relative = Utf8ToUtf16(normalized);
  std::replace(relative.begin(), relative.end(), u'/', platform::PathSeparator());
  const auto full = platform::FullPathName(mount.root_dir + relative);
  if (!full || !platform::PathStartsWith(*full, mount.root_dir)) {
    refusal = "path outside the directory";
    return false;
  }
  switch (platform::ReadFileWithin(mount.real_root, *full, kMaxDirectoryFileSize, body)) {
    case platform::FileStatus::kOk:
      return true;
    case platform::FileStatus::kNotFound:
      refusal = "file not found";
      return false;
    case platform::FileStatus::kNotRegular:
      refusal = "not a regular file";
      return false;
    case platform::FileStatus::kTooLarge:
      refusal = "file too large";
      return false;
    case platform::FileStatus::kOutside:
      refusal = "file resolves outside the directory";
      return false;
    case platform::FileStatus::kReadError:
      break;
  }
  refusal = "file read failed";
  return false;
}

}  // namespace

ResourceResponse LookupResource(Mount& mount, std::string_view path) {
  CheckNoRegistryLock("read a resource");
  ResourceResponse response;
  if (mount.mount_kind == kMountNone) {
    response.refusal = "no mount";
    return response;
  }
  try {
    response.policy = mount.csp;
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    if (path.empty()) path = mount.default_entry;
    if (path.empty()) {
      response.refusal = "no default entry";
      return response;
    }
    const auto normalized = NormalizeResourcePath(path);
    if (!normalized) {
      response.refusal = "path refused";
      return response;
    }
    Bytes body;
    switch (mount.mount_kind) {
      case kMountPackage: {
        if (!mount.package || !mount.package->ready()) {
          response.refusal = "package not ready";
          return response;
        }
        const auto cached = mount.cache.find(*normalized);
        if (cached != mount.cache.end()) {
          body = cached->second;
          response.from_cache = true;
        } else {
          const int code = mount.package->ReadEntry(*normalized, body);
          if (code != kPackageOk) {
            response.refusal = "package entry unavailable, code=" + std::to_string(code);
            return response;
          }
          mount.cache.emplace(*normalized, body);
        }
        break;
      }
      case kMountDirectory:
        if (!ReadDirectoryFile(mount, *normalized, body, response.refusal)) return response;
        break;
      default:
        response.refusal = "built-in content is not served";
        return response;
    }
    response.body = std::move(body);
    response.content_type = std::string(ContentTypeFor(*normalized));
    response.status = 200;
    return response;
  } catch (const std::bad_alloc&) {
    // A body that cannot be held is refused, never answered as an empty success.
    ResourceResponse refused;
    refused.refusal = "out of memory";
    try {
      refused.policy = mount.csp;
    } catch (const std::bad_alloc&) {
      refused.policy.clear();
    }
    return refused;
  }
}

}  // namespace vyo::content
