// HTTP over the WinHTTP API: one session, connection and request per call,
// synchronous, redirects followed by WinHTTP itself, the default time-outs.
#include "platform/http.h"
#include "platform/win32/wide.h"

#include <windows.h>
#include <winhttp.h>

#include <new>

namespace vel::platform {

namespace {

struct Handle {
  HINTERNET h = nullptr;
  ~Handle() {
    if (h) WinHttpCloseHandle(h);
  }
};

// The raw header text less its status line, each line "Name: value\r\n".
std::string header_lines(const std::wstring& raw) {
  std::string text = win32::to_utf8(raw.data(), raw.size()), out;
  size_t at = text.find("\r\n");
  at = at == std::string::npos ? text.size() : at + 2;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    size_t v = colon + 1;
    while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) v++;
    out.append(line, 0, colon).append(": ").append(line, v, std::string::npos).append("\r\n");
  }
  return out;
}

}  // namespace

HttpResponse http_request(const HttpRequest& request) {
  HttpResponse response;
  std::wstring url = win32::to_wide(request.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = DWORD(-1);
  parts.dwUrlPathLength = DWORD(-1);
  parts.dwExtraInfoLength = DWORD(-1);
  parts.dwSchemeLength = DWORD(-1);
  if (url.empty() || !WinHttpCrackUrl(url.c_str(), DWORD(url.size()), 0, &parts) || parts.dwHostNameLength == 0)
    return response;
  std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  Handle session, connection, req;
  session.h = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session.h) return response;
  connection.h = WinHttpConnect(session.h, host.c_str(), parts.nPort, 0);
  if (!connection.h) return response;
  std::wstring method = win32::to_wide(request.method);
  DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  req.h = WinHttpOpenRequest(connection.h, method.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
                             WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
  if (!req.h) return response;
  for (const auto& [name, value] : request.headers) {
    std::wstring line = win32::to_wide(name + ": " + value);
    if (!WinHttpAddRequestHeaders(req.h, line.c_str(), DWORD(line.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
      return response;
  }
  if (request.body.size() > 0xFFFFFFFFu) return response;
  void* body = request.has_body && !request.body.empty() ? const_cast<char*>(request.body.data()) : nullptr;
  DWORD size = request.has_body ? DWORD(request.body.size()) : 0;
  if (!WinHttpSendRequest(req.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, size, size, 0)) return response;
  if (!WinHttpReceiveResponse(req.h, nullptr)) return response;

  DWORD status = 0, len = sizeof(status);
  if (!WinHttpQueryHeaders(req.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &status, &len, WINHTTP_NO_HEADER_INDEX))
    return response;
  len = 0;
  WinHttpQueryHeaders(req.h, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &len,
                      WINHTTP_NO_HEADER_INDEX);
  std::wstring raw(len / sizeof(wchar_t) + 1, L'\0');
  if (len && WinHttpQueryHeaders(req.h, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, raw.data(),
                                 &len, WINHTTP_NO_HEADER_INDEX))
    raw.resize(len / sizeof(wchar_t));
  else
    raw.clear();

  try {
    response.headers = header_lines(raw);
    for (;;) {
      DWORD avail = 0;
      if (!WinHttpQueryDataAvailable(req.h, &avail)) return HttpResponse{};
      if (avail == 0) break;
      size_t at = response.body.size();
      if (avail > response.body.max_size() - at) throw std::bad_alloc();
      response.body.resize(at + avail);
      DWORD got = 0;
      if (!WinHttpReadData(req.h, response.body.data() + at, avail, &got)) return HttpResponse{};
      response.body.resize(at + got);
    }
  } catch (const std::bad_alloc&) {
    HttpResponse too_large;
    too_large.outcome = HttpResponse::Outcome::TooLarge;
    return too_large;
  }
  // A connection closed before the announced length is a failure, not a
  // shorter body.
  DWORD announced = 0;
  len = sizeof(announced);
  if (request.method != "HEAD" && status != 204 && status != 304 &&
      WinHttpQueryHeaders(req.h, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &announced, &len, WINHTTP_NO_HEADER_INDEX) &&
      response.body.size() != announced)
    return HttpResponse{};
  response.status = int32_t(status);
  response.outcome = HttpResponse::Outcome::Ok;
  return response;
}

}  // namespace vel::platform
