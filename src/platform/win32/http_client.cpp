#include "platform/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include "base/text.h"

namespace vyo::platform {

HttpResult HttpPost(const std::string& host, uint16_t port, const std::string& path, const std::string& content_type,
                    const std::string& body, uint32_t timeout_ms) {
  HttpResult result;
  HINTERNET session = WinHttpOpen(L"FenyraOverlay", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) {
    // Older systems lack the automatic proxy type: fall back to the default one.
    session = WinHttpOpen(L"FenyraOverlay", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  }
  if (session == nullptr) {
    result.opened = false;
    result.error = static_cast<int32_t>(GetLastError());
    return result;
  }
  const int t = static_cast<int>(timeout_ms);
  WinHttpSetTimeouts(session, t, t, t, t);
  const std::u16string whost = Utf8ToUtf16(host);
  const std::u16string wpath = Utf8ToUtf16(path);
  HINTERNET connection = WinHttpConnect(session, reinterpret_cast<const wchar_t*>(whost.c_str()), port, 0);
  HINTERNET request = connection == nullptr
                          ? nullptr
                          : WinHttpOpenRequest(connection, L"POST", reinterpret_cast<const wchar_t*>(wpath.c_str()),
                                               nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
  if (request != nullptr) {
    // The time-outs once more on the request itself: some WinHTTP versions only honour them there.
    WinHttpSetTimeouts(request, t, t, t, t);
    const std::u16string header = Utf8ToUtf16("Content-Type: " + content_type);
    const BOOL sent = WinHttpSendRequest(request, reinterpret_cast<const wchar_t*>(header.c_str()),
                                         static_cast<DWORD>(header.size()), const_cast<char*>(body.data()),
                                         static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0);
    if (sent && WinHttpReceiveResponse(request, nullptr)) {
      DWORD status = 0;
      DWORD size = sizeof(status);
      if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        result.sent = true;
        result.status = status;
      }
    } else {
      result.error = static_cast<int32_t>(GetLastError());
    }
  } else {
    result.error = static_cast<int32_t>(GetLastError());
  }
  if (request) WinHttpCloseHandle(request);
  if (connection) WinHttpCloseHandle(connection);
  WinHttpCloseHandle(session);
  return result;
}

}  // namespace vyo::platform
