// The boot image: the library's code, loaded at build time and carried in
// the executable as a VELBIN image.
//
// The build runs the native executable as a host tool (`vel
// --write-boot-image`): it loads every source of the boot manifest with the
// lexer and writes one image holding a block of pairs, each a file! naming
// the source and the block of its loaded code (symbol table and literals;
// nothing is evaluated). Both executables embed that image; start-up
// decodes it instead of scanning text and evaluates each code block in
// manifest order.
//
// While the image is written, `routine SPEC BODY` in the code becomes
// `<routine> SPEC BODY`: a routine is not made by the library's `routine`
// function (which refuses at run time) but at start-up, from the registry
// of C++ entry points, the body naming its entry.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cell.h"
#include "memory.h"

namespace vel::boot {

// The image built into this executable (empty in the host tool).
std::span<const uint8_t> embedded_image();

// Decodes an image into its block of (file! block!) pairs. A bad image
// ends the process with "Error: Not a Velbin file!" on standard output and
// status 1: the error catalog lies in the image, so a decoder's error may
// have no catalog to be reported with.
may_gc Cell load_image(std::span<const uint8_t> image);

// The embedded image decoded once and kept for the run.
may_gc Cell code();

// The loaded code of one boot source (its manifest name), none when absent.
may_gc Cell source_code(std::string_view name);

// Host tool: loads the manifest's sources from root and writes the image,
// as a C++ source defining the embedded image when out ends in ".cpp",
// else as raw bytes. Answers the process status.
int write_image(const std::string& out, const std::string& root, const std::string& manifest);

// Host tool, unit tests: the image of the given sources (manifest name and
// text), in order.
struct Source {
  std::string name;
  std::string text;
};
// With native_faults, the sources' native definitions are checked against
// the natives table (one line per fault; none when they agree).
may_gc std::vector<uint8_t> build_image(const std::vector<Source>& sources,
                                        std::vector<std::string>* native_faults = nullptr);

// Start-up: every boot source's code, evaluated in order, with the
// routine maker in place while it runs and the library's functions sealed
// afterwards (library.h).
may_gc void run();

}  // namespace vel::boot
