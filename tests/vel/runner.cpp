// The script test runner: runs every .vel file under the given paths in one
// process and compares what each case prints with the expectations written
// beside its code:
//
//     print 1 + 2          ;== 3
//     print mold [a b]     ;== [a b]
//     print form try [1 / 0]
//     ;== *** Math Error: attempt to divide by zero
//     ;== *** Where: /
//     ;== *** Near : 1 / 0
//
// A case is the code from the end of the previous case up to a line holding
// ";==", with the ";==" lines right after it: it must print exactly its
// expected lines. Cases of a file run one after another at top level, each on
// its own, so a case that prints too little or too much fails alone. An error
// that escapes a case is printed the way the top level prints it (so it can
// be expected too); the next case runs as usual. Code after a file's last
// case must print nothing.
//
// A line written ";=~ pattern" instead expects a printed line that the
// regular expression matches whole, for output that holds a measurement:
//
//     clock [wait 0.002]   ;=~ [0-9.]+ ms\t\[wait 0\.002\]
//
// A file must leave the words of the boot library as it found them: one that
// rebinds a library word (say `attempt` or `open`) and does not set it back
// fails, and the runner puts the word back so that later files are not run
// against its replacement.
//
// Before each file the runner defines `fails`, the one helper for expected
// errors: `fails [code]` is the id of the error the code raises (none when it
// raises none); `fails/args [code]` is the id and the error's three arguments.
//
// Prints "N passed, N failed" and exits non-zero on any failure.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "collector.h"
#include "datatypes/context.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "evaluator/script.h"
#include "output.h"
#include "platform/platform.h"
#include "roots.h"
#include "stack.h"
#include "startup.h"

namespace fs = std::filesystem;
using namespace vel;

namespace {

constexpr const char* kHelpers = R"(
fails: func [code [block!] /args /local e] [
	set/any 'e try code
	unless error! = type? get/any 'e [return none]
	either args [reduce [e/id e/arg1 e/arg2 e/arg3]] [e/id]
]
)";

std::string g_captured;

void capture(void*, const char* bytes, size_t n) { g_captured.append(bytes, n); }

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Marks an expectation that is a pattern.
constexpr char kPattern = '\x01';

// The expectation on a line (the text after ";== " or ";=~ "), if it has
// one; a pattern comes back behind kPattern.
bool expectation(const std::string& line, std::string& out) {
  size_t at = line.find(";==");
  size_t pat = line.find(";=~");
  bool pattern = pat != std::string::npos && (at == std::string::npos || pat < at);
  if (pattern) at = pat;
  if (at == std::string::npos) return false;
  out = line.substr(at + 3);
  if (!out.empty() && out[0] == ' ') out.erase(0, 1);
  while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
  if (pattern) out.insert(out.begin(), kPattern);
  return true;
}

bool line_matches(const std::string& want, const std::string& got) {
  if (want.empty() || want[0] != kPattern) return want == got;
  try {
    return std::regex_match(got, std::regex(want.substr(1), std::regex::ECMAScript));
  } catch (const std::regex_error&) {
    return false;
  }
}

bool lines_match(const std::vector<std::string>& want, const std::vector<std::string>& got) {
  if (want.size() != got.size()) return false;
  for (size_t i = 0; i < want.size(); i++)
    if (!line_matches(want[i], got[i])) return false;
  return true;
}

bool only_expectation(const std::string& line) {
  size_t at = line.find_first_not_of(" \t");
  return at != std::string::npos && (line.compare(at, 3, ";==") == 0 || line.compare(at, 3, ";=~") == 0);
}

struct Case {
  std::string code;
  std::vector<std::string> expected;
  size_t line = 0;  // of its first expectation, for reports
};

// A file cut into its cases; a last one without expectations holds the code
// after the last case.
std::vector<Case> cases_of(const std::string& source) {
  std::vector<Case> cases(1);
  std::vector<std::string> lines = split_lines(source);
  for (size_t i = 0; i < lines.size(); i++) {
    Case& c = cases.back();
    std::string e;
    c.code += lines[i];
    c.code += '\n';
    if (!expectation(lines[i], e)) continue;
    c.line = i + 1;
    c.expected.push_back(e);
    while (i + 1 < lines.size() && only_expectation(lines[i + 1]) && expectation(lines[i + 1], e)) {
      c.expected.push_back(e);
      i++;
    }
    cases.emplace_back();
  }
  if (cases.size() > 1 && cases.back().code.empty()) cases.pop_back();
  return cases;
}

// An escaping error as the top level prints it.
std::string report(const VelError& e) {
  if (e.error.is(TYPE_ERROR)) {
    NodeId out = make_string(64);
    form_value(e.error, out);
    return string_text(out);
  }
  return std::string("*** ") + error_type_name(error_type_of(e.id)) + " error: " + error_id_name(e.id);
}

struct Totals {
  int passed = 0, failed = 0;
};

// The values of the global words the boot library left, kept to check that
// each file leaves them as it found them.
class LibraryWords {
 public:
  LibraryWords() {
    Buffer* b = node_buffer(values());
    for (uint32_t i = 0, n = b->length(); i < n; i++) saved_.push(b->cells()[i]);
  }

  // Sets back and names every word whose value is no longer the saved one.
  std::string restore() {
    std::string rebound;
    Buffer* b = node_buffer(values());
    for (uint32_t i = 0; i < saved_.size(); i++) {
      if (saved_[i].is(TYPE_UNSET)) continue;  // a word the library only mentions
      Cell* now = &b->cells()[i];
      if (now->type() == saved_[i].type() && compare_cells(now, &saved_[i], CMP_SAME) == 0) continue;
      *now = saved_[i];
      rebound += rebound.empty() ? "" : " ";
      rebound += name_of(i);
    }
    return rebound;
  }

 private:
  static NodeId values() { return context::cell(context::g_global).w2; }

  // The word whose value is cell i of the global context.
  static std::string name_of(uint32_t i) {
    for (uint32_t n = 0, count = context::word_count(context::g_global); n < count; n++) {
      Cell* w = context::word_at(context::g_global, n);
      if (w->w3 == i) return std::string(symbol::text(w->w2));
    }
    return "#" + std::to_string(i);
  }

  RootedCellStack saved_;
};

// Runs code at top level; what it printed, with an escaping error's report.
std::string run_captured(const std::string& code, bool with_header) {
  g_captured.clear();
  StackMark mark = stack_save();
  try {
    if (with_header)
      (void)run_script(code, unset_cell());
    else
      (void)run_source(code);
  } catch (const VelError& e) {
    stack_restore(mark);
    g_captured += report(e);
    g_captured += "\n";
  }
  return g_captured;
}

// Whether code loads: false only when it ends inside an open block, paren
// or string, that is when its case's expectations stand inside a value.
bool loads_whole(const std::string& code, bool with_header) {
  StackMark mark = stack_save();
  try {
    std::string_view text(code);
    if (with_header) {
      size_t at = find_script_header(text);
      if (at != std::string_view::npos) text = text.substr(at);
    }
    (void)load_text(text);
  } catch (const VelError& e) {
    stack_restore(mark);
    return e.id != ErrId::MISSING;
  }
  return true;
}

void run_file(const fs::path& file, Totals& totals, LibraryWords& library) {
  std::string source;
  if (!platform::read_file(file.string(), source)) {
    std::printf("FAIL %s: cannot read\n", file.string().c_str());
    totals.failed++;
    return;
  }
  (void)run_captured(kHelpers, false);
  std::vector<Case> cases = cases_of(source);
  for (size_t i = 0; i < cases.size(); i++) {
    Case c = cases[i];
    bool first = i == 0;
    // Expectations inside a multi-line value: the value and all its
    // expectations are one case.
    while (i + 1 < cases.size() && !loads_whole(c.code, first)) {
      const Case& more = cases[++i];
      c.code += more.code;
      c.expected.insert(c.expected.end(), more.expected.begin(), more.expected.end());
      if (!more.expected.empty()) c.line = more.line;
    }
    std::vector<std::string> got = split_lines(run_captured(c.code, first));
    if (lines_match(c.expected, got)) {
      if (!c.expected.empty()) totals.passed++;
      continue;
    }
    totals.failed++;
    if (c.expected.empty())
      std::printf("FAIL %s after the last case: printed more than expected\n", file.string().c_str());
    else
      std::printf("FAIL %s:%zu\n", file.string().c_str(), c.line);
    size_t n = std::max(c.expected.size(), got.size());
    for (size_t k = 0; k < n; k++)
      std::printf("  expected: %s\n  got:      %s\n",
                  k < c.expected.size() ? c.expected[k].c_str() + (c.expected[k][0] == kPattern) : "(nothing)",
                  k < got.size() ? got[k].c_str() : "(nothing)");
  }
  std::string rebound = library.restore();
  if (!rebound.empty()) {
    totals.failed++;
    std::printf("FAIL %s: leaves library words rebound: %s\n", file.string().c_str(), rebound.c_str());
  }
}

std::vector<std::string> g_args;

int run_all() {
  start_runtime();
  stdout_writer() = ConsoleWriter(nullptr, capture, nullptr);
  std::vector<fs::path> files;
  for (const std::string& arg : g_args) {
    fs::path p(arg);
    if (fs::is_directory(p)) {
      for (const auto& e : fs::recursive_directory_iterator(p))
        if (e.is_regular_file() && e.path().extension() == ".vel") files.push_back(e.path());
    } else {
      files.push_back(p);
    }
  }
  std::sort(files.begin(), files.end());
  Totals totals;
  LibraryWords library;
  for (const fs::path& f : files) run_file(f, totals, library);
  std::fflush(stdout);
  std::printf("%d passed, %d failed\n", totals.passed, totals.failed);
  return totals.failed == 0 && totals.passed > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  g_args.assign(argv + 1, argv + argc);
  return run_with_big_stack(run_all);
}
