// One synchronous HTTP request: the client under read and write of http
// and https URLs (io/http). Texts cross this interface as UTF-8; bodies as
// raw bytes. Windows: WinHTTP. Linux: libcurl.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vel::platform {

struct HttpRequest {
  std::string method;  // upper-case, e.g. "GET"
  std::string url;
  // Sent in this order, and only these (besides what the protocol itself
  // needs: Host, Content-Length).
  std::vector<std::pair<std::string, std::string>> headers;
  bool has_body = false;
  std::string body;
};

struct HttpResponse {
  enum class Outcome : uint8_t { Ok, Failed, TooLarge };
  Outcome outcome = Outcome::Failed;
  int32_t status = 0;
  // "Name: value\r\n" per header line, in the order received, exactly one
  // blank after each colon.
  std::string headers;
  std::string body;
};

// Failed covers every failure to connect, send or receive (including a
// server that closes mid-response or sends a malformed head, and the time
// limits); TooLarge is a body that memory cannot hold, never cut short.
// Redirects are followed.
HttpResponse http_request(const HttpRequest& request);

}  // namespace vel::platform
