// file!: a url! whose mold writes %name, or %"name" when the name holds a
// character that would end or break the bare form; the operating system's
// form of a path. Everything else is url!'s.
#include "datatypes/file.h"

#include <string>
#include <vector>

#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
#include "datatypes/url.h"
#include "platform/os.h"
#include "roots.h"

namespace vel::file {

may_gc void to_local_path(const Cell& path, NodeId out_node, bool full) {
  RootedNode out(out_node);
  // The characters first: appending may move any buffer.
  std::vector<uint32_t> s;
  {
    string::detail::View v = string::detail::view_of(path);
    s.resize(v.len);
    for (uint32_t i = 0; i < v.len; i++) s[i] = v.at(i);
  }
  const uint32_t sep = platform::kDrivePaths ? '\\' : '/';
  size_t n = s.size(), i = 0;
  if (n > 0 && s[0] == '/') {
    if (platform::kDrivePaths) {
      if (n >= 2 && s[1] == '/') {
        append_char(out, '\\');
        i = 2;
      } else if (n >= 2 && (n == 2 || s[2] == '/')) {
        append_char(out, s[1]);
        append_char(out, ':');
        append_char(out, '\\');
        i = n == 2 ? 2 : 3;
      } else {
        append_latin1(out, "\\\\");
        i = 1;
      }
    }
  } else if (full) {
    std::string dir = platform::get_current_dir();
    append_utf8(out, dir);
    if (dir.empty() || uint8_t(dir.back()) != sep) append_char(out, sep);
  }
  for (; i < n; i++) append_char(out, s[i] == '/' ? sep : s[i]);
}

}  // namespace vel::file

namespace vel {

namespace {

// A character that the bare %name form cannot hold: an ASCII character
// outside the URL set, DEL, and ":" "@" "(" ")", which end a file token.
inline bool needs_quotes(uint32_t c) {
  return c < 128 && (!url::in_url_set(c) || c == ':' || c == '@' || c == '(' || c == ')');
}

// Within the quotes the escapes of a quoted string keep '"', "^" and the
// control characters loadable.
inline bool needs_escape(uint32_t c) { return c == '"' || c == '^' || c < 32 || c == 127; }

may_gc int32_t file_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  RootedNode keep(out);
  RootedCell v(value);
  string::detail::View all = string::detail::view_of(*v);
  if (all.len == 0) {
    append_latin1(out, "%\"\"");
    return part - 3;
  }
  uint32_t n = std::min<uint32_t>(all.len, uint32_t(std::max(part - 1, 0)));
  std::vector<uint32_t> cps(n);
  bool quoted = false;
  for (uint32_t i = 0; i < n; i++) {
    cps[i] = all.at(i);
    quoted |= needs_quotes(cps[i]);
  }
  append_char(out, '%');
  if (!quoted) {
    append_code_points(out, cps.data(), cps.size());
    return part - int32_t(n) - 1;
  }
  append_char(out, '"');
  size_t run = 0;
  for (size_t i = 0; i <= cps.size(); i++) {
    if (i < cps.size() && !needs_escape(cps[i])) continue;
    append_code_points(out, cps.data() + run, i - run);
    if (i < cps.size()) string::escape_char(out, cps[i], false);
    run = i + 1;
  }
  append_char(out, '"');
  return part - int32_t(n) - 1;
}

}  // namespace

void register_type_FILE() {
  TypeBuilder b(TYPE_FILE);
  b.mold(file_mold);
  // read, write, query, delete and rename: the file layer's
  // (simple_io::register_natives).
  for (ActionId a : {ACT_MAKE, ACT_TO, ACT_FORM, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE,
                     ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q,
                     ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP,
                     ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
    b.inherit(a);
  b.done();
}

}  // namespace vel
