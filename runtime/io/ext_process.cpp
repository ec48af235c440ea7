// call: the command and its redirections become a platform spawn request;
// captured bytes come back into the caller's string! or binary! targets.
#include "io/ext_process.h"

#include <cstring>
#include <string>

#include "datatypes/strout.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "native_frames.h"
#include "io/simple_io.h"
#include "platform/spawn.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel::ext_process {

namespace {


inline uint32_t clamped_index(const Cell& s) {
  uint32_t len = node_buffer(s.node())->length();
  return s.index() < 0 ? 0 : (uint32_t(s.index()) > len ? len : uint32_t(s.index()));
}

// The bytes fed to the child: a binary! as it is; a string! in the text
// form the platform's children read. Windows children have always been
// given UTF-16LE with every LF written as CR LF; a POSIX child reads UTF-8
// with LF, the form its output is decoded from.
may_gc platform::Redirect input_of(const Cell& v) {
  platform::Redirect r;
  if (v.is(TYPE_FILE)) {
    r.kind = platform::Redirect::Kind::File;
    r.path = simple_io::os_path(v);
  } else if (v.is(TYPE_BINARY)) {
    r.kind = platform::Redirect::Kind::Data;
    Buffer* b = node_buffer(v.node());
    uint32_t at = clamped_index(v);
    r.bytes.assign(reinterpret_cast<const char*>(b->head_ptr()) + at, b->used() - at);
  } else {
    r.kind = platform::Redirect::Kind::Data;
#ifdef _WIN32
    std::u16string text = to_utf16(v.node(), clamped_index(v), -1, true);
    r.bytes.resize(text.size() * 2);
    for (size_t i = 0; i < text.size(); i++) {
      r.bytes[2 * i] = char(text[i] & 0xFF);
      r.bytes[2 * i + 1] = char(text[i] >> 8);
    }
#else
    r.bytes = to_utf8(v.node(), clamped_index(v));
#endif
  }
  return r;
}

may_gc platform::Redirect output_of(const Cell& v) {
  platform::Redirect r;
  if (v.is(TYPE_FILE)) {
    r.kind = platform::Redirect::Kind::File;
    r.path = simple_io::os_path(v);
  } else {
    r.kind = platform::Redirect::Kind::Data;
  }
  return r;
}

may_gc void append_bytes(NodeId target, const std::string& bytes) {
  if (bytes.size() > 0x7FFFFFF0u) fire(ErrId::NO_MEMORY);
  uint32_t at = reserve_tail(target, uint32_t(bytes.size()));
  std::memcpy(node_buffer(target)->data() + at, bytes.data(), bytes.size());
}

// Captured bytes into the target: appended to a binary!, or decoded and
// appended to a string! with CR LF turned into LF.
may_gc void store(const Cell& target, const std::string& bytes, bool via_shell) {
  if (bytes.empty() || target.is(TYPE_FILE)) return;
  if (target.is(TYPE_BINARY)) {
    append_bytes(target.node(), bytes);
    return;
  }
  std::string text = via_shell ? platform::shell_text_to_utf8(bytes) : bytes;
  std::string lf;
  lf.reserve(text.size());
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lf += text[i];
  }
  append_utf8(target.node(), lf);
}

}  // namespace

Status native_call(Cell* base) {
  using enum nat::call::Frame;
  const Cell& cmd = base[CMD];
  if (!cmd.is(TYPE_STRING) && !cmd.is(TYPE_FILE)) fire(ErrId::INVALID_ARG, cmd);
  if (used(base[CONSOLE])) fire(ErrId::NOT_DONE);
  if (clamped_index(cmd) == node_buffer(cmd.node())->length()) {
    base[RESULT] = integer_cell(0);
    return Status::OK;
  }
  platform::SpawnRequest rq;
  rq.command = cmd.is(TYPE_FILE) ? simple_io::os_path(cmd) : to_utf8(cmd.node(), clamped_index(cmd));
  rq.wait = used(base[WAIT]);
  rq.show = used(base[SHOW]);
  rq.shell = used(base[SHELL]);
  if (used(base[INPUT])) rq.input = input_of(base[IN_]);
  if (used(base[OUTPUT])) rq.output = output_of(base[OUT_]);
  if (used(base[ERROR_])) rq.error = output_of(base[ERR]);
  platform::SpawnResult res = platform::spawn(rq);
  if (res.status >= 0) {
    if (used(base[OUTPUT])) store(base[OUT_], res.output, res.via_shell);
    if (used(base[ERROR_])) store(base[ERR], res.error, res.via_shell);
  }
  // A process id or status beyond the integer range cannot happen on the
  // systems we build for; clamp rather than wrap.
  int64_t s = res.status;
  base[RESULT] = integer_cell(int32_t(s > 0x7FFFFFFF ? 0x7FFFFFFF : s < -1 ? -1 : s));
  return Status::OK;
}

}  // namespace vel::ext_process
