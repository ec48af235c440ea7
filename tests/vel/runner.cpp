// The script test runner: runs every .vel file under the given directories
// in one process and compares what each prints with the expectations
// written beside the code:
//
//     print 1 + 2          ;== 3
//     print mold [a b]     ;== [a b]
//
// Every ";==" comment is one case: the printed lines of a file must equal
// its expected lines one for one, in order. An error that escapes a file is
// printed the way the top level prints it (so it can be expected too) and
// ends that file. Prints "N passed, N failed" and exits non-zero on any
// failure.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "collector.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "evaluator/script.h"
#include "evaluator/stack.h"
#include "output.h"
#include "platform/platform.h"
#include "startup.h"

namespace fs = std::filesystem;
using namespace vel;

namespace {

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

// The expectations of a file: the text after ";== " on each line.
std::vector<std::string> expectations(const std::string& source) {
  std::vector<std::string> out;
  for (const std::string& line : split_lines(source)) {
    size_t at = line.find(";==");
    if (at == std::string::npos) continue;
    std::string e = line.substr(at + 3);
    if (!e.empty() && e[0] == ' ') e.erase(0, 1);
    while (!e.empty() && (e.back() == ' ' || e.back() == '\t')) e.pop_back();
    out.push_back(e);
  }
  return out;
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

void run_file(const fs::path& file, Totals& totals) {
  std::string source;
  if (!platform::read_file(file.string(), source)) {
    std::printf("FAIL %s: cannot read\n", file.string().c_str());
    totals.failed++;
    return;
  }
  std::vector<std::string> expected = expectations(source);
  g_captured.clear();
  StackMark mark = stack_save();
  try {
    (void)run_script(source, unset_cell());
  } catch (const VelError& e) {
    stack_restore(mark);
    g_captured += report(e);
    g_captured += "\n";
  }
  std::vector<std::string> got = split_lines(g_captured);
  size_t n = std::max(expected.size(), got.size());
  for (size_t i = 0; i < n; i++) {
    bool ok = i < expected.size() && i < got.size() && expected[i] == got[i];
    if (ok) {
      totals.passed++;
      continue;
    }
    totals.failed++;
    std::printf("FAIL %s case %zu\n  expected: %s\n  got:      %s\n", file.string().c_str(), i + 1,
                i < expected.size() ? expected[i].c_str() : "(nothing)", i < got.size() ? got[i].c_str() : "(nothing)");
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
  for (const fs::path& f : files) run_file(f, totals);
  std::fflush(stdout);
  std::printf("%d passed, %d failed\n", totals.passed, totals.failed);
  return totals.failed == 0 && totals.passed > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  g_args.assign(argv + 1, argv + argc);
  return run_with_big_stack(run_all);
}
