// read and write of http and https URLs over platform/http.h; open of any
// URL, and read and write of the other schemes, through a port of the URL.
#include "io/http.h"

#include <string>

#include "action_frames.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/port.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "io/simple_io.h"
#include "platform/http.h"
#include "roots.h"
#include "unicode.h"

namespace vel::http {

namespace {


may_gc std::string formed(const Cell& v) {
  RootedNode out(make_string(16));
  form_value(v, out);
  return to_utf8(out, 0);
}

// A header name or value from a script: CR and LF would end the header
// and start another, so they are refused.
may_gc std::string header_text(const Cell& v, bool name) {
  std::string s;
  if (name && is_any_word(v.type()) && !v.is(TYPE_ISSUE))
    s = std::string(symbol::text(v.w2));
  else
    s = formed(v);
  if (s.find_first_of("\r\n") != std::string::npos || (name && s.find(':') != std::string::npos))
    fire(ErrId::INVALID_ARG, v);
  return s;
}

// The method's text: get, head and post as such, any other word upper-cased.
std::string method_text(const Cell& w) {
  std::string s(symbol::text(symbol::resolve(w.w2)));
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

may_gc Cell body_value(std::string& bytes, bool binary, bool lines) {
  if (bytes.size() > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
  if (binary) return binary::load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (lines) return simple_io::lines_of(bytes);
  return simple_io::text_of(bytes);
}

// Header lines "Name: value\r\n" into a map from the name as a word to the
// value as a string; a repeated name gathers its values into a block.
may_gc Cell headers_map(const std::string& raw) {
  RootedCell map(map::make_at(0, 20));
  size_t at = 0;
  while (at < raw.size()) {
    size_t end = raw.find("\r\n", at);
    if (end == std::string::npos) end = raw.size();
    std::string_view line(raw.data() + at, end - at);
    at = end + 2;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    size_t v = colon + 1;
    while (v < line.size() && line[v] == ' ') v++;
    RootedCell key(word::load(line.substr(0, colon)));
    RootedCell value(string::load(line.substr(v)));
    RootedCell old(map::get(*map, *key, false));
    if (old->is(TYPE_NONE)) {
      map::store(*map, *key, *value, false, *key);
    } else if (old->is(TYPE_BLOCK)) {
      block::rs_append(old->node(), *value);
    } else {
      RootedCell both(block::make_at(4));
      block::rs_append(both->node(), *old);
      block::rs_append(both->node(), *value);
      map::store(*map, *key, *both, false, *key);
    }
  }
  return *map;
}

}  // namespace

may_gc Cell request(const Cell& method, const Cell& url, const Cell& headers, const Cell& data, bool binary,
                    bool lines, bool info) {
  RootedCell m(method), u(url), h(headers), d(data);
  platform::HttpRequest req;
  req.method = method_text(*m);
  req.url = to_utf8(u->node(), u->index() < 0 ? 0 : u->index());
  if (h->is(TYPE_BLOCK)) {
    Buffer* b = node_buffer(h->node());
    uint32_t n = b->length();
    for (uint32_t i = uint32_t(h->index() < 0 ? 0 : h->index()); i + 1 < n; i += 2) {
      std::string name = header_text(node_buffer(h->node())->cells()[i], true);
      Cell v = node_buffer(h->node())->cells()[i + 1];
      std::string value = v.is(TYPE_STRING) ? to_utf8(v.node(), v.index() < 0 ? 0 : v.index()) : header_text(v, false);
      if (value.find_first_of("\r\n") != std::string::npos) fire(ErrId::INVALID_ARG, v);
      req.headers.emplace_back(std::move(name), std::move(value));
      b = node_buffer(h->node());
      n = b->length();
    }
  } else {
    req.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                   {"Accept-Charset", "UTF-8"},
                   {"User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"}};
  }
  if (!d->is(TYPE_NONE) && req.method != "GET" && req.method != "HEAD") {
    req.has_body = true;
    if (d->is(TYPE_BINARY)) {
      std::string holder;
      binary::Bytes bytes = binary::bytes_of(*d, holder);
      req.body.assign(reinterpret_cast<const char*>(bytes.p), bytes.n);
    } else {
      req.body = d->is(TYPE_STRING) ? to_utf8(d->node(), d->index() < 0 ? 0 : d->index()) : formed(*d);
    }
  }

  platform::HttpResponse res = platform::http_request(req);
  if (res.outcome == platform::HttpResponse::Outcome::TooLarge) fire(ErrId::NO_MEMORY);
  if (res.outcome != platform::HttpResponse::Outcome::Ok) return none_cell();
  RootedCell body(body_value(res.body, binary, lines));
  if (!info) return *body;
  RootedCell out(block::make_at(3));
  block::rs_append(out->node(), integer_cell(res.status));
  RootedCell map(headers_map(res.headers));
  block::rs_append(out->node(), *map);
  block::rs_append(out->node(), *body);
  return *out;
}

namespace {

bool is_http(const Cell& url) {
  std::string head = to_utf8(url.node(), url.index() < 0 ? 0 : url.index(), 4);
  for (char& c : head)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return head == "http";
}

[[noreturn]] void no_connect(const Cell& url) { fire(ErrId::NO_CONNECT, url); }

// Other schemes go to a port of the URL, with the same frame.
may_gc Status through_port(Cell* base, ActionId a) {
  RootedCell port;
  VEL_TRY(port::of_url(base[FIRST], port.get()));
  base[FIRST] = *port;
  return action_of(TYPE_PORT, a)(base);
}

Status url_read(Cell* base) {
  using enum act::read::Frame;
  if (!is_http(base[SOURCE])) return through_port(base, ACT_READ);
  if (used(base[PART]) || used(base[SEEK]) || used(base[AS])) fire(ErrId::NOT_DONE);
  RootedCell url(base[SOURCE]);
  Cell r = request(word::load("get"), *url, none_cell(), none_cell(), used(base[BINARY]), used(base[LINES]),
                   used(base[INFO]));
  if (r.is(TYPE_NONE)) no_connect(*url);
  base[RESULT] = r;
  return Status::OK;
}

// write [destination data /binary /lines /info /append /part length /seek index
//        /allow access /as encoding]; /append and /part do not apply.
Status url_write(Cell* base) {
  using enum act::write::Frame;
  if (!is_http(base[DESTINATION])) return through_port(base, ACT_WRITE);
  if (used(base[SEEK]) || used(base[ALLOW]) || used(base[AS])) fire(ErrId::NOT_DONE);
  RootedCell url(base[DESTINATION]), spec(base[DATA]);
  RootedCell method(word::load("post")), headers(none_cell()), data(*spec);
  if (spec->is(TYPE_BLOCK)) {
    *data = none_cell();
    uint32_t at = uint32_t(spec->index() < 0 ? 0 : spec->index());
    uint32_t n = node_buffer(spec->node())->length();
    auto elem = [&](uint32_t i) { return node_buffer(spec->node())->cells()[at + i]; };
    if (at >= n) {
      *method = word::load("get");
    } else {
      if (!elem(0).is(TYPE_WORD)) fire(ErrId::INVALID_ARG, elem(0));
      *method = elem(0);
      if (at + 1 < n) {
        if (!elem(1).is(TYPE_BLOCK)) fire(ErrId::INVALID_ARG, elem(1));
        *headers = elem(1);
      }
      if (at + 2 < n) *data = elem(2);
    }
  }
  if (!data->is(TYPE_NONE) && !data->is(TYPE_STRING) && !data->is(TYPE_BINARY)) fire(ErrId::INVALID_ARG, *data);
  Cell r = request(*method, *url, *headers, *data, used(base[BINARY]), used(base[LINES]), used(base[INFO]));
  if (r.is(TYPE_NONE)) no_connect(*url);
  base[RESULT] = r;
  return Status::OK;
}

}  // namespace

// open url: always through a port, http included, as nothing else opens.
Status url_open(Cell* base) { return through_port(base, ACT_OPEN); }

void register_url_actions() {
  set_action(TYPE_URL, ACT_READ, url_read);
  set_action(TYPE_URL, ACT_WRITE, url_write);
  set_action(TYPE_URL, ACT_OPEN, url_open);
}

}  // namespace vel::http
