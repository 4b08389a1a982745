#include "platform/http_client.h"

#include <curl/curl.h>

#include <mutex>

namespace vyo::platform {
namespace {

size_t DiscardBody(char*, size_t size, size_t count, void*) { return size * count; }  // the body is never read

}  // namespace

HttpResult HttpPost(const std::string& host, uint16_t port, const std::string& path, const std::string& content_type,
                    const std::string& body, uint32_t timeout_ms) {
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  HttpResult result;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    result.opened = false;
    return result;
  }
  const std::string url = "http://" + host + ":" + std::to_string(port) + path;
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, ("Content-Type: " + content_type).c_str());
  // Only the headers the collector expects: no Accept, no Expect: 100-continue.
  headers = curl_slist_append(headers, "Accept:");
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "FenyraOverlay");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_ms));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DiscardBody);
  const CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    result.sent = true;
    result.status = static_cast<uint32_t>(status);
  } else {
    result.error = static_cast<int32_t>(code);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

}  // namespace vyo::platform
