// HTTP over libcurl: one easy handle per request, redirects followed, the
// caller's headers sent in order and curl's own defaults taken away.
#include "platform/http.h"

#include <curl/curl.h>

#include <mutex>
#include <new>

namespace vel::platform {

namespace {

struct Sink {
  CURL* curl;
  HttpResponse* response;
  bool too_large = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  size_t n = size * count;
  std::string& body = sink->response->body;
  // Never a cut body: a body that memory cannot hold stops the transfer
  // and is reported as such.
  try {
    if (n > body.max_size() - body.size()) throw std::bad_alloc();
    // A body of announced length is held in one allocation, not grown by
    // copies (up to the size a series can hold; a bigger one fails later).
    curl_off_t length = -1;
    if (body.empty() && curl_easy_getinfo(sink->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0 && length <= (curl_off_t(1) << 31))
      body.reserve(size_t(length));
    body.append(data, n);
  } catch (const std::bad_alloc&) {
    sink->too_large = true;
    return 0;
  }
  return n;
}

// Header lines of every response on the way (redirects, 100 Continue):
// a status line starts the list afresh, so only the last response's
// headers remain. Each kept line is written "Name: value\r\n".
size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  size_t n = size * count;
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::string& out = sink->response->headers;
  if (line.compare(0, 5, "HTTP/") == 0) {
    out.clear();
    return n;
  }
  size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return n;
  size_t v = colon + 1;
  while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) v++;
  try {
    out.append(line, 0, colon).append(": ").append(line, v, std::string::npos).append("\r\n");
  } catch (const std::bad_alloc&) {
    sink->too_large = true;
    return 0;
  }
  return n;
}

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

HttpResponse http_request(const HttpRequest& request) {
  global_init();
  HttpResponse response;
  CURL* curl = curl_easy_init();
  if (!curl) return response;
  Sink sink{curl, &response};
  curl_slist* list = nullptr;
  // What curl would add of its own accord; an explicit header of the
  // same name replaces the blank one.
  for (const char* h : {"Accept:", "Expect:", "Content-Type:"}) list = curl_slist_append(list, h);
  for (const auto& [name, value] : request.headers) {
    // curl's spelling of a header with an empty value is "Name;".
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    list = curl_slist_append(list, line.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  // The request object's default limits: 60 s to connect, 30 s without a
  // byte while sending or receiving.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &sink);
  if (request.method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else {
    if (request.has_body || request.method == "POST") {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    }
    if (request.method != "GET" && request.method != "POST")
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    else if (request.method == "GET" && request.has_body)
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "GET");
  }
  // A redirect answered with 301-303 turns a POST into a GET, as browsers
  // and the request object do.
  CURLcode rc = curl_easy_perform(curl);
  if (rc == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    response.status = int32_t(status);
    response.outcome = HttpResponse::Outcome::Ok;
  } else if (sink.too_large || rc == CURLE_OUT_OF_MEMORY) {
    response.outcome = HttpResponse::Outcome::TooLarge;
  }
  if (response.outcome != HttpResponse::Outcome::Ok) {
    response.headers.clear();
    response.body.clear();
  }
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return response;
}

}  // namespace vel::platform
