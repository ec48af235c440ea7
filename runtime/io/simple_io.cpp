// The file layer over platform/files.h: reading, writing, listing and the
// small file operations, and the file! actions, natives and routines built
// on them.
#include "io/simple_io.h"

#include <atomic>
#include <iterator>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "action_frames.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "datatypes/word.h"
#include "errors.h"
#include "natives_table.h"
#include "frame.h"
#include "native_frames.h"
#include "routine_frames.h"
#include "platform/files.h"
#include "platform/os.h"
#include "platform/platform.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel::simple_io {

namespace {

inline uint32_t clamped_index(const Cell& s) {
  uint32_t len = node_buffer(s.node())->length();
  return s.index() < 0 ? 0 : (uint32_t(s.index()) > len ? len : uint32_t(s.index()));
}

constexpr size_t kChunk = 65536;

// The characters of a text series from its index, as code points.
std::vector<uint32_t> chars_of(const Cell& s) {
  std::string utf8 = to_utf8(s.node(), clamped_index(s));
  std::vector<uint32_t> out;
  const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
  size_t n = utf8.size(), i = 0;
  while (i < n) {
    uint32_t len = 1;
    int32_t cp = decode_utf8_checked(p + i, n - i, &len);
    out.push_back(cp < 0 ? p[i] : uint32_t(cp));
    i += cp < 0 ? 1 : len;
  }
  return out;
}

// An offset or length argument: none gives -1; an integer! or a float!
// (for positions beyond the integer range) its value, negatives as 0.
int64_t offset_arg(const Cell& v) {
  if (v.is(TYPE_INTEGER)) return v.i2() < 0 ? 0 : v.i2();
  if (v.is(TYPE_FLOAT)) {
    double d = v.f64();
    if (!(d >= 0)) return 0;
    return d >= 9.0e18 ? int64_t(9.0e18) : int64_t(d);
  }
  return -1;
}

[[noreturn]] void cannot_open(const Cell& file) { fire(ErrId::CANNOT_OPEN, file); }

struct OpenFile {
  platform::FileHandle h;
  explicit OpenFile(platform::FileHandle f) : h(f) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (h != platform::BAD_FILE) platform::file_close(h);
  }
};

// Reads up to `limit` bytes (-1: to the end) into out. False on a read error.
bool read_stream(platform::FileHandle h, int64_t limit, std::string& out) {
  char buf[kChunk];
  while (limit < 0 || int64_t(out.size()) < limit) {
    size_t want = kChunk;
    if (limit >= 0 && uint64_t(limit) - out.size() < want) want = size_t(uint64_t(limit) - out.size());
    int64_t n = platform::file_read(h, buf, want);
    if (n < 0) return false;
    if (n == 0) break;
    if (out.size() + size_t(n) > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
    out.append(buf, size_t(n));
  }
  return true;
}

}  // namespace

may_gc Cell text_of(std::string& bytes) {
  size_t from = bytes.size() >= 3 && uint8_t(bytes[0]) == 0xEF && uint8_t(bytes[1]) == 0xBB &&
                        uint8_t(bytes[2]) == 0xBF
                    ? 3
                    : 0;
  size_t w = 0;
  for (size_t r = from; r < bytes.size(); r++) {
    char c = bytes[r];
    if (c == '\r') {
      if (r + 1 < bytes.size() && bytes[r + 1] == '\n') continue;
      c = '\n';
    }
    bytes[w++] = c;
  }
  bytes.resize(w);
  return string::load(bytes);
}

// A last line without LF is kept when it is not empty.
may_gc Cell lines_of(const std::string& bytes) {
  size_t count = 1;
  for (const char* p = bytes.data(); (p = static_cast<const char*>(std::memchr(p, '\n', bytes.data() + bytes.size() - p)));
       p++)
    count++;
  RootedCell out(block::make_at(int64_t(count)));
  size_t start = 0, n = bytes.size();
  while (start < n) {
    size_t end = bytes.find('\n', start);
    size_t next = end == std::string::npos ? n : end + 1;
    if (end == std::string::npos) end = n;
    size_t stop = end > start && bytes[end - 1] == '\r' ? end - 1 : end;
    Cell line = string::load(std::string_view(bytes).substr(start, stop - start));
    block::rs_append(out->node(), line);
    start = next;
  }
  return *out;
}

namespace {

may_gc Cell read_dir(const Cell& file) {
  std::string path = os_path(file);
  RootedCell out(block::make_at(16));
  auto add = [&](const std::string& name, bool dir) {
    RootedNode s(make_string(uint32_t(name.size() + 1)));
    append_utf8(s, name);
    if (dir) append_char(s, '/');
    block::rs_append(out->node(), series_cell(TYPE_FILE, s, 0));
  };
  std::vector<uint32_t> chars = chars_of(file);
  if (platform::kDrivePaths && chars.size() == 1 && chars[0] == '/') {
    for (const std::string& d : platform::list_drives()) add(d, true);
    return *out;
  }
  // "dir/." and "." search the directory itself.
  if (!path.empty() && path.back() == '.') path += platform::kDrivePaths ? '\\' : '/';
  std::vector<platform::DirEntry> entries;
  if (!platform::list_dir(path, entries)) cannot_open(file);
  for (const platform::DirEntry& e : entries) add(e.name, e.dir);
  return *out;
}

// The bytes a value writes: text as UTF-8 (LF as CR LF unless binary),
// a binary as it is, anything else formed first.
may_gc void bytes_of(const Cell& v, int64_t part, bool binary, std::string& out) {
  if (v.is(TYPE_BINARY)) {
    Buffer* b = node_buffer(v.node());
    uint32_t at = clamped_index(v);
    uint64_t n = b->used() - at;
    if (part >= 0 && uint64_t(part) < n) n = uint64_t(part);
    out.append(reinterpret_cast<const char*>(b->head_ptr()) + at, n);
    return;
  }
  if (is_any_string(v.type())) {
    // Encoded straight onto the output: no allocation between reading the
    // buffer and writing it.
    Buffer* b = node_buffer(v.node());
    uint32_t at = clamped_index(v);
    uint64_t len = b->length() - at;
    if (part >= 0 && uint64_t(part) < len) len = uint64_t(part);
    const uint8_t* p = b->head_ptr() + (uint64_t(at) << b->unit_shift());
    uint64_t n = utf8_size_of_run(p, size_t(len), b->unit(), !binary);
    size_t old = out.size();
    out.resize(old + size_t(n));
    encode_utf8_run(p, size_t(len), b->unit(), reinterpret_cast<uint8_t*>(out.data()) + old, !binary);
    return;
  }
  RootedNode s(make_string(16));
  form_value(v, s);
  out += to_utf8(s, 0, part, !binary);
}

bool write_all(platform::FileHandle h, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    int64_t n = platform::file_write(h, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

std::atomic<uint32_t> g_temp_counter{0};

}  // namespace

may_gc std::string os_path(const Cell& file) {
  if (!is_any_string(file.type())) fire(ErrId::INVALID_ARG, file);
  RootedNode out(make_string(uint32_t(node_buffer(file.node())->length() + 8)));
  file::to_local_path(file, out, false);
  return to_utf8(out, 0);
}

bool dir_q(const Cell& file) {
  Buffer* b = node_buffer(file.node());
  uint32_t len = b->length(), at = clamped_index(file);
  auto ch = [&](uint32_t i) { return string::rs_abs_at(file, i); };
  uint32_t n = len - at;
  if (n == 0) return false;
  auto sep = [](uint32_t c) { return c == '/' || c == '\\'; };
  if (sep(ch(len - 1))) return true;
  // ".", "..", or a separator followed by one of them at the end.
  if (ch(len - 1) != '.') return false;
  if (n == 1 || sep(ch(len - 2))) return true;
  if (ch(len - 2) != '.') return false;
  return n == 2 || sep(ch(len - 3));
}

may_gc Cell read(const Cell& file, const Cell& part_arg, const Cell& seek_arg, bool binary, bool lines) {
  if (dir_q(file)) return read_dir(file);
  RootedCell name(file);
  int64_t part = offset_arg(part_arg), seek = offset_arg(seek_arg);
  OpenFile f(platform::file_open(os_path(file), platform::OPEN_READ));
  if (f.h == platform::BAD_FILE) cannot_open(*name);
  // Streams, and files of special file systems that report 0, are read to
  // their end.
  int64_t size = platform::file_size(f.h);
  if (size == 0) size = -1;
  if (part == 0) return binary ? binary::load(nullptr, 0) : lines ? block::make_at(1) : string::load("");
  std::string bytes;
  if (size < 0) {
    // A pipe, a FIFO or a device: read to the end, never measure and seek
    // back (what was read would be gone).
    if (seek > 0) {
      std::string skipped;
      if (!read_stream(f.h, seek, skipped)) cannot_open(*name);
      if (int64_t(skipped.size()) < seek) part = 0;
    }
    if (part != 0 && !read_stream(f.h, part, bytes)) cannot_open(*name);
  } else {
    // A seek past the end gives nothing; a file that shrank since its size
    // was taken gives what is there.
    if (seek > 0) {
      size = seek >= size ? 0 : size - seek;
      if (size > 0 && !platform::file_seek(f.h, seek)) cannot_open(*name);
    }
    if (part > 0 && part < size) size = part;
    if (uint64_t(size) > MAX_CAPACITY) fire(ErrId::NO_MEMORY);
    if (binary && size > 0) {
      RootedNode node(alloc_bytes(uint64_t(size)));
      Buffer* b = node_buffer(node);
      uint64_t got = 0;
      while (got < uint64_t(size)) {
        int64_t n = platform::file_read(f.h, b->head_ptr() + got, size_t(uint64_t(size) - got));
        if (n < 0) cannot_open(*name);
        if (n == 0) break;
        got += uint64_t(n);
      }
      b->tail = b->head + uint32_t(got);
      return series_cell(TYPE_BINARY, node, 0);
    }
    if (size > 0) {
      bytes.reserve(size_t(size));
      if (!read_stream(f.h, size, bytes)) cannot_open(*name);
    }
  }
  if (binary) return binary::load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (lines) return lines_of(bytes);
  return text_of(bytes);
}

may_gc void write(const Cell& file_arg, const Cell& data_arg, const Cell& part_arg, const Cell& seek_arg,
                  bool binary, bool append, bool lines) {
  RootedCell file(file_arg), data(data_arg);
  if (!seek_arg.is(TYPE_NONE) && !seek_arg.is(TYPE_INTEGER) && !seek_arg.is(TYPE_FLOAT))
    fire(ErrId::INVALID_REFINE_ARG, word::load("seek"), seek_arg);
  if (!part_arg.is(TYPE_NONE) && !part_arg.is(TYPE_INTEGER) && !part_arg.is(TYPE_FLOAT))
    fire(ErrId::INVALID_REFINE_ARG, word::load("part"), part_arg);
  bool seeking = !seek_arg.is(TYPE_NONE);
  if (seeking && (seek_arg.is(TYPE_INTEGER) ? seek_arg.i2() < 0 : !(seek_arg.f64() >= 0))) cannot_open(*file);
  int64_t part = offset_arg(part_arg), seek = offset_arg(seek_arg);

  // The bytes go to `sink` in pieces of about a megabyte: a large file is
  // written from a buffer that stays in cache, not from a copy of all of it.
  auto encode = [&](auto&& sink) {
    constexpr size_t PIECE = size_t(1) << 20;
    std::string bytes;
    if (lines && data->is(TYPE_BLOCK)) {
      for (uint32_t i = clamped_index(*data); i < node_buffer(data->node())->length(); i++) {
        Cell v = node_buffer(data->node())->cells()[i];
        bytes_of(v, -1, binary, bytes);
        bytes += "\r\n";
        if (bytes.size() >= PIECE) {
          sink(bytes);
          bytes.clear();
        }
      }
    } else {
      bytes_of(*data, part, binary, bytes);
      if (lines) bytes += "\r\n";
    }
    sink(bytes);
  };
  // Everything, before any of it is written.
  auto whole = [&] {
    std::string all;
    encode([&](const std::string& piece) { all += piece; });
    return all;
  };

  if (file->is(TYPE_NONE)) {
    // Standard output as print writes it: a GUI process may have none.
    std::string bytes = whole();
    platform::write_stream(platform::Stream::Out, bytes.data(), bytes.size());
    return;
  }
  std::string path = os_path(*file);
  platform::PathKind kind = platform::path_kind(path);
  if (kind == platform::PathKind::Dir || dir_q(*file)) cannot_open(*file);
  if (!append && !seeking && kind != platform::PathKind::Other) {
    // A whole new file: written beside the target under another name and
    // renamed over it, so a failed write, or an error while the data is
    // formed, never leaves a cut file where a good one was.
    std::string temp = path + ".vel-" + std::to_string(++g_temp_counter) + "~";
    platform::FileHandle h = platform::file_open(temp, platform::OPEN_WRITE);
    if (h == platform::BAD_FILE) cannot_open(*file);
    bool ok = true;
    try {
      encode([&](const std::string& piece) { ok = ok && write_all(h, piece); });
    } catch (...) {
      platform::file_close(h);
      platform::remove_file(temp);
      throw;
    }
    ok = platform::file_close(h) && ok;
    if (!ok || !platform::replace_file(temp, path)) {
      platform::remove_file(temp);
      cannot_open(*file);
    }
    return;
  }
  std::string bytes = whole();
  uint32_t mode = platform::OPEN_WRITE | (append ? platform::OPEN_APPEND : 0) | (seeking ? platform::OPEN_SEEK : 0);
  platform::FileHandle h = platform::file_open(path, mode);
  if (h == platform::BAD_FILE) cannot_open(*file);
  bool ok = true;
  if (seek > 0) ok = platform::file_seek(h, seek);
  if (ok && append) ok = platform::file_seek_end(h);
  ok = ok && write_all(h, bytes);
  ok = platform::file_close(h) && ok;
  if (!ok) cannot_open(*file);
}

may_gc Cell query(const Cell& file) {
  std::string path = os_path(file);
  platform::FileTime t;
  if (!platform::file_mtime(path, t)) return none_cell();
  if (dir_q(file) && platform::path_kind(path) != platform::PathKind::Dir) return none_cell();
  Cell d = none_cell();
  date::make_from_parts(&d, t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond * 1000000);
  return d;
}

may_gc bool remove(const Cell& file) {
  std::string path = os_path(file);
  return dir_q(file) ? platform::remove_dir(path) : platform::remove_file(path);
}

may_gc bool rename(const Cell& from, const Cell& to) {
  RootedCell keep(to);
  std::string a = os_path(from);
  std::string b = os_path(*keep);
  return platform::rename_path(a, b);
}

may_gc bool make_dir(const Cell& dir) { return platform::make_dir(os_path(dir)); }

// A name ending in a separator exists only as a directory, on both builds.
may_gc bool exists(const Cell& file) {
  std::string path = os_path(file);
  return dir_q(file) ? platform::path_kind(path) == platform::PathKind::Dir : platform::path_exists(path);
}

may_gc Cell size_of(const Cell& file) {
  if (dir_q(file)) return none_cell();
  OpenFile f(platform::file_open(os_path(file), platform::OPEN_READ));
  if (f.h == platform::BAD_FILE) return none_cell();
  int64_t size = platform::file_size(f.h);
  if (size < 0) return none_cell();
  // Sizes beyond the integer range are given exactly as a float.
  return size <= 0x7FFFFFFF ? integer_cell(int32_t(size)) : float_cell(double(size));
}

may_gc Cell current_dir() {
  std::string dir = platform::get_current_dir();
  RootedNode out(make_string(uint32_t(dir.size() + 2)));
  if (platform::kDrivePaths) {
    // C:\work becomes /C/work.
    std::string v;
    if (dir.size() >= 2 && dir[1] == ':') {
      v = "/" + dir.substr(0, 1);
      dir = dir.substr(2);
    }
    for (char& c : dir)
      if (c == '\\') c = '/';
    if (!v.empty() && (dir.empty() || dir[0] != '/')) v += '/';
    dir = v + dir;
  }
  if (dir.empty() || dir.back() != '/') dir += '/';
  append_utf8(out, dir);
  return series_cell(TYPE_FILE, out, 0);
}

// --- file! actions -------------------------------------------------------------------
namespace {

// read [source /part length /seek index /binary /lines /info /as encoding]
Status file_read(Cell* base) {
  using enum act::read::Frame;
  if (used(base[AS])) fire(ErrId::NOT_DONE);
  base[RESULT] = read(base[SOURCE], used(base[PART]) ? base[LENGTH] : none_cell(),
                      used(base[SEEK]) ? base[INDEX] : none_cell(), used(base[BINARY]), used(base[LINES]));
  return Status::OK;
}

// write [destination data /binary /lines /info /append /part length /seek index
//        /allow access /as encoding]
Status file_write(Cell* base) {
  using enum act::write::Frame;
  if (used(base[ALLOW]) || used(base[AS])) fire(ErrId::NOT_DONE);
  write(base[DESTINATION], base[DATA], used(base[PART]) ? base[LENGTH] : none_cell(),
        used(base[SEEK]) ? base[INDEX] : none_cell(), used(base[BINARY]), used(base[APPEND]), used(base[LINES]));
  base[RESULT] = unset_cell();
  return Status::OK;
}

Status file_query(Cell* base) {
  using enum act::query::Frame;
  base[RESULT] = query(base[TARGET]);
  return Status::OK;
}

Status file_delete(Cell* base) {
  using enum act::delete_::Frame;
  base[RESULT] = logic_cell(remove(base[FILE]));
  return Status::OK;
}

Status file_rename(Cell* base) {
  using enum act::rename::Frame;
  if (!is_any_string(base[TO].type())) fire(ErrId::INVALID_ARG, base[TO]);
  base[RESULT] = logic_cell(rename(base[FROM], base[TO]));
  return Status::OK;
}

// --- natives and routines ------------------------------------------------------------

Status native_size_q(Cell* base) {
  using enum nat::size_q::Frame;
  base[RESULT] = size_of(base[FILE]);
  return Status::OK;
}

Status routine_exists_q(Cell* base) {
  using enum rtn::exists_q::Frame;
  base[RESULT] = logic_cell(exists(base[PATH]));
  return Status::OK;
}

Status routine_create_dir(Cell* base) {
  using enum rtn::create_dir::Frame;
  if (!make_dir(base[PATH])) fire(ErrId::NO_CREATE, base[PATH]);
  base[RESULT] = unset_cell();
  return Status::OK;
}

Status routine_get_current_dir(Cell* base) {
  base[RESULT] = current_dir();
  return Status::OK;
}

Status routine_set_current_dir(Cell* base) {
  using enum rtn::set_current_dir::Frame;
  if (!platform::set_current_dir(os_path(base[PATH]))) fire(ErrId::CANNOT_OPEN, base[PATH]);
  base[RESULT] = unset_cell();
  return Status::OK;
}

Status routine_write_stdout(Cell* base) {
  using enum rtn::write_stdout::Frame;
  write(none_cell(), base[DATA], none_cell(), none_cell(), false, false, false);
  base[RESULT] = unset_cell();
  return Status::OK;
}

constexpr NativeEntry kFileNatives[] = {{NAT_SIZE_Q, native_size_q}};

}  // namespace

void register_natives() {
  set_action(TYPE_FILE, ACT_READ, file_read);
  set_action(TYPE_FILE, ACT_WRITE, file_write);
  set_action(TYPE_FILE, ACT_QUERY, file_query);
  set_action(TYPE_FILE, ACT_DELETE, file_delete);
  set_action(TYPE_FILE, ACT_RENAME, file_rename);
  vel::register_natives(kFileNatives, std::size(kFileNatives));
  func::routine_register(rtn::exists_q::NAME, routine_exists_q);
  func::routine_register(rtn::create_dir::NAME, routine_create_dir);
  func::routine_register(rtn::get_current_dir::NAME, routine_get_current_dir);
  func::routine_register(rtn::set_current_dir::NAME, routine_set_current_dir);
  func::routine_register(rtn::write_stdout::NAME, routine_write_stdout);
}

}  // namespace vel::simple_io
