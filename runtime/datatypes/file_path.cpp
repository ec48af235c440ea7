#include "datatypes/file_path.h"

#include <vector>

#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
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
