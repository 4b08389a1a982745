// A minimal HTTP client for the telemetry upload: one POST over plain HTTP, sending exactly the
// given headers and body, reading only the status code. WinHTTP on Windows, libcurl elsewhere.
#pragma once
#include <cstdint>
#include <string>

namespace vyo::platform {

struct HttpResult {
  bool opened = true;     // the client could be set up at all
  bool sent = false;      // the request was sent and a response header received
  uint32_t status = 0;    // the response status code when sent
  int32_t error = 0;      // the platform's error code when not sent
};

// POSTs `body` to http://host:port/path with the one `content_type` header, all time-outs set to
// `timeout_ms`.
HttpResult HttpPost(const std::string& host, uint16_t port, const std::string& path, const std::string& content_type,
                    const std::string& body, uint32_t timeout_ms);

}  // namespace vyo::platform
